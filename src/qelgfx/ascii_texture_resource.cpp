#include "qelgfx/ascii_texture_resource.h"

#include "qel/file.h"
#include "qel/file_path.h"
#include "qel/resource_database.h"
#include "qelgfx/bitmap.h"

namespace Qel {

namespace {

constexpr const char* kPassedKeys[] = {"AutoMip", "Anisotropy", "MagFilter", "MinFilter"};

String Trimmed(const String& text) {
  String trimmed = text;
  trimmed.TrimLeft();
  trimmed.TrimRight();
  return trimmed;
}

// The value's index among the words (case ignored), or -1.
int WordIndex(const String& value, std::initializer_list<const char*> words) {
  int index = 0;
  for (const char* word : words) {
    if (value.EqualsIgnoreCase(word)) return index;
    ++index;
  }
  return -1;
}

// Whether a name the database refuses (one that climbs out or is absolute) still leads to a
// file: the image is there, only out of reach.
bool ExistsOutside(const ResourceDatabase* database, const String& folder, const String& name) {
  if (database == nullptr || ResourceDatabase::IsSafeName(name)) return false;
  File::Path path(name);
  if (!path.IsAbsolute()) {
    path = File::Path(database->GetFolder());
    path.AddPath(folder.CStr()).AddPath(name.CStr());
  }
  path.Normalize();
  const String resolved = File::Resolve(path.CStr());
  return File::Exists(resolved.CStr()) && !File::IsFolder(resolved.CStr());
}

}  // namespace

AsciiTextureResource::AsciiTextureResource(const PString& name, ResourceDatabase* database)
    : TextureResource(name, database) {}

bool AsciiTextureResource::ReadDescription(const char* path, ConfigData& out) {
  File file;
  if (file.Open(path, File::kModeRead) != 0) return false;
  String line;
  while (file.ReadLine(line)) {
    const String text = Trimmed(line);
    if (text.IsEmpty() || text[0] == ';' || text[0] == '#' || text.Find("//") == 0) continue;
    const size_t equals = text.FindChar('=');
    if (equals == String::npos) continue;
    out.AddChild(Trimmed(text.SubString(0, equals)), Trimmed(text.SubString(equals + 1)));
  }
  return true;
}

bool AsciiTextureResource::LoadTextureOptions(const ConfigData& options) {
  for (u32 i = 0; i < options.GetChildCount(); ++i) {
    const ConfigData& item = options.GetChild(i);
    const String& key = item.GetKey();
    const String& value = item.GetValue();
    auto refuse = [&](const char* takes) {
      loadError_ = key + " '" + value + "' is not " + takes;
      return false;
    };
    if (key.EqualsIgnoreCase("Primary")) {
      primary_ = value;
    } else if (key.EqualsIgnoreCase("Alpha")) {
      alpha_ = value;
    } else if (key.EqualsIgnoreCase("Hint")) {
      int hint = WordIndex(value, {"uncompressed", "dxt1", "dxt3", "dxt5", "auto"});
      if (hint < 0) hint = WordIndex(value, {"0", "1", "2", "3"});
      if (hint < 0) return refuse("one of uncompressed, dxt1, dxt3, dxt5, auto");
      hint_ = hint == 4 ? kHintAuto : u8(hint);
    } else if (key.EqualsIgnoreCase("AlphaHint")) {
      const int kind = WordIndex(value, {"none", "onebit", "full"});
      if (kind < 0) return refuse("one of none, onebit, full");
      forcedAlphaKind_ = u8(kind);
    } else if (key.EqualsIgnoreCase("NormalMap")) {
      const int flag = WordIndex(value, {"no", "yes", "false", "true", "0", "1"});
      if (flag < 0) return refuse("yes or no");
      normalMap_ = flag % 2 == 1;
    } else if (key.EqualsIgnoreCase("Tile")) {
      const int tile = WordIndex(value, {"st", "s", "t", "none"});
      if (tile < 0) return refuse("one of st, s, t, none");
      wrap_ = tile != 3;
    } else if (key.EqualsIgnoreCase("MipFilter")) {
      SetMipmaps(!value.EqualsIgnoreCase("none"));
    } else {
      for (const char* passed : kPassedKeys) {
        if (!key.EqualsIgnoreCase(passed)) continue;
        bool replaced = false;
        for (auto& [name, text] : passed_) {
          if (name.EqualsIgnoreCase(passed)) {
            text = value;
            replaced = true;
          }
        }
        if (!replaced) passed_.emplace_back(String(passed), value);
      }
    }
  }
  return true;
}

String AsciiTextureResource::GetOption(const char* key) const {
  for (const auto& [name, text] : passed_) {
    if (name.EqualsIgnoreCase(key)) return text;
  }
  return String();
}

bool AsciiTextureResource::LoadImage(const String& folder, const String& name, Bitmap& out) {
  const String relative = folder + name;
  String path;
  if (!ResourceDatabase::IsSafeName(name) || GetDatabase() == nullptr ||
      !GetDatabase()->FindFile(relative, path)) {
    loadError_ = "image '" + relative + "' " +
                 (ExistsOutside(GetDatabase(), folder, name) ? "lies outside the asset's folder"
                                                             : "is missing");
    return false;
  }
  if (!out.LoadFile(path.CStr())) {
    loadError_ = "image '" + relative + "' " + out.GetError();
    return false;
  }
  return true;
}

u32 AsciiTextureResource::LoadTxt(const PString& name) {
  loadError_.Clear();
  const String shown = descriptionShown_.IsEmpty() ? String(name.View()) : descriptionShown_;
  String path = descriptionFile_;
  if (path.IsEmpty() && (GetDatabase() == nullptr || !GetDatabase()->FindFile(name.View(), path))) {
    loadError_ = "description '" + shown + "' is missing";
    return kFailed;
  }
  ConfigData description;
  if (!ReadDescription(path.CStr(), description)) {
    loadError_ = "description '" + shown + "' cannot be read";
    return kFailed;
  }
  if (!LoadTextureOptions(description)) return kFailed;
  if (primary_.IsEmpty()) {
    loadError_ = "description '" + shown + "' has no Primary= line";
    return kFailed;
  }
  const String folder = File::Path(String(name.View())).GetFolder();
  auto primary = std::make_unique<Bitmap>();
  if (!LoadImage(folder, primary_, *primary)) return kFailed;
  bool hasAlpha = primary->HasAlpha();
  if (!alpha_.IsEmpty()) {
    Bitmap alpha;
    if (!LoadImage(folder, alpha_, alpha)) return kFailed;
    if (alpha.GetWidth() != primary->GetWidth() || alpha.GetHeight() != primary->GetHeight()) {
      loadError_ = "image '" + folder + alpha_ + "' is not the size of '" + folder + primary_ + "'";
      return kFailed;
    }
    Bitmap grey;
    if (!grey.Create(alpha.GetWidth(), alpha.GetHeight(), Bitmap::kGrey) || !grey.CopyImage(alpha)) {
      loadError_ = "image '" + folder + alpha_ + "' cannot be converted";
      return kFailed;
    }
    u8* pixels = primary->GetMutablePixels();
    const u8* levels = grey.GetPixels();
    const size_t count = size_t(grey.GetWidth()) * grey.GetHeight();
    for (size_t i = 0; i < count; ++i) pixels[4 * i + 3] = levels[i];
    hasAlpha = true;
  }
  alphaKind_ = kAlphaNone;
  if (hasAlpha) {
    const u8* pixels = primary->GetPixels();
    const size_t count = size_t(primary->GetWidth()) * primary->GetHeight();
    for (size_t i = 0; i < count && alphaKind_ != kAlphaFull; ++i) {
      const u8 a = pixels[4 * i + 3];
      if (a != 255) alphaKind_ = a == 0 ? kAlphaOneBit : kAlphaFull;
    }
  }
  if (forcedAlphaKind_ != kAlphaUnknown) alphaKind_ = forcedAlphaKind_;
  std::vector<std::unique_ptr<Bitmap>> images;
  images.push_back(std::move(primary));
  SetImages(std::move(images));
  return kLoaded;
}

void AsciiTextureResource::OnUnload() {
  TextureResource::OnUnload();
  alphaKind_ = kAlphaUnknown;
}

}  // namespace Qel
