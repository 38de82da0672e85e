#include "pymclient/pym_install.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include "assetdata/asset_name.h"
#include "assetdata/case_collision.h"
#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/interface_text.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/safe_folder.h"
#include "core/file_util.h"
#include "pymclient/asset_change_hook.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"
#include "qel/file.h"

namespace pp = PymProtocol;

namespace {

// Prompt answers that mean overwrite; every other answer skips.
bool IsOverwrite(u32 answer) { return answer == 2 || answer == 3; }

void LogKeyed(ResultsLog* log, u32 type, const KUID& kuid, const char* key,
              const Qel::PString& reason = Qel::PString()) {
  Soup parameters;
  parameters.EnsureContainer();
  parameters.SetNamedTag("asset_kuid", kuid.ToString());
  if (!reason.IsEmpty()) parameters.SetNamedTag("reason", reason);
  ResultsLog::AddResult(log, type, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                        GetInterfaceString(Qel::PString(key)), parameters);
}

// The prompt key for an installed asset, by the first status that holds.
const char* PromptKey(const PymAssetInfo& info) {
  if (info.GetFlag(PymAssetInfo::kFlagBuiltIn)) return "$pym_prompt_builtin";
  if (info.GetFlag(PymAssetInfo::kFlagVantryItem)) return "$pym_prompt_vny_item";
  return "$pym_prompt_alreadyinstalled";
}

// Removes the asset folder's old content, only inside UserData, below its content folders and
// never through a link: the path comes from the daemon. The folder itself stays: the daemon names
// it by its identity, for its next start to take back should the install be left unfinished.
bool ClearAssetFolder(const Qel::String& folder) {
  char* root = realpath(GetUserDataRoot().CStr(), nullptr);
  if (root == nullptr) return false;
  const SafeFolder folders(root);
  free(root);
  std::vector<std::string> names;
  if (!ListFolderNames(folder.CStr(), names)) return false;
  std::string error;
  for (const std::string& name : names) {
    if (!folders.RemoveTree(std::string(folder.CStr()) + "/" + name, error)) return false;
  }
  return true;
}

}  // namespace

u32 PymInstallCDP(const Qel::String& path, ResultsLog* log, u32 options, bool& second,
                  PymTransactionCallback* callback) {
  second = false;
  PymRequest r;
  r.Out().WriteString(path);
  r.Out().WriteU32(options);
  r.Out().WriteU8(callback != nullptr ? 1 : 0);
  if (!r.Transact(pp::kOpInstallCdp, log, false, callback)) return 0;
  u32 count = 0;
  u8 flag = 0;
  r.In().ReadU32(count, 0);
  r.In().ReadU8(flag, 0);
  second = flag != 0;
  // A KUID that earlier lookups found without an asset may have one now.
  if (count != 0) PymNotifyAssetChanged(KUID::Null());
  return count;
}

KUID PymInstallAssetFromFolder(const Qel::String& folder, ResultsLog* log, u32 options,
                               bool& second, PymTransactionCallback* callback) {
  PymRequest r;
  r.Out().WriteString(folder);
  r.Out().WriteU32(options);
  r.Out().WriteU8(callback != nullptr ? 1 : 0);
  if (!r.Transact(pp::kOpInstallAssetFromFolder, log, false, callback)) return KUID::Null();
  KUID kuid;
  u8 flag = 0;
  r.In().ReadKUID(kuid);
  r.In().ReadU8(flag, 0);
  second = flag != 0;
  // Like a commit: the next lookup loads the asset as installed now.
  if (!kuid.IsNull()) PymNotifyAssetChanged(kuid);
  return kuid;
}

u32 LogInstallPromptAnswer(PymTransactionCallback* callback, const Qel::String& question,
                           const KUID& kuid, ResultsLog* log) {
  const u32 answer = callback->Ask(question, Qel::String(), kuid, log);
  if (answer > 3) return answer;
  Qel::String name = GetAssetName(kuid);
  if (name.IsEmpty()) name = Qel::String(kuid.ToString());
  Soup parameters;
  parameters.EnsureContainer();
  parameters.SetNamedTag("asset_name", name.ToPString());
  const char* action = IsOverwrite(answer) ? "$pym_prompt_overwritten" : "$pym_prompt_skipped";
  parameters.SetNamedTag("action", GetInterfaceString(Qel::PString(action)).ToPString());
  ResultsLog::AddResult(log, ResultsLog::kWarning, KestroPropertyRef(), question, parameters);
  return answer;
}

