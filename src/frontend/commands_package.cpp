// Commands over CDP content packages.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

#include "assetdata/cdp_package.h"
#include "assetdata/cdp_package_writer.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "core/path_text.h"
#include "frontend/application.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "frontend/install_from_path.h"
#include "frontend/package_inspection.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_install.h"
#include "qel/file.h"
#include "qel/file_path.h"

namespace {

// What createcdp asks of the daemon for each asset.
constexpr u32 kSaveAssetOptions = 3;

void AddAssetError(ResultsLog* log, const KUID& kuid, const char* text) {
  ResultsLog::AddResult(log, ResultsLog::kError, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                        text);
}

// One asset as the daemon packaged it, with what the daemon reported while it did.
struct FetchedAsset {
  KUID kuid;
  bool local = false;
  Soup entry;
  Qel::String refused;
  ResultsLog log;
  // A request failed for want of the daemon: nothing is known of the asset.
  bool daemonFailed = false;
};

std::unique_ptr<FetchedAsset> FetchAssetNow(const KUID& kuid) {
  auto fetched = std::make_unique<FetchedAsset>();
  fetched->kuid = kuid;
  const DaemonFailures failures;
  const auto done = [&] {
    fetched->daemonFailed = failures.Any();
    return std::move(fetched);
  };
  PymAssetInfo info;
  fetched->local = PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll) &&
                   info.GetFlag(PymAssetInfo::kFlagInstalled);
  if (!fetched->local) return done();
  fetched->entry = PymSaveAssetToCDP(kuid, &fetched->log, kSaveAssetOptions);
  // Read on the thread that asked: the refusal is kept per thread.
  fetched->refused = PymLastReplyRefusal();
  return done();
}

// Asks for the asset on a thread of its own, or here when no thread can be started.
std::future<std::unique_ptr<FetchedAsset>> FetchAsset(const KUID& kuid) {
  try {
    return std::async(std::launch::async, FetchAssetNow, kuid);
  } catch (const std::system_error&) {
    std::promise<std::unique_ptr<FetchedAsset>> done;
    done.set_value(FetchAssetNow(kuid));
    return done.get_future();
  }
}

// Assets asked for at once: enough to keep the daemon's cores busy; each one in flight holds its
// packaged asset in memory until it is written.
size_t PackageWindow() {
  static const size_t count = std::clamp<size_t>(2 * std::thread::hardware_concurrency(), 4, 16);
  return count;
}

}  // namespace

