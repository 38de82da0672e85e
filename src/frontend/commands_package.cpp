// Commands over CDP content packages.
#include <cstdio>
#include <set>

#include "assetdata/cdp_package.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "core/kuid.h"
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
  Soup package;
  std::set<KUID> added;
  for (int i = 3; i < a.argc; ++i) {
    const KUID kuid = KUID::Parse(a.argv[i], false);
    if (kuid.IsNull()) {
      AddError(a.log, "Invalid AssetID.");
      return -1;
    }
    PymAssetInfo info;
    if (!PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll) ||
        !info.GetFlag(PymAssetInfo::kFlagInstalled)) {
      AddAssetError(a.log, kuid, "Asset is not local.");
      return -1;
    }
    // Naming an asset twice packages it once.
    if (!added.insert(kuid).second) continue;
    Soup entry = PymSaveAssetToCDP(kuid, a.log, kSaveAssetOptions);
    // A reply the client refused would look like an asset without a KUID: say what happened.
    const Qel::String refused = PymLastReplyRefusal();
    if (!refused.IsEmpty()) {
      AddAssetError(a.log, kuid, ("The asset's package could not be read: " + refused + ".").CStr());
      return -1;
    }
    // A package that silently lacks an asset would be taken for a whole one.
    const Qel::PString message = InsertArchivedAsset(package, entry);
    if (!message.IsEmpty()) {
      AddAssetError(a.log, kuid, message.CStr());
      return -1;
    }
  }
  // Once for the whole package: rebuilding after every asset would make large packages slow.
  RebuildPackageTables(package);
  const Qel::PString message = SaveContentPackage(package, output.CStr());
  if (!message.IsEmpty()) {
    std::fprintf(stderr, "%s\n", message.CStr());
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

int InstallFromPathCommand(CommandArgs& a) {
  // The path as typed, like installcdp's.
  const char* path = a.Arg(2);
  if (path == nullptr || *path == '\0') {
    AddError(a.log, "Missing input path parameter.");
    return -1;
  }
  const Qel::String folder = JoinToStartupFolder(path);
  if (!Qel::File::Exists(folder.CStr())) {
    AddError(a.log, "Invalid input path.");
    return -1;
  }
  bool second = false;
  return InstallFromPath(Qel::File::Path(folder), a.log, 0, second, nullptr) != 0 ? 0 : -1;
}
