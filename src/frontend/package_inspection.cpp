#include "frontend/package_inspection.h"

#include <algorithm>
#include <map>
#include <set>
#include <span>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/interface_text.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/file_util.h"
#include "core/tcx_dispatcher.h"
#include "frontend/asset_status.h"
#include "frontend/save_asset_as_cdp.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_install.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/resource_db_cache.h"
#include "pymclient/vny_install.h"
#include "qel/file_path.h"
#include "qel/thread.h"

namespace {

constexpr u32 kInstallFlags = 6;

bool IsOpenForEditing(const KUID& kuid) {
  PymAssetInfo info;
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll);
  return info.found != 0 && info.GetFlag(PymAssetInfo::kFlagOpenForEdit);
}
constexpr u32 kIdlePollMs = 50;
constexpr u32 kThumbnailSize = 240;
// A repository that keeps offering something new must not keep the command for ever.
constexpr u32 kMaxDependencyPasses = 10;

void AddEntry(ResultsLog& log, u32 type, const Qel::String& text) {
  ResultsLog::AddResult(&log, type, KestroPropertyRef(), text);
}

void AddInformation(ResultsLog& log, const char* format, const char* value) {
  AddEntry(log, ResultsLog::kInformation, Qel::String::Format(format, value));
}

// Asks the daemon to become idle and waits until it is, serving main-thread calls meanwhile so
// that notifications which need the main thread can complete. False when the daemon cannot be
// asked: a failed poll would otherwise look like "not yet" for ever.
bool WaitUntilIdle() {
  PymRequestIdle();
  const bool onMainThread = TCXDispatcher::CurrentThreadClass() == TCXDispatcher::kWorkerOnly;
  for (;;) {
    bool idle = false;
    if (!PymQueryIdleReached(idle)) return false;
    if (idle) return true;
    if (onMainThread) {
      WaitForMainThreadWork(kIdlePollMs);
      PumpMainThread();
    } else {
      Qel::Sleep(kIdlePollMs);
    }
  }
}

// Undoes an install that raised errors. An asset installed before is left open for editing by
// its install, and the revert gives back its old version (the daemon keeps the install's copy in
// the backups and says where); a new one was committed at once, so only deleting it takes it
// back, into the backups too, named. The asset may not be open any more (the install reverts
// what it could not write); a take-back that fails says why in `log`. Opened to read: an open for
// editing would drop the install's take-back, which the daemon's next start must still find
// should this revert fail.
void UndoInstall(const KUID& kuid, bool installedBefore, ResultsLog& log) {
  if (!installedBefore) {
    PymDeleteAsset(kuid, true, &log, true);
    return;
  }
  if (!IsOpenForEditing(kuid)) return;
  PymAssetRef ref = PymOpenAsset(kuid, false, &log);
  if (!ref.IsEmpty()) PymRevertAsset(ref, &log, true);
}

// Says of each asset the package opened to install and still holds open for editing that its
// take-back failed: the daemon named the editing copy the install made, and its next start takes
// that copy back. The commit or revert that ended the others dropped their names.
void ReportTakeBacks(const std::set<KUID>& opened, ResultsLog& log) {
  for (const KUID& kuid : opened) {
    if (!IsOpenForEditing(kuid)) continue;
    ResultsLog::AddResult(&log, ResultsLog::kError,
                          MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                          "The install could not be taken back: the asset stays open for editing "
                          "until the daemon's next start takes it back.");
  }
}

void WriteThumbnail(const KUID& kuid, const MPRef<ACSRawDataCore>& packageThumbnail,
                    const Qel::File::Path& target) {
  Qel::PString folderName;
  Qel::File::Path path;
  PymGetAssetThumbnailPath(kuid, kThumbnailSize, folderName, path);
  if (path.IsExt("jpg")) {
    // The path lies inside the content folder, which only an open database names.
    const ContentDatabaseScope database(folderName);
    CopyFile(folderName, path, Qel::PString(), target);
  } else if (packageThumbnail && packageThumbnail->GetSize() != 0) {
    WriteStoredFile(std::span(packageThumbnail->GetData(), packageThumbnail->GetSize()),
                    Qel::PString(), target.CStr());
  }
}

