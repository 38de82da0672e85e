#include "pymclient/pym_install.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

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
#include "pymclient/pym_settings.h"
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

// The editing copy an install writes into, held open from the moment the daemon hands it out:
// every write goes through it, wherever it is moved, so that none lands in another copy made
// later at the same path (a take-back moves this one away, and a daemon started anew may hand the
// path to the user's edit). Only a folder inside UserData, below its content folders and reached
// through no link, is opened: the path comes from the daemon.
class HeldCopy {
 public:
  explicit HeldCopy(const Qel::String& folder) {
    char* root = realpath(GetUserDataRoot().CStr(), nullptr);
    if (root == nullptr) return;
    const SafeFolder folders(root);
    free(root);
    if (!folders.MayChange(folder.CStr())) return;
    fd_ = ::open(folder.CStr(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  ~HeldCopy() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldCopy(const HeldCopy&) = delete;
  HeldCopy& operator=(const HeldCopy&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // The folder by its descriptor: a path that the system resolves through the open folder.
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }
  // Removes the old content; the folder itself stays, named for its take-back.
  bool Empty() const {
    std::string why;
    return SafeFolder::EmptyOpenFolder(fd_, why);
  }

 private:
  int fd_ = -1;
};

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
  const bool takeBack = (options & kInstallTakeBack) != 0;
  // The editing copy is the user's work: opening the asset would hand it to this install, which
  // clears it. The copy an install left, its tool killed, is no one's: the daemon takes it back
  // before this install opens the asset again, as it would before an edit.
  const bool open = known && info.GetFlag(PymAssetInfo::kFlagOpenForEdit);
  const bool left =
      open && takeBack &&
      PymGetSettingsSoup(Qel::PString(pp::kTakeBackGroup)).HasNamedTag(kuid.ToString());
  std::string refused = open && !left ? "the asset is open for editing"
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

  PymAssetRef ref = !known     ? PymCreateAsset(kuid, takeBack ? pp::kOpenToInstall : 0,
                                                Qel::String(name), takeBack ? log : nullptr)
                    : takeBack ? PymOpenAssetToInstall(kuid, log)
                               : PymOpenAsset(kuid, true, nullptr);
  // From its first held asset on, the install is its connection's: should that end, nothing
  // more of it is written or changed.
  if (takeBack && !ref.IsEmpty()) PymPinInstallConnection();
  if (ref.IsEmpty()) {
    if (!PymPinnedConnectionEnded()) LogKeyed(log, ResultsLog::kError, kuid, "$pym_write_error");
    return KUID::Null();
  }
  if (openedToInstall != nullptr) *openedToInstall = known && takeBack;
  Qel::PString folderName;
  Qel::File::Path folder;
  PymGetOpenAssetPath(folderName, folder, ref);
  const HeldCopy copy(folder.GetText());
  // The copy was opened after the daemon handed it out: it is the install's only while the
  // connection that holds it still stands.
  if (PymPinnedConnectionEnded()) return KUID::Null();
  if (!copy.IsOpen()) {
    LogKeyed(log, ResultsLog::kError, kuid, "$pym_write_error");
    PymCloseAsset(ref);
    return KUID::Null();
  }
  if (installedBefore && !copy.Empty()) {
    LogKeyed(log, ResultsLog::kError, kuid, "$pym_overwrite_error");
    PymCloseAsset(ref);
    return KUID::Null();
  }
  const Qel::PString written =
      ExtractPackageFiles(GetFilesContainer(archived), Qel::PString(), copy.Path().c_str(),
                          GetCompressionName(archived), LocalFileReferences::kRefuse,
                          [] { return PymPinnedConnectionEnded(); });
  if (PymPinnedConnectionEnded()) return KUID::Null();
  // The configuration is the archive's tags alone: a shipped file would be read in its place.
  if (!written.IsEmpty() || !DropShippedConfigs(copy.Path(), ShippedConfigs::kAll)) {
    if (written.IsEmpty()) {
      LogKeyed(log, ResultsLog::kError, kuid, "$pym_failed_install");
    } else {
      LogKeyed(log, ResultsLog::kError, kuid, "$pym_failed_install_because", written);
    }
    PymRevertAsset(ref, log, takeBack);
    PymCloseAsset(ref);
    return KUID::Null();
  }
  const bool commit = (options & kInstallCommit) != 0;
  const std::string configPath = copy.Path() + (commit ? "/config.chump" : "/config.txt");
  config.SaveFile("", configPath.c_str(), nullptr);
  if (commit) {
    const u32 commitOption = (dsidMatches ? 6 : 0) | (options & kInstallCommitOption) |
                             (takeBack ? pp::kCommitInstallStep : 0);
    if (!PymCommitAsset(ref, commitOption, log, &commitSecond)) {
      // Only an asset not installed before is committed here: nothing of it is installed, so
      // it must not stay behind open for editing.
      if (!PymPinnedConnectionEnded()) PymRevertAsset(ref, log, takeBack);
      PymCloseAsset(ref);
      return KUID::Null();
    }
  }
  PymCloseAsset(ref);
  PymSetAssetFavorite(kuid, true);
  LogKeyed(log, ResultsLog::kFourth, kuid, "$pym_installed");
  return kuid;
}
