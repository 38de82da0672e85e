// The client, linked into the test, against the built PymDaemon in a temporary installation: the
// open starts the daemon, searches written by the client's filter classes reach the daemon's
// index of the asset folders, and later opens find the daemon that runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/cdp_dsid.h"
#include "assetdata/results_log.h"
#include "assetdata/soup_tree.h"
#include "core/app_globals.h"
#include "core/chunked_list.h"
#include "core/kuid.h"
#include "core/networking.h"
#include "pymclient/filter_builders.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_install.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_search.h"
#include "pymclient/resource_db_cache.h"
#include "qel/shared_memory.h"
#include "support/install_root.h"

namespace {

using kestro_test::InstallRoot;
using namespace filter_builders;  // NOLINT(build/namespaces)
namespace fc = PymFilterCodes;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

// Watchdogs only: how long a whole test may run, and how long a closed daemon may take to go.
constexpr auto kTestLimit = std::chrono::seconds(240);
constexpr auto kExitLimit = std::chrono::seconds(30);

// Folder times that the timestamp filters select on (seconds since 1970).
constexpr u64 kOldInstallTime = 1000000000;
constexpr u64 kOldModifyTime = 1200000000;

const KUID kLoco(100, 1, 0);
const KUID kCarOld(100, 2, 1);
const KUID kCarNew(100, 2, 2);
const KUID kBarn(200, 5, 0);
const KUID kBroken(200, 6, 0);
const KUID kStation(300, 7, 0);
const std::vector<KUID> kAllAssets = {kLoco, kCarOld, kCarNew, kBarn, kBroken, kStation};

// Aborts the program when a test outlives the limit, ending the root's daemons first, so that a
// daemon that never answers fails the run instead of hanging it.
class Deadline {
 public:
  explicit Deadline(const InstallRoot& root)
      : thread_([this, &root] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (wake_.wait_for(lock, kTestLimit, [this] { return done_; })) return;
          std::fputs("watchdog: the client or the daemon never answered\n", stderr);
          root.StopDaemons();
          std::abort();
        }) {}
  ~Deadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

void SetTime(const std::string& path, u64 seconds) {
  const timeval times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

class ClientDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetMainThread();
    InitNetworking();
  }

