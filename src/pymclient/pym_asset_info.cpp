#include "pymclient/pym_asset_info.h"

#include <string_view>

#include "assetdata/soup.h"
#include "core/stream.h"
#include "pymclient/creator_names.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"

bool PymAssetInfo::GetFlag(u32 flag) const {
  return flag < kStatusFlagCount && (statusFlags[flag / 8] >> (flag % 8)) & 1u;
}

void PymAssetInfo::SetFlag(u32 flag, bool on) {
  if (flag >= kStatusFlagCount) return;
  const u8 bit = u8(1u << (flag % 8));
  statusFlags[flag / 8] = on ? u8(statusFlags[flag / 8] | bit) : u8(statusFlags[flag / 8] & ~bit);
}

void PymAssetInfo::Read(TStream& in) {
  in.ReadKUID(asset);
  in.ReadString(name);
  in.ReadString(categoryRegion);
  in.ReadString(keywords);
  for (u32 i = 0; i < kStatusFlagCount; ++i) {
    u8 value = 0;
    in.ReadU8(value, 0);
    SetFlag(i, value != 0);
  }
  in.ReadU32(author, 0);
  in.ReadPString(firstNameField);
  in.ReadString(categoryEra);
  in.ReadI32(secondNumber, -1);
  in.ReadPString(secondNameField);
  in.ReadString(category);
  for (u32 i = 0; i < kExtraFlagCount; ++i) {
    u8 value = 0;
    in.ReadU8(value, 0);
    extraFlags = value != 0 ? u8(extraFlags | (1u << i)) : u8(extraFlags & ~(1u << i));
  }
  u32 ratingWord = 255;
  in.ReadU32(ratingWord, 255);
  rating = u8(ratingWord & 0xFF);
  in.ReadFloat(build, 0.0f);
  in.ReadU64(firstValue, 0);
  in.ReadU64(secondValue, 0);
  in.ReadKUID(parent);
  in.ReadU8(found, 0);
}

void PymAssetInfo::Write(TStream& out) const {
  out.WriteKUID(asset);
  out.WriteString(name);
  out.WriteString(categoryRegion);
  out.WriteString(keywords);
  for (u32 i = 0; i < kStatusFlagCount; ++i) out.WriteU8(GetFlag(i) ? 1 : 0);
  out.WriteU32(author);
  out.WritePString(firstNameField);
  out.WriteString(categoryEra);
  out.WriteI32(secondNumber);
  out.WritePString(secondNameField);
  out.WriteString(category);
  for (u32 i = 0; i < kExtraFlagCount; ++i) out.WriteU8((extraFlags >> i) & 1u);
  out.WriteU32(rating);
  out.WriteFloat(build);
  out.WriteU64(firstValue);
  out.WriteU64(secondValue);
  out.WriteKUID(parent);
  out.WriteU8(found);
}

bool PymGetAssetInfo(const KUID& kuid, PymAssetInfo& info, u32 partMask) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU32(partMask);
  if (r.Transact(PymProtocol::kOpGetAssetInfo)) info.Read(r.In());
  return info.found != 0;
}

