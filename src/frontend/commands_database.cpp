// Commands over the asset database as a whole and the daemon that keeps it.
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/kuid.h"
#include "core/path_text.h"
#include "core/text_convert.h"
#include "frontend/asset_bulk.h"
#include "frontend/asset_status.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "frontend/keyword_files.h"
#include "frontend/pym_task_repair_database.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_search.h"
#include "pymclient/pym_task.h"
#include "qel/file.h"
#include "qel/file_path.h"

namespace fc = PymFilterCodes;

namespace {

constexpr u32 kDaemonEndWaitMs = 30000;
constexpr u32 kToolEndWaitMs = 10000;

std::unique_ptr<PymFilterElementGroup> FlagGroup(std::initializer_list<u32> flags) {
  auto group = std::make_unique<PymFilterElementGroup>();
  for (const u32 flag : flags) group->AddElement(std::make_unique<PymFilterElementBool>(flag));
  return group;
}

// True when a local, listed asset of kind consist already has this name.
bool ConsistExists(const Qel::PString& name) {
  auto filter = std::make_unique<PymFilterElementGroup>();
  filter->AddElement(std::make_unique<PymFilterElementString>(fc::kStringCategoryList, "CN"));
  for (const u32 flag : {fc::kFlagLocal, fc::kFlagLocallyAvailable, fc::kFlagListingPrivilege}) {
    filter->AddElement(std::make_unique<PymFilterElementBool>(flag));
  }
  filter->AddNegated(std::make_unique<PymFilterElementBool>(fc::kFlagObsolete));
  std::vector<KUID> found;
  PymSearchAssets(filter.get(), found);
  for (const KUID& kuid : found) {
    if (GetAssetName(kuid) == Qel::String(name)) return true;
  }
  return false;
}

// Ascending by user id, then content id, then version, each as an unsigned number.
struct UnsignedKuidOrder {
  bool operator()(const KUID& a, const KUID& b) const {
    auto key = [](const KUID& k) {
      return std::make_tuple(u32(k.userId), u32(k.contentId), u32(k.version));
    };
    return key(a) < key(b);
  }
};

// False when the new asset could not be made; nothing is written then, since without the
// asset's folder the configuration's path would name a file of the user's own.
bool ImportConsist(CommandArgs& a, const Soup& consist) {
  const Qel::PString name = consist.GetNamedTag("name");
  if (ConsistExists(name)) return true;
  const DaemonFailures failures;
  PymAssetRef ref = PymCreateAsset(KUID::Null(), true, Qel::String());
  Qel::PString folderName;
  Qel::File::Path folder;
  const bool placed = PymGetOpenAssetPath(folderName, folder, ref) &&
                      (folder.IsAbsolute() || !folderName.IsEmpty());
  if (!placed) {
    if (!failures.Any()) {
      AddError(a.log, Qel::String("Failed to create the consist asset \"") + name.CStr() + "\".");
    }
    return false;
  }
  Qel::File::Path configPath = folder;
  configPath.AddPath("config.txt");
  // Our daemon names the folder by its whole path; the content folder serves a relative one.
  const char* volume = configPath.IsAbsolute() ? nullptr : folderName.CStr();
  Soup config;
  config.LoadFile(volume, configPath.CStr(), "txt");
  config.EnsureContainer();
  config.SetNamedTag("kind", "consist");
  config.SetNamedTag("username", name);
  config.SetNamedFloat("kestro-build", 3.1f);
  const Soup list = consist.GetNamedSoup("list");
  Soup cars;
  cars.EnsureContainer();
  std::set<KUID, UnsignedKuidOrder> carKuids;
  char tag[32];
  for (int m = 0;; ++m) {
    std::snprintf(tag, sizeof tag, "car-%d", m);
    if (!list.HasNamedTag(tag)) break;
    Soup car;
    car.EnsureContainer();
    const KUID carKuid = list.GetNamedTagAsKUID(tag, KUID::Null());
    car.SetNamedKUID("car-kuid", carKuid);
    char num[32];
    std::snprintf(num, sizeof num, "num-%d", m);
    car.SetNamedInt("car-num", list.GetNamedTagAsInt(num, 0));
    std::snprintf(num, sizeof num, "dir-%d", m);
    car.SetNamedBool("car-dir", list.GetNamedTagAsBool(num, false));
    cars.SetNamedSoup(tag, car);
    carKuids.insert(carKuid);
  }
  config.SetNamedSoup("consist-list", cars);
  Soup table;
  table.EnsureContainer();
  int index = 0;
  for (const KUID& carKuid : carKuids) {
    std::snprintf(tag, sizeof tag, "%d", index++);
    table.SetNamedKUID(tag, carKuid);
  }
  config.SetNamedSoup("kuid-table", table);
  config.SaveFile(volume, configPath.CStr(), "txt");
  const KUID kuid = ref.Get()->GetKUID();
  const bool committed = PymCommitAsset(ref, 0, a.log, nullptr);
  PymCloseAsset(ref);
  // Whether the commit was done is unknown: the dispatcher says so, and nothing else.
  if (!committed && failures.Any()) return false;
  ResultsLog::AddResult(
      a.log, committed ? ResultsLog::kInformation : ResultsLog::kError,
      MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
      Qel::String(committed ? "Created the consist \"" : "Failed to commit the consist \"") +
          name.CStr() + "\".");
  return committed;
}

}  // namespace