KUID InstallAssetFromFile(const Soup& archived, ResultsLog* log, u32 options, bool& commitSecond,
                          PymTransactionCallback* callback, bool* openedToInstall) {
  // A mismatch never refuses the asset; it only keeps the commit from trusting the files.
  const bool dsidMatches = CheckAssetDsid(archived);
  const KUID kuid = archived.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
  PymAssetInfo info;
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll);
  ArchivedAsset asset;
  asset.soup = archived;
  const Soup config = StripPackageTags(asset);
  const Qel::PString name = config.GetNamedTag(Qel::PString("username"));
  options &= ~kInstallCleared;

  const bool known = info.found != 0;
  // The editing copy is the user's work: opening the asset would hand it to this install, which
  // clears it.
  std::string refused = known && info.GetFlag(PymAssetInfo::kFlagOpenForEdit)
                            ? "the asset is open for editing"
                            : PackageCaseCollision(GetFilesContainer(archived));
  if (refused.empty()) refused = RefuseAssetNames(config);
  if (!refused.empty()) {
    ResultsLog::AddResult(log, ResultsLog::kError,
                          MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                          Qel::String(("Not installed: " + refused + ".").c_str()));
    return KUID::Null();
  }
  const bool installedBefore = known && info.GetFlag(PymAssetInfo::kFlagInstalled);
  if (installedBefore) {
    if (callback != nullptr) {
      const char* key = PromptKey(info);
      const Qel::String prompt = GetInterfaceString(Qel::PString(key));
      const Qel::String logText = GetInterfaceString(Qel::PString(std::string(key) + "_log"));
      if (!IsOverwrite(callback->Ask(prompt, logText, kuid, log))) return KUID::Null();
    }
    options &= ~kInstallCommit;
  }

  const bool takeBack = (options & kInstallTakeBack) != 0;
  PymAssetRef ref = !known     ? PymCreateAsset(kuid, takeBack ? pp::kOpenToInstall : 0,
                                                Qel::String(name), takeBack ? log : nullptr)
                    : takeBack ? PymOpenAssetToInstall(kuid, log)
                               : PymOpenAsset(kuid, true, nullptr);
  if (ref.IsEmpty()) {
    LogKeyed(log, ResultsLog::kError, kuid, "$pym_write_error");
    return KUID::Null();
  }
  if (openedToInstall != nullptr) *openedToInstall = known && takeBack;
  Qel::PString folderName;
  Qel::File::Path folder;
  PymGetOpenAssetPath(folderName, folder, ref);
  if (folder.IsEmpty()) {
    LogKeyed(log, ResultsLog::kError, kuid, "$pym_write_error");
    PymCloseAsset(ref);
    return KUID::Null();
  }
  if (installedBefore && !ClearAssetFolder(folder.GetText())) {
    LogKeyed(log, ResultsLog::kError, kuid, "$pym_overwrite_error");
    PymCloseAsset(ref);
    return KUID::Null();
  }
  const Qel::PString written = ExtractPackageFiles(GetFilesContainer(archived), Qel::PString(),
                                                   folder.CStr(), GetCompressionName(archived));
  // The configuration is the archive's tags alone: a shipped file would be read in its place.
  if (!written.IsEmpty() || !DropShippedConfigs(folder.CStr(), ShippedConfigs::kAll)) {
    if (written.IsEmpty()) {
      LogKeyed(log, ResultsLog::kError, kuid, "$pym_failed_install");
    } else {
      LogKeyed(log, ResultsLog::kError, kuid, "$pym_failed_install_because", written);
    }
    PymRevertAsset(ref, log);
    PymCloseAsset(ref);
    return KUID::Null();
  }
  const bool commit = (options & kInstallCommit) != 0;
  Qel::File::Path configPath = folder;
  configPath.AddPath(commit ? "config.chump" : "config.txt");
  config.SaveFile("", configPath.CStr(), nullptr);
  if (commit) {
    const u32 commitOption = (dsidMatches ? 6 : 0) | (options & kInstallCommitOption);
    if (!PymCommitAsset(ref, commitOption, log, &commitSecond)) {
      // Only an asset not installed before is committed here: nothing of it is installed, so
      // it must not stay behind open for editing.
      PymRevertAsset(ref, log);
      PymCloseAsset(ref);
      return KUID::Null();
    }
  }
  PymCloseAsset(ref);
  PymSetAssetFavorite(kuid, true);
  LogKeyed(log, ResultsLog::kFourth, kuid, "$pym_installed");
  return kuid;
}