namespace {

template <class Answer>
auto AskInfo(const KUID& kuid, u32 mask, Answer answer, decltype(answer(PymAssetInfo())) missing) {
  PymAssetInfo info;
  return PymGetAssetInfo(kuid, info, mask) ? answer(info) : missing;
}

bool AskFlag(const KUID& kuid, u32 mask, u32 flag, bool missing) {
  return AskInfo(
      kuid, mask, [flag](const PymAssetInfo& i) { return i.GetFlag(flag); }, missing);
}

// A script path taken from a configuration must stay inside the asset's folder.
// One leading "/" and a plain file name: a library of the installation, found by name only.
bool IsInstallationLibraryPath(std::string_view text) {
  if (text.size() < 2 || text.front() != '/') return false;
  const std::string_view name = text.substr(1);
  return name.find_first_of("/\\:") == std::string_view::npos && name != "." && name != "..";
}

bool IsContainedPath(const Qel::String& path) {
  const std::string_view text = path.View();
  if (IsInstallationLibraryPath(text)) return true;
  if (text.empty() || text.front() == '/' || text.front() == '\\') return false;
  if (text.size() >= 2 && text[1] == ':') return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

Qel::String GetAssetName(const KUID& kuid) {
  return AskInfo(
      kuid, PymAssetInfo::kPartName, [](const PymAssetInfo& i) { return i.name; }, Qel::String());
}
Qel::String GetAssetCategoryRegion(const KUID& kuid) {
  return AskInfo(
      kuid, PymAssetInfo::kPartCategories, [](const PymAssetInfo& i) { return i.categoryRegion; },
      Qel::String());
}
Qel::String GetAssetKeywords(const KUID& kuid) {
  return AskInfo(
      kuid, PymAssetInfo::kPartCategories, [](const PymAssetInfo& i) { return i.keywords; },
      Qel::String());
}
Qel::String GetAssetCategoryEra(const KUID& kuid) {
  return AskInfo(
      kuid, PymAssetInfo::kPartCategories, [](const PymAssetInfo& i) { return i.categoryEra; },
      Qel::String());
}
bool IsAssetBuiltIn(const KUID& kuid) {
  return AskFlag(kuid, PymAssetInfo::kPartBuiltIn, PymAssetInfo::kFlagBuiltIn, false);
}
bool IsAssetLocallyModified(const KUID& kuid) {
  return AskFlag(kuid, PymAssetInfo::kPartStatus, PymAssetInfo::kFlagLocallyModified, true);
}
bool IsAssetInstalled(const KUID& kuid) {
  return AskFlag(kuid, PymAssetInfo::kPartStatus, PymAssetInfo::kFlagInstalled, true);
}
bool IsAssetFaulty(const KUID& kuid) {
  return AskFlag(kuid, PymAssetInfo::kPartStatus, PymAssetInfo::kFlagFaulty, true);
}
bool IsAssetPrebuilt(const KUID& kuid) {
  return AskFlag(kuid, PymAssetInfo::kPartStatus, PymAssetInfo::kFlagPrebuilt, true);
}
bool HasAssetMissingDependencies(const KUID& kuid, bool countNotInstalled) {
  return AskInfo(
      kuid, PymAssetInfo::kPartStatus,
      [countNotInstalled](const PymAssetInfo& i) {
        if (countNotInstalled && !i.GetFlag(PymAssetInfo::kFlagInstalled)) return true;
        return i.GetFlag(PymAssetInfo::kFlagMissingDependencies);
      },
      true);
}

bool GetCreatorNameForId(u32 userId, Qel::PString& name) {
  name = GetCreatorName(userId);
  return !name.IsEmpty();
}

bool ReadAssetScriptInfo(const Soup& config, Qel::PString& className, Qel::File::Path& scriptPath) {
  if (config.IsNull() || config.CountTags() == 0) return false;
  Qel::PString script = config.GetNamedTag("script");
  if (script.IsEmpty()) script = config.GetNamedTag("scriptlibrary");
  Qel::File::Path path(Qel::String(script.View()));
  if (!path.IsEmpty()) path.ChangeExtension("gs");
  if (!path.IsEmpty() && !IsContainedPath(path.GetText())) return false;
  Qel::PString name = config.GetNamedTag("class");
  if (name.IsEmpty()) name = config.GetNamedTag("scriptclass");
  if (name.IsEmpty()) {
    Qel::File::Path bare = path;
    bare.ChangeExtension("");
    std::string_view text = bare.GetText().View();
    // An installation library's class is named after the library, not after its "/".
    if (IsInstallationLibraryPath(path.GetText().View())) text.remove_prefix(1);
    name = Qel::PString(text);
  }
  className = name;
  Qel::String lowered = path.GetText();
  lowered.ToLower();
  scriptPath = Qel::File::Path(lowered);
  return !scriptPath.IsEmpty() && !className.IsEmpty();
}

bool LoadAssetScriptInfo(const KUID& kuid, Qel::PString& className, Qel::File::Path& scriptPath) {
  return ReadAssetScriptInfo(PymGetAssetConfigSoup(kuid), className, scriptPath);
}