int ClosePymDaemon(CommandArgs&) {
  PymCloseDaemon();
  // The program folder as the system resolved it: argv[0] may name the program without a folder.
  Qel::File::Path program;
  if (!GetApplicationPath(program)) return 0;
  Qel::File::Path folder(program.GetFolder());
  TerminateProcessesByName((folder.GetText() + "PymDaemon"), kDaemonEndWaitMs);
  TerminateProcessesByName((folder.GetText() + "KestroUtil"), kToolEndWaitMs);
  return 0;
}

int ImportConsists(CommandArgs& a) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Missing input path parameter.");
    return -1;
  }
  // The file name as typed: on Linux the case names a different file.
  Soup file;
  const Qel::String path = JoinToStartupFolder(a.Arg(2));
  if (!file.LoadFile(nullptr, path.CStr(), nullptr)) {
    AddInvalidPath(a.log, path);
    return -1;
  }
  char tag[32];
  bool failed = false;
  for (int n = 0;; ++n) {
    std::snprintf(tag, sizeof tag, "train-%d", n);
    if (!file.HasNamedTag(tag)) break;
    const Soup consist = file.GetNamedSoup(tag);
    if (!consist.HasNamedTag("name") || !consist.HasNamedTag("list")) continue;
    if (!ImportConsist(a, consist)) failed = true;
  }
  return failed ? -1 : 0;
}

int ListBuilds(CommandArgs& a) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Missing path parameter.");
    return -1;
  }
  // The file takes the name as typed, beside the user's other files.
  const Qel::String path = JoinToStartupFolder(a.Arg(2));
  // Asked first: a list the daemon did not give is no file's content.
  const DaemonFailures failures;
  const Qel::String line = Qel::String(PymListBuilds()) + "\n";
  if (failures.Any()) return -1;
  Qel::File out;
  if (out.Open(path.CStr(), 0x100) != 0) {
    AddError(a.log, "Failed to open output file.");
    return -1;
  }
  out.Write(line.CStr(), line.Length());
  out.Close();
  return 0;
}

int GenerateKuid(CommandArgs& a) {
  const DaemonFailures failures;
  // The daemon's entry says why it made none; the null KUID is no answer to print.
  const KUID kuid = PymGenerateKUID(a.log);
  if (failures.Any() || kuid.IsNull()) return -1;
  std::printf("<KUID2:%d:%u:%u>\n", kuid.userId, u32(kuid.contentId), u32(kuid.version));
  return 0;
}

int RepairDatabase(CommandArgs& a) {
  u32 level = PymProtocol::kRepairDefault;
  if (a.second == Qel::PString("extended")) {
    level = PymProtocol::kRepairExtended;
  } else if (a.second == Qel::PString("patcher")) {
    level = PymProtocol::kRepairPatcher;
  } else if (a.second == Qel::PString("base")) {
    level = PymProtocol::kRepairBase;
  } else if (!a.second.IsEmpty()) {
    AddError(a.log, "Unknown parameter.");
  }
  if (a.log->GetErrorCount() > 0) return -1;
  if (level != PymProtocol::kRepairPatcher) {
    std::printf("Repairing asset database (this may take some time)\n");
    std::fflush(stdout);
  }
  auto sink = std::make_unique<PymTask>();
  PymTaskRepairDatabase repair(level, nullptr);
  repair.RunInline(sink.get());
  *a.log = *sink;
  const bool failed = sink->GetErrorCount() > 0;
  sink.reset();
  if (level == PymProtocol::kRepairPatcher) PymPostPatcherRepairDone();
  return failed ? 255 : 0;
}

int Authors(CommandArgs&) {
  auto filter = FlagGroup({fc::kFlagLocal, fc::kFlagLocallyAvailable, fc::kFlagLocallyEnabled});
  const DaemonFailures failures;
  std::vector<KUID> found;
  PymSearchAssets(filter.get(), found);
  std::set<Qel::PString> names;
  for (const KUID& kuid : found) {
    const Qel::PString name = GetAssetAuthorName(kuid);
    if (!name.IsEmpty()) names.insert(name);
  }
  // Part of the list is no answer.
  if (failures.Any()) return -1;
  // A name is one line, whatever the configuration put into it.
  for (const Qel::PString& name : names) {
    std::printf("%s\n", EscapeControlCharacters(name.View()).c_str());
  }
  return 0;
}

int DeleteAllLocal(CommandArgs& a) {
  const u32 errors = a.log->GetErrorCount();
  const u32 deleted = VnyDeleteAll(a.log);
  ResultsLog::AddResult(a.log, ResultsLog::kInformation, KestroPropertyRef(),
                        Qel::String::Format("Deleted %u local assets", deleted));
  return a.log->GetErrorCount() == errors ? 0 : -1;
}

int BackupKeywordsCommand(CommandArgs& a) {
  // The name as typed: lower-cased it would name another file on a case-sensitive file system.
  const char* name = a.second.IsEmpty() ? "KeywordsBackup.dat" : a.Arg(2);
  Qel::File::Path program;
  if (!GetApplicationPath(program)) {
    AddError(a.log, "Unable to determine the program folder.");
    return -1;
  }
  // Relative to the program folder, as the default file is.
  const Qel::String path = AnchorPath(program.GetFolder().CStr(), name);
  return BackupKeywords("", path.CStr(), "txt", a.log) ? 0 : -1;
}

int ImportKeywordsCommand(CommandArgs& a) {
  return ImportKeywords(GetInstallPath().CStr(), "KeywordsDump.dat", "txt", a.log) ? 0 : -1;
}