void DescribeAsset(const KUID& kuid, const Qel::File::Path& outputFolder,
                   const MPRef<ACSRawDataCore>& packageThumbnail, ResultsLog& log) {
  log.PushContext(MakeAssetIDProperty(Qel::PString("AssetID"), kuid));
  PrintAssetStatus(kuid, log);
  ValidateAsset(kuid, log);
  PymAssetInfo info;
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll);
  AddInformation(log, "Name: %s", GetAssetName(kuid).CStr());
  AddInformation(log, "Description: %s", PymGetAssetDescription(kuid).CStr());
  AddEntry(log, ResultsLog::kInformation, Qel::String::Format("Kestro-build: %.1f", info.build));
  std::vector<KUID> dependencies;
  PymGetAssetDependencies(kuid, dependencies);
  AddInformation(log, "Dependencies: %s", JoinKuidList(dependencies).CStr());
  std::vector<KUID> obsoletes;
  PymGetAssetObsoletes(kuid, obsoletes);
  AddInformation(log, "Obsoletes: %s", JoinKuidList(obsoletes).CStr());

  const Qel::String stem = outputFolder.GetText() + kuid.ToSpacedString();
  SaveAssetAsCDP(kuid, stem + ".cdp", &log);
  WriteThumbnail(kuid, packageThumbnail, Qel::File::Path(stem + ".jpg"));

  const Soup config = PymGetAssetConfigSoup(kuid);
  AddInformation(log, "kind: %s", config.GetNamedTag(Qel::PString("kind")).CStr());
  AddInformation(log, "alias-kuid: %s",
                 config.GetNamedTagAsKUID(Qel::PString("alias"), KUID::Null()).ToString().CStr());
  AddInformation(log, "category-region: %s", info.categoryRegion.CStr());
  AddInformation(log, "category-era: %s", info.categoryEra.CStr());
  AddInformation(log, "category-class: %s",
                 config.GetNamedTag(Qel::PString("category-class")).CStr());
  log.PopContext();
}

}  // namespace

Qel::PString JoinKuidList(const std::vector<KUID>& kuids) {
  std::string out;
  for (const KUID& kuid : kuids) {
    if (!out.empty()) out += ", ";
    out += kuid.ToString().View();
  }
  return Qel::PString(out);
}

void InstallMissingDependencies(const KUID& kuid) {
  if (!HasVnyAccess()) return;
  for (u32 pass = 0; pass < kMaxDependencyPasses; ++pass) {
    std::vector<KUID> dependencies;
    PymGetAssetDependencies(kuid, dependencies);
    bool installed = false;
    for (const KUID& dependency : dependencies)
      installed = InstallAssetFromVny(dependency, nullptr);
    if (!installed) return;
  }
}