int CreateCdp(CommandArgs& a) {
  const char* typed = a.Arg(2);
  if (typed == nullptr || *typed == '\0') {
    AddError(a.log, "Missing output path parameter.");
    return -1;
  }
  if (!Qel::File::Path(typed).IsExt("cdp")) {
    AddError(a.log, "The output filename must have a .cdp extension.");
    return -1;
  }
  const Qel::String output = JoinToStartupFolder(typed);
  const Qel::String folder = Qel::File::Path(output).GetFolder();
  if (!folder.IsEmpty() && !Qel::File::IsFolder(folder.CStr())) {
    AddError(a.log, "The output folder " + folder + " does not exist.");
    return -1;
  }
  // Found before the daemon packs anything for a package that could never take its place.
  if (Qel::File::IsFolder(output.CStr())) {
    AddError(a.log, "The output " + output + " is a folder, not a package file.");
    return -1;
  }
  ContentPackageWriter package(output.CStr());
  // Assets asked for and not yet written, oldest first: the daemon packs the next ones while
  // the oldest is written. Each is written, or its failure reported, in the order named, so the
  // log and the result are those of taking the assets one by one; what was asked for after a
  // failure is dropped unwritten.
  std::deque<std::future<std::unique_ptr<FetchedAsset>>> window;
  // Writes the oldest asset; false (its error logged) when the command must stop.
  const auto writeOldest = [&]() {
    const std::unique_ptr<FetchedAsset> fetched = window.front().get();
    window.pop_front();
    // The dispatcher says what became of the request; any guess here would be wrong.
    if (fetched->daemonFailed) return false;
    if (!fetched->local) {
      AddAssetError(a.log, fetched->kuid, "Asset is not local.");
      return false;
    }
    a.log->AppendEntries(fetched->log.GetEntries());
    // A reply the client refused would look like an asset without a KUID: say what happened.
    if (!fetched->refused.IsEmpty()) {
      AddAssetError(a.log, fetched->kuid,
                    ("The asset's package could not be read: " + fetched->refused + ".").CStr());
      return false;
    }
    // The daemon said why it packed nothing: its empty answer would only add a misleading line.
    if (fetched->log.GetErrorCount() != 0 && AssetKUID(fetched->entry).IsNull()) return false;
    // A package that silently lacks an asset would be taken for a whole one.
    const Qel::PString message = package.Add(fetched->entry);
    if (!message.IsEmpty()) AddAssetError(a.log, fetched->kuid, message.CStr());
    return message.IsEmpty();
  };
  const auto writeAll = [&]() {
    while (!window.empty()) {
      if (!writeOldest()) return false;
    }
    return true;
  };
  std::set<KUID> added;
  for (int i = 3; i < a.argc; ++i) {
    const KUID kuid = KUID::Parse(a.argv[i], false);
    if (kuid.IsNull()) {
      if (writeAll()) AddError(a.log, "Invalid AssetID.");
      return -1;
    }
    // Naming an asset twice packages it once.
    if (!added.insert(kuid).second) continue;
    if (window.size() >= PackageWindow() && !writeOldest()) return -1;
    window.push_back(FetchAsset(kuid));
    // The package can no longer be written: the rest would be packed for nothing.
    if (package.Failed()) break;
  }
  if (!package.Failed() && !writeAll()) return -1;
  if (!package.Finish().IsEmpty()) {
    AddError(a.log, "Unable to write the package " + output + ": " + package.FailureReason() + ".");
    return -1;
  }
  ResultsLog::AddResult(a.log, ResultsLog::kInformation, KestroPropertyRef(),
                        "Wrote the package " + output + ".");
  return 0;
}

int InstallCdp(CommandArgs& a) {
  // The path as typed: lower-casing it would name another file on a case-sensitive file system.
  const char* path = a.Arg(2);
  if (path == nullptr || *path == '\0') {
    AddError(a.log, "Missing input filepath parameter.");
    return -1;
  }
  bool second = false;
  return PymInstallCDP(JoinToStartupFolder(path), a.log, kInstallCommit, second, nullptr) != 0 ? 0
                                                                                               : -1;
}

int VnyParse(CommandArgs& a) {
  const char* path = a.Arg(2);
  if (path == nullptr || *path == '\0') {
    AddError(a.log, "Missing CDP filepath.");
    return -1;
  }
  return VnyParsePackage(JoinToStartupFolder(path), *a.log) ? 0 : -1;
}

bool RefuseTypedFolder(const char* path, ResultsLog* log) {
  const Qel::String folder = JoinToStartupFolder(path);
  if (!Qel::File::Exists(folder.CStr())) {
    // The join reads a '\' as '/': a folder that a '\' names only as a byte of its name is
    // looked for by the path byte for byte.
    const Qel::String typed =
        IsAbsolutePath(path) ? Qel::String(path) : GetStartupFolder() + "/" + path;
    if (!RefuseBackslashFolder(typed, log)) AddInvalidPath(log, folder);
    return true;
  }
  if (RefuseAllButFolder(folder, log)) return true;
  // The walk would find nothing in a folder it cannot list and could not say why.
  const std::unique_ptr<DIR, int (*)(DIR*)> listed(
      ::opendir(Qel::File::Resolve(folder.CStr()).CStr()), ::closedir);
  if (listed) return false;
  AddError(log, "Invalid input path: " + folder + ": " + std::strerror(errno) + ".");
  return true;
}

int InstallFromPathCommand(CommandArgs& a) {
  // The path as typed, like installcdp's.
  const char* path = a.Arg(2);
  if (path == nullptr || *path == '\0') {
    AddError(a.log, "Missing input path parameter.");
    return -1;
  }
  const Qel::String folder = JoinToStartupFolder(path);
  if (RefuseTypedFolder(path, a.log)) return -1;
  bool second = false;
  return InstallFromPath(Qel::File::Path(folder), a.log, 0, second, nullptr) != 0 ? 0 : -1;
}