  void SetUp() override {
    root_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root_->IsReady()) << root_->Error();
    deadline_ = std::make_unique<Deadline>(*root_);
    ASSERT_TRUE(root_->DaemonPids().empty());
    SeedAssets();
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_->Root().c_str())));
    CreateUserDataFolders();
    ASSERT_EQ(std::string(GetPymDaemonPath().CStr()), root_->Bin() + "/PymDaemon");
  }

  void TearDown() override {
    if (PymIsClientOpen() && PymIsConnected()) PymCloseDaemon();
    PymCloseDatabase();
    PymDisconnect(true);
    // The daemon that the block names, and any other of this root's, must not outlive the test.
    root_->StopDaemons();
    ReleaseContentDatabases();
    EvictUnusedResourceDatabases();
    ClearInstallPaths();
    deadline_.reset();
    root_.reset();
  }

  // Six assets in "local" and "editing", beside folders that are no assets.
  void SeedAssets() {
    const std::string local = "UserData/local/";
    root_->WriteFile(local + "trains/loco/config.txt",
                     "kuid <kuid:100:1>\nkind \"traincar\"\nusername \"Red Loco\"\n"
                     "category-class \"TR;LOCO\"\ncategory-region \"UK\"\n"
                     "category-era \"1950s\"\nkeywords \"steam;express\"\n"
                     "kuid-table {\n  0 <kuid:100:9>\n}\n");
    root_->WriteFile(local + "trains/car1/config.txt",
                     "kuid <kuid2:100:2:1>\nkind \"traincar\"\nusername \"Blue Car\"\n"
                     "category-class \"TR;CAR\"\n");
    root_->WriteFile(local + "trains/car2/config.txt",
                     "kuid <kuid2:100:2:2>\nkind \"traincar\"\nusername \"Blue Car\"\n"
                     "category-class \"TR;CAR\"\ncategory-region \"US\"\n");
    root_->WriteFile(local + "barn/config.txt",
                     "kuid <kuid:200:5>\nkind \"scenery\"\nusername \"Old Barn\"\n"
                     "category-class \"BR\"\nkeywords \"farm\"\n");
    root_->WriteFile(local + "broken/config.txt", "kuid <kuid:200:6>\nusername \"Broken\"\n");
    root_->WriteFile(local + "nokuid/config.txt", "kind \"scenery\"\nusername \"Nobody\"\n");
    root_->WriteFile(local + "notes/readme.txt", "not an asset\n");
    root_->WriteFile("UserData/editing/station/config.txt",
                     "kuid <kuid:300:7>\nkind \"buildable\"\nusername \"Station\"\n"
                     "category-class \"BS\"\n");
    SetTime(root_->Root() + "/UserData/local/barn", kOldInstallTime);
    SetTime(root_->Root() + "/UserData/editing/station/config.txt", kOldModifyTime);
  }

  // The process that the discovery block names as the database owner; 0 for none.
  u32 OwnerPid() const {
    const std::string folder = PymProtocol::DatabaseFolder(GetDatabasePath().CStr());
    Qel::SharedMemory memory;
    if (!memory.Create(PymProtocol::ShmNameText(folder), PymProtocol::kBlockSize)) return 0;
    const u32 owner =
        static_cast<const volatile PymDiscoveryBlock*>(memory.GetData())->ownerProcessId;
    return owner == PymProtocol::kNoProcess ? 0 : owner;
  }

  // Polls until the root has no daemon left; false when the limit passed first.
  bool DaemonsGone() const {
    const auto limit = std::chrono::steady_clock::now() + kExitLimit;
    while (!root_->DaemonPids().empty()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  std::unique_ptr<InstallRoot> root_;
  std::unique_ptr<Deadline> deadline_;
};

// Searches into an empty list and sorts what was found; false when the search failed.
bool Search(const PymFilterElement* filter, std::vector<KUID>& found) {
  found.clear();
  const bool ok = PymSearchAssets(filter, found);
  std::sort(found.begin(), found.end());
  return ok;
}

std::string Texts(const std::vector<KUID>& kuids) {
  std::string out;
  for (const KUID& k : kuids) out += std::string(k.ToString().CStr()) + " ";
  return out;
}

TEST_F(ClientDaemonTest, OpenStartsTheDaemonWhoseSearchesSurviveARefusalAndAReplacement) {
  ASSERT_TRUE(PymOpenDatabase(PymClientOptions()));
  const std::vector<pid_t> daemons = root_->DaemonPids();
  ASSERT_EQ(daemons.size(), 1u);
  EXPECT_EQ(OwnerPid(), u32(daemons[0]));

  struct Case {
    const char* what;
    std::unique_ptr<PymFilterElement> filter;
    std::vector<KUID> expected;
  };
  // What the evaluator's own suite holds in detail; here each kind crosses the wire once.
  Case cases[] = {
      {"no filter", nullptr, kAllAssets},
      {"name part, any case", Str(fc::kStringAssetName, "CAR"), {kCarOld, kCarNew}},
      {"quoted name is whole", Str(fc::kStringAssetName, "\"old barn\""), {kBarn}},
      {"category", Str(fc::kStringCategoryList, "TR"), {kLoco, kCarOld, kCarNew}},
      {"category less one", Str(fc::kStringCategoryList, "TR;-LOCO"), {kCarOld, kCarNew}},
      {"region", Str(fc::kStringRegionList, "uk"), {kLoco}},
      {"faulty", Flag(fc::kFlagFaulty), {kBroken}},
      {"obsolete", Flag(fc::kFlagObsolete), {kCarOld}},
      {"missing dependency", Flag(fc::kFlagHasMissingDependencies), {kLoco}},
      {"author", Int(fc::kIntAuthor, 200, 300, true, true), {kBarn, kBroken, kStation}},
      {"installed", Time(fc::kTimestampInstallation, 0, kOldInstallTime + 1, true, false), {kBarn}},
      {"modified",
       Time(fc::kTimestampModification, kOldModifyTime, kOldModifyTime + 1, true, false),
       {kStation}},
      {"asset ids", Assets({kStation, KUID(999, 9, 0), kLoco}), {kLoco, kStation}},
      {"three terms",
       Group(false, Str(fc::kStringCategoryList, "TR"), Group(true, Flag(fc::kFlagObsolete)),
             Str(fc::kStringAssetName, "car")),
       {kCarNew}},
  };
  for (const Case& c : cases) {
    std::vector<KUID> found;
    EXPECT_TRUE(Search(c.filter.get(), found)) << c.what;
    EXPECT_EQ(found, c.expected) << c.what << ": found " << Texts(found) << "instead of "
                                 << Texts(c.expected);
  }

  // Results are appended to what the caller holds.
  std::vector<KUID> out = {KUID(1, 1, 0)};
  auto faulty = Flag(fc::kFlagFaulty);
  ASSERT_TRUE(PymSearchAssets(faulty.get(), out));
  EXPECT_EQ(out, (std::vector<KUID>{KUID(1, 1, 0), kBroken}));

  // Deeper than the daemon reads: it answers with an empty result and an error note.
  std::unique_ptr<PymFilterElement> deep = Str(fc::kStringAssetName, "car");
  for (u32 level = 0; level < fc::kMaxNesting + 1; ++level) {
    deep = std::make_unique<PymFilterElementGroup>(std::move(deep));
  }
  std::vector<KUID> found;
  EXPECT_TRUE(Search(deep.get(), found));
  EXPECT_EQ(found, std::vector<KUID>());

  EXPECT_TRUE(Search(nullptr, found));
  EXPECT_EQ(found, kAllAssets);
  EXPECT_EQ(root_->DaemonPids(), daemons);

  // A closed daemon takes its record back as it goes; the next open starts another that serves
  // the saved index.
  EXPECT_TRUE(PymCloseDaemon());
  EXPECT_FALSE(PymIsConnected());
  ASSERT_TRUE(DaemonsGone());
  EXPECT_EQ(OwnerPid(), 0u);
  PymCloseDatabase();
  ASSERT_TRUE(PymOpenDatabase(PymClientOptions()));
  const std::vector<pid_t> replacement = root_->DaemonPids();
  ASSERT_EQ(replacement.size(), 1u);
  EXPECT_EQ(OwnerPid(), u32(replacement[0]));
  auto filter = Str(fc::kStringCategoryList, "TR;-LOCO");
  EXPECT_TRUE(Search(filter.get(), found));
  EXPECT_EQ(found, (std::vector<KUID>{kCarOld, kCarNew}));

  // A new asset is committed with its configuration in binary form; an installed one is
  // rewritten into its editing copy, not committed, with a text configuration.
  const std::string userData = root_->Root() + "/UserData/";
  for (const KUID& kuid : {KUID(500, 1, 0), kBarn}) {
    Soup archived;
    archived.SetNamedKUID("kuid", kuid);
    archived.SetNamedTag("username", "Packaged");
    archived.SetNamedTag("kind", "Scenery");
    Soup files;
    files.EnsureContainer();
    Soup sub;
    sub.EnsureContainer();
    sub.GetRoot()->AddChild(
        "a.txt", sub.GetRoot()->CreateTag(kKindRaw, ACSRawDataCore::CreateCopy("hello", 5)));
    files.SetNamedSoup("sub", sub);
    archived.SetNamedSoup("files", files);
    archived.SetNamedTag("compression", "");
    SetAssetDsid(archived);
    ResultsLog log;
    bool second = false;
    EXPECT_EQ(
        InstallAssetFromFile(archived, &log, kInstallCommit | kInstallCleared, second, nullptr),
        kuid);
    const std::vector<ResultsLogEntry> entries = log.GetEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().type, u32(ResultsLog::kFourth));
  }
  const std::string fresh = userData + "local/kuid 500 1 0/";
  EXPECT_TRUE(std::filesystem::exists(fresh + "config.chump"));
  EXPECT_FALSE(std::filesystem::exists(fresh + "config.txt"));
  EXPECT_TRUE(std::filesystem::exists(fresh + "sub/a.txt"));
  std::ifstream edited(userData + "editing/barn/config.txt");
  const std::string config((std::istreambuf_iterator<char>(edited)), {});
  EXPECT_NE(config.find("Packaged"), std::string::npos) << config;
  EXPECT_TRUE(std::filesystem::exists(userData + "editing/barn/sub/a.txt"));
  EXPECT_TRUE(std::filesystem::exists(userData + "local/barn/config.txt"));

  // A folder outside UserData is copied in whole; one without a configuration installs nothing.
  root_->WriteFile("import/shed/config.txt", "kuid <kuid:500:2>\nkind \"scenery\"\n");
  root_->WriteFile("import/shed/sub/b.txt", "b");
  bool second = false;
  const std::string from = root_->Root() + "/import/";
  EXPECT_EQ(PymInstallAssetFromFolder(from + "shed", nullptr, 6, second, nullptr), KUID(500, 2, 0));
  EXPECT_TRUE(std::filesystem::exists(userData + "local/kuid 500 2 0/sub/b.txt"));
  EXPECT_TRUE(PymInstallAssetFromFolder(from + "none", nullptr, 6, second, nullptr).IsNull());
}