bool VnyParsePackage(const Qel::String& packagePath, ResultsLog& log) {
  const u32 errorsBefore = log.GetErrorCount();
  if (!WaitUntilIdle()) {
    AddEntry(log, ResultsLog::kError, "Unable to ask the asset database whether it is idle.");
    return false;
  }
  Soup package;
  if (!OpenContentPackage(package, Qel::PString(), packagePath.CStr()).IsEmpty()) {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag("file_path", packagePath.ToPString());
    ResultsLog::AddResult(&log, ResultsLog::kError, KestroPropertyRef(),
                          GetInterfaceString(Qel::PString("$pym_unreadable_cdp")), parameters);
    return false;
  }
  const MPRef<ACSRawDataCore> thumbnail = GetRawTagData(package, kTagThumbnail);
  // What installcdp refuses is refused here before anything is installed: a package of more
  // files than an install takes, and a KUID listed twice, whose second asset would replace the
  // first.
  const std::string tooMany = PackageFileCountRefusal(package);
  if (!tooMany.empty()) {
    AddEntry(log, ResultsLog::kError, Qel::String(("Not installed: " + tooMany + ".").c_str()));
  }
  std::set<KUID> listed;
  for (u32 i = 0, n = CountPackageAssets(package); i < n; ++i) {
    const KUID kuid = AssetKUID(GetPackageAsset(package, i).soup);
    if (!kuid.IsNull() && !listed.insert(kuid).second) {
      ResultsLog::AddResult(&log, ResultsLog::kError,
                            MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                            "Not installed: the asset is listed twice.");
    }
  }
  if (log.GetErrorCount() > errorsBefore) {
    AddEntry(log, ResultsLog::kError, "Aborted processing");
    return false;
  }

  // The daemon holds each asset this command installs against every other command's change until
  // the command ends, whichever way it ends.
  const struct EndInstall {
    ~EndInstall() {
      PymEndInstall();
      PymUnpinInstallConnection();
    }
  } endInstall;
  // Once the connection that holds the install has ended, nothing of it is changed any more,
  // through any daemon: not even its abort, which would revert a copy that is no longer its own.
  const auto lost = [&] {
    AddEntry(log, ResultsLog::kError,
             "The daemon that held this install ended before the install did: nothing more of "
             "it is written or changed; the daemon's next start takes back what was written.");
    return false;
  };
  std::vector<KUID> installed;
  // Whether each KUID the package names was installed before the package came.
  std::map<KUID, bool> before;
  // The assets whose install opens them for editing: the daemon names each copy it makes for
  // them, for its next start to take back should this command not end it.
  std::set<KUID> opened;
  for (u32 i = 0, n = CountPackageAssets(package); i < n; ++i) {
    const ArchivedAsset asset = GetPackageAsset(package, i);
    const KUID named = asset.soup.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
    if (!before.contains(named)) before.emplace(named, IsAssetInstalledLocally(named));
    // Only a copy this install opened is its own to report: the daemon refuses to open one that
    // the user, or another install, holds open for editing.
    bool second = false;
    bool mine = false;
    const KUID kuid = InstallAssetFromFile(asset.soup, &log, kInstallFlags | kInstallTakeBack,
                                           second, nullptr, &mine);
    if (PymPinnedConnectionEnded()) return lost();
    if (mine) opened.insert(named);
    if (!kuid.IsNull() && std::find(installed.begin(), installed.end(), kuid) == installed.end()) {
      installed.push_back(kuid);
    }
  }
  // One failed install or commit takes back every asset the package installed.
  const auto abort = [&] {
    if (PymPinnedConnectionEnded()) return lost();
    for (const KUID& kuid : installed) UndoInstall(kuid, before[kuid], log);
    ReportTakeBacks(opened, log);
    AddEntry(log, ResultsLog::kError, "Aborted processing");
    return false;
  };
  if (log.GetErrorCount() > errorsBefore) return abort();

  for (const KUID& kuid : installed) InstallMissingDependencies(kuid);
  Qel::File::Path outputFolder(packagePath);
  outputFolder.DelName();
  // Only an asset installed before is still open for editing: its install left the new files in
  // the editing copy. A new asset was committed by its install, and opening it again would only
  // copy its folder twice more. Opened to read, as an open for editing drops the take-back; the
  // commit drops it once it has passed, and says when it cannot.
  for (const KUID& kuid : installed) {
    if (!before[kuid]) continue;
    PymAssetRef ref = PymOpenAsset(kuid, false, &log);
    bool second = false;
    const bool committed =
        !ref.IsEmpty() && PymCommitAsset(ref, PymProtocol::kCommitInstallStep, &log, &second);
    PymCloseAsset(ref);
    if (!committed) return abort();
  }
  for (const KUID& kuid : installed) DescribeAsset(kuid, outputFolder, thumbnail, log);
  return true;
}
