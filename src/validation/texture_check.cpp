#include "validation/texture_check.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/saturating_cast.h"
#include "qel/file.h"
#include "validation/asset_file.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/finding_text.h"
#include "validation/text_file_lines.h"
#include "validation/texture_image.h"

namespace TETLib {

namespace {

// A description is a few short lines.
constexpr u64 kMaxDescriptionBytes = u64(1) << 20;
constexpr f32 kDuplicateTextureErrorBuild = 2.9f;

constexpr std::string_view kPrimaryPrefix = "Primary=";
constexpr std::string_view kAlphaPrefix = "Alpha=";

const Qel::PString kKeyDuplicateTexture("$tet_duplicatetexture");
const Qel::PString kKeyFailedLoad("$tet_texture_failedload");
const Qel::PString kKeyNonAnsi("$tet_non_ansi_texture");
const Qel::PString kKeyMissingPrimary("$tet_texture_missing_primary");
const Qel::PString kKeyMissingAlpha("$tet_texture_missing_alpha");
const Qel::PString kKeyNotPowerOfTwo("$tet_texture_notpower2");
const Qel::PString kKeyNotSameSize("$tet_primaryalpha_notsamesize");
const Qel::PString kKeyNotCompiled("$tet_binary_texture_conversion_failed");

Qel::String WithSlash(const Qel::String& folder) {
  Qel::String out = folder;
  if (out.IsEmpty() || out.View().back() != '/') out += '/';
  return out;
}

template <class... Args>
void Report(bool error, const Qel::PString& key, const Args&... args) {
  ErrorHandler* handler = ErrorHandler::Instance();
  if (handler == nullptr) return;
  const Qel::PString text = LocalisedFinding(key, args...);
  if (error) {
    handler->AddError(text);
  } else {
    handler->AddWarning(text);
  }
}

struct Walk {
  // Where the reported names start.
  size_t rootLength = 0;
  Qel::String root;
  // The root's real path: every file opened must lie below it. Found at the first file, as most
  // assets have none to check.
  mutable std::optional<Qel::String> realRoot;
};

std::string_view Relative(const Walk& walk, const Qel::String& path) {
  return path.View().substr(std::min(walk.rootLength, path.Size()));
}

bool IsInsideRoot(const Walk& walk, const Qel::String& path) {
  if (!walk.realRoot) walk.realRoot = Qel::File::RealPath(walk.root.CStr());
  return Qel::File::IsBelowRealFolder(*walk.realRoot, path.CStr());
}

struct Image {
  bool loaded = false;
  u32 width = 0;
  u32 height = 0;
};

// Checks the image a description names; true when nothing was reported.
bool CheckImage(const Walk& walk, const Qel::String& folder, std::string value,
                const Qel::PString& missingKey, std::string_view description, Image& image) {
  for (char& c : value) {
    if (c == '\\') c = '/';
  }
  const Qel::String path = folder + value.c_str();
  const std::string_view name = Relative(walk, path);
  if (!IsConfinedName(value) || !Qel::File::Exists(path.CStr()) || !IsInsideRoot(walk, path)) {
    Report(true, missingKey, name, description);
    return false;
  }
  ImageSize size;
  if (!DecodeImageFile(path.CStr(), size)) {
    Report(true, kKeyFailedLoad, name);
    return false;
  }
  image = {true, size.width, size.height};
  if (!IsPowerOfTwo(image.width) || !IsPowerOfTwo(image.height)) {
    Report(true, kKeyNotPowerOfTwo, name);
    return false;
  }
  return true;
}

void StripLineEnds(std::string& value) {
  std::erase_if(value, [](char c) { return c == '\r' || c == '\n'; });
}

bool CheckDescription(const Walk& walk, const Qel::String& folder, const Qel::String& path) {
  const std::string_view name = Relative(walk, path);
  std::vector<std::string> lines;
  if (!IsInsideRoot(walk, path) ||
      ReadTextFileLines(path.CStr(), kMaxDescriptionBytes, lines) != ReadLinesResult::kOk) {
    Report(true, kKeyFailedLoad, name);
    return false;
  }
  std::string primary;
  std::string alpha;
  bool nonAnsi = false;
  for (const std::string& line : lines) {
    for (char c : line) nonAnsi = nonAnsi || static_cast<unsigned char>(c) > 127;
    if (line.starts_with(kPrimaryPrefix)) {
      primary = line.substr(kPrimaryPrefix.size());
    } else if (line.starts_with(kAlphaPrefix)) {
      alpha = line.substr(kAlphaPrefix.size());
    }
  }
  bool ok = true;
  if (nonAnsi) {
    Report(true, kKeyNonAnsi, name);
    ok = false;
  }
  StripLineEnds(primary);
  StripLineEnds(alpha);
  Image primaryImage;
  Image alphaImage;
  if (!primary.empty())
    ok &= CheckImage(walk, folder, primary, kKeyMissingPrimary, name, primaryImage);
  if (!alpha.empty()) ok &= CheckImage(walk, folder, alpha, kKeyMissingAlpha, name, alphaImage);
  // Sizes are compared only between two images that loaded.
  if (primaryImage.loaded && alphaImage.loaded &&
      (primaryImage.width != alphaImage.width || primaryImage.height != alphaImage.height)) {
    Report(true, kKeyNotSameSize, name);
    ok = false;
  }
  if (DataManager::Instance().IsOutsideEditingAndBase()) {
    const Qel::String compiled = path.SubString(0, path.Size() - 4);
    if (!Qel::File::Exists(compiled.CStr())) {
      Report(true, kKeyNotCompiled, name);
      ok = false;
    }
  }
  return ok;
}

bool CheckFolder(const Walk& walk, const Qel::String& folder) {
  Qel::File::Find find(folder.CStr(), "*");
  if (!find.Ok()) return true;
  bool ok = true;
  while (find.Next()) {
    const Qel::String& entry = find.GetName();
    if (entry == "." || entry == "..") continue;
    const Qel::String path = folder + entry;
    if (find.IsFolder()) {
      ok &= CheckFolder(walk, WithSlash(path));
    } else if (EndsWithIgnoreCase(entry.View(), ".texture")) {
      if (!Qel::File::Exists((path + ".txt").CStr())) {
        Report(BuildReached(kDuplicateTextureErrorBuild), kKeyDuplicateTexture,
               Relative(walk, path));
        ok = false;
      }
    } else if (EndsWithIgnoreCase(entry.View(), ".txt")) {
      const std::string_view stem = entry.View().substr(0, entry.Size() - 4);
      if (EndsWithIgnoreCase(stem, ".convert-tex")) {
        Report(true, kKeyFailedLoad, Relative(walk, path));
        ok = false;
      } else if (EndsWithIgnoreCase(stem, ".texture")) {
        ok &= CheckDescription(walk, folder, path);
      }
    }
  }
  return ok;
}

}  // namespace

bool CheckTextureFiles(const Qel::String& root, const Qel::String& folder) {
  Walk walk;
  const Qel::String rootFolder = WithSlash(root);
  walk.rootLength = rootFolder.Size();
  walk.root = rootFolder;
  return CheckFolder(walk, WithSlash(folder));
}

bool BuildReached(f32 version) {
  const auto hundredths = [](f32 build) {
    return Platform::SaturatingCast<i32>(build * 100.0f + 0.1f);
  };
  return hundredths(DataManager::Instance().GetBuildNumber()) >= hundredths(version);
}

bool IsPowerOfTwo(u32 n) { return (n & (n - 1)) == 0; }

}  // namespace TETLib