// A frozen daemon fails the request after the silence limit instead of holding the tool for
// ever; once it runs again, the next request connects afresh.
// kill() returns before a stop reaches every thread: a thread woken by a request in that window
// could still answer it. True once each thread of pid shows the stopped state.
bool AllThreadsStopped(pid_t pid) {
  std::error_code ec;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'T') {
      return false;
    }
  }
  return !ec;
}

TEST_F(ClientDaemonTest, AFrozenDaemonFailsTheRequestAfterTheSilenceLimit) {
  // Put back whatever happens: the limit for later tests, the daemon for the fixture's end.
  struct Restore {
    pid_t daemon = 0;
    ~Restore() {
      if (daemon != 0) kill(daemon, SIGCONT);
      PymSetSilenceLimit(PymProtocol::kDefaultSilenceLimitMs);
    }
  } restore;
  PymClientOptions options;
  options.mayStartDaemon = 0;
  // The short limit only once connected: on a loaded machine the handshake alone may take longer.
  ASSERT_TRUE(PymOpenDatabase(options));
  PymSetSilenceLimit(500);
  const std::vector<pid_t> daemons = root_->DaemonPids();
  ASSERT_EQ(daemons.size(), 1u);
  restore.daemon = daemons[0];
  ASSERT_EQ(kill(daemons[0], SIGSTOP), 0);
  while (!AllThreadsStopped(daemons[0])) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<KUID> found;
  // The short limit holds on the connection made before it was set, not the default minute.
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(Search(nullptr, found));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  ASSERT_EQ(kill(daemons[0], SIGCONT), 0);
  PymSetSilenceLimit(PymProtocol::kDefaultSilenceLimitMs);
  EXPECT_TRUE(Search(nullptr, found));
  EXPECT_EQ(found, kAllAssets);
}

}  // namespace
