#include "daemon/asset_store.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <tuple>

#include "assetdata/category.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/file_util.h"
#include "core/time_date.h"
#include "daemon/asset_editor.h"
#include "daemon/daemon_app.h"
#include "daemon/daemon_test_util.h"
#include "pymclient/pym_filter_codes.h"
#include "qel/dynamic_buffer.h"
#include "support/command_run.h"
#include "support/other_user.h"
#include "support/sqlite_disk_faults.h"
#include "support/thread_watchdog.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;
using namespace kestro_test;
namespace fc = PymFilterCodes;
namespace fs = std::filesystem;

void WriteChump(const std::string& path, const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, soup);
  WriteFile(path,
            std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize()));
}

// A small installation: versions, dependencies, a binary configuration, a duplicate in
// "editing", and folders that are no assets.
void Populate(const std::string& ud) {
  MakeAsset(ud, "local", "loco",
            Config("<kuid:100:1>",
                   "username \"Red Loco\"\ncategory-class \"TR;TV;LOCO\"\n"
                   "kuid-table {\n  0 <kuid:100:2>\n  1 <kuid:100:9>\n}\n"));
  MakeAsset(ud, "local", "deep/er/car", Config("<kuid2:100:2:1>", "username \"Car\"\n"));
  MakeAsset(ud, "local", "car2",
            Config("<kuid2:100:2:2>", "username \"Car\"\nkuid-table {\n  0 <kuid:100:3>\n}\n"));
  MakeAsset(ud, "local", "car2/inner", Config("<kuid:100:77>"));  // inside an asset: not one
  MakeAsset(ud, "local", "broken", "kuid <kuid:100:3>\nusername nokind\n");
  MakeAsset(ud, "local", "nokuid", "username \"nothing\"\n");
  MakeAsset(ud, "local", "dup", Config("<kuid:100:4>", "username \"from local\"\n"));
  MakeAsset(ud, "editing", "dup", Config("<kuid:100:4>", "username \"from editing\"\n"));
  Soup bin;
  bin.EnsureContainer();
  bin.SetNamedKUID("kuid", KUID(200, 5, 0));
  bin.SetNamedTag("kind", "mesh");
  bin.SetNamedTag("username", "Binary Asset");
  WriteChump(ud + "/local/bin/config.chump", bin);
}

std::vector<KUID> All(const AssetStore& s) { return s.Search(nullptr); }

TEST(AssetStore, IndexIsBuiltFromContentFoldersAndKept) {
  scratch::Folder t;
  Populate(t.path());
  const std::vector<u8> filter = Group(true, false, {Str(0, "car"), Group(true, true, {Flag(5)})});
  const FilterParseResult f = ParseFilterPayload(filter.data(), filter.size());
  ASSERT_TRUE(f.ok);
  const std::vector<KUID> all = {KUID(100, 1, 0), KUID(100, 2, 1), KUID(100, 2, 2),
                                 KUID(100, 3, 0), KUID(100, 4, 0), KUID(200, 5, 0)};
  {
    AssetStore s;
    std::string error;
    ASSERT_TRUE(s.Open(t.path(), &error)) << error;
    EXPECT_TRUE(s.WasRebuilt());
    EXPECT_EQ(All(s), all);
    AssetRecord r;
    ASSERT_TRUE(s.GetAsset(KUID(100, 4, 0), r));
    EXPECT_EQ(std::tie(r.folder, r.name), std::make_tuple("editing", "from editing"));
    EXPECT_TRUE(r.HasFlag(fc::kFlagOpenForEdit));
    ASSERT_TRUE(s.GetAsset(KUID(100, 2, 1), r));
    EXPECT_EQ(r.path, "deep/er/car");
    ASSERT_TRUE(s.GetAsset(KUID(200, 5, 0), r));
    EXPECT_EQ(r.name, "Binary Asset");
    EXPECT_EQ(s.Search(f.root.get()), std::vector<KUID>{KUID(100, 2, 2)});
    // Flags that depend on other assets.
    const struct {
      KUID kuid;
      u32 flag;
      bool expected;
    } cases[] = {
        {KUID(100, 2, 1), fc::kFlagObsolete, true},  // a newer version exists
        {KUID(100, 2, 1), fc::kFlagUpToDate, false},
        {KUID(100, 2, 2), fc::kFlagObsolete, false},
        {KUID(100, 1, 0), fc::kFlagHasMissingDependencies, true},  // <kuid:100:9> is absent
        {KUID(100, 2, 2), fc::kFlagHasMissingDependencies, false},
        {KUID(100, 2, 2), fc::kFlagHasFaultyDependencies, true},  // <kuid:100:3> has no kind
        {KUID(100, 3, 0), fc::kFlagFaulty, true},
        {KUID(100, 1, 0), fc::kFlagFaulty, false},
    };
    for (const auto& c : cases) {
      ASSERT_TRUE(s.GetAsset(c.kuid, r));
      EXPECT_EQ(r.HasFlag(c.flag), c.expected) << c.kuid.ToString().CStr() << " flag " << c.flag;
    }
  }
  // Reopened from the file: the same index. (The daemon's restart test rebuilds it.)
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  EXPECT_FALSE(s.WasRebuilt());
  EXPECT_EQ(All(s), all);
  EXPECT_EQ(s.Search(f.root.get()), std::vector<KUID>{KUID(100, 2, 2)});
}

TEST(AssetStore, SettingsPersistAndAreSeeded) {
  scratch::Folder t;
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
    EXPECT_EQ(s.GetSettingString("internet", "language"), "US");
    EXPECT_EQ(s.GetSettingString("INTERNET", "language"), "US");
    Soup g;
    g.EnsureContainer();
    g.SetNamedTag("language", "DE");
    g.SetNamedInt("count", 7);
    EXPECT_TRUE(s.SetSettingsSoup("internet", g));
    EXPECT_TRUE(s.SetSettingsSoup("emptied", Soup()));
  }
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  EXPECT_EQ(s.GetSettingString("internet", "language"), "DE");
  EXPECT_EQ(s.GetSettingsSoup("internet").GetNamedTagAsInt("count", 0), 7);
  EXPECT_EQ(s.GetSettingsSoup("emptied").CountTags(), 0u);
  std::string error;
  EXPECT_TRUE(s.CheckIntegrity(&error)) << error;
}

// The index follows the content folders across stops: folders added, removed or edited while
// the daemon was away are found at the next start, and settings outlive every rebuild.
TEST(AssetStore, StartReconcilesWithTheContentFoldersAndKeepsSettings) {
  scratch::Folder t;
  Populate(t.path());
  Soup g;
  g.EnsureContainer();
  g.SetNamedTag("password", "kept");
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
    EXPECT_TRUE(s.SetSettingsSoup("internet", g));
  }
  MakeAsset(t.path(), "local", "added", Config("<kuid:300:1>"));
  fs::remove_all(t.path() + "/local/loco");
  MakeAsset(t.path(), "local", "car2", Config("<kuid2:100:2:2>", "username \"Renamed\"\n"));
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
    EXPECT_TRUE(s.WasRebuilt());
    EXPECT_EQ(All(s), (std::vector<KUID>{KUID(100, 2, 1), KUID(100, 2, 2), KUID(100, 3, 0),
                                         KUID(100, 4, 0), KUID(200, 5, 0), KUID(300, 1, 0)}));
    AssetRecord r;
    ASSERT_TRUE(s.GetAsset(KUID(100, 2, 2), r));
    EXPECT_EQ(r.name, "Renamed");
  }
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
    EXPECT_FALSE(s.WasRebuilt()) << "nothing changed since";
  }
  // Deleting the index, the old cure, no longer costs the settings.
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(t.path() + "/assets.tdx" + suffix);
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  EXPECT_EQ(s.GetSettingString("internet", "password"), "kept");
}

// Each change looks again only at the folders it touched; afterwards the stored fingerprint is
// still the one a full walk finds (a new start does not rebuild), and the derived flags of the
// other assets are those that a full computation over the stored rows gives.
TEST(AssetStore, ChangesKeepTheFingerprintAndFlagsThatAFullWalkWouldFind) {
  scratch::Folder t;
  Populate(t.path());
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  AssetEditor editor(s);
  auto check = [&](const char* step) {
    // The store holds its files exclusively: the fresh one reads them while these are closed.
    s.Close();
    AssetStore fresh;
    ASSERT_TRUE(fresh.Open(t.path(), nullptr)) << step;
    EXPECT_FALSE(fresh.WasRebuilt()) << step;
    ASSERT_EQ(All(s), All(fresh)) << step;
    for (const KUID& kuid : All(s)) {
      AssetRecord mine;
      AssetRecord theirs;
      ASSERT_TRUE(s.GetAsset(kuid, mine) && fresh.GetAsset(kuid, theirs));
      EXPECT_EQ(mine.flags, theirs.flags) << step << " " << kuid.ToString().CStr();
    }
    EXPECT_EQ(s.GetCreatorName(100), fresh.GetCreatorName(100)) << step;
    // Each folder names the first asset in KUID order that lies in it, in the changed index as
    // in the one read afresh; folders that hold none, or lie outside, name nothing.
    std::vector<std::string> folders = {t.path(), t.path() + "/local", "/elsewhere/local/loco",
                                        t.path() + "/local/car2", "local/loco"};
    for (const KUID& kuid : All(s)) {
      AssetRecord mine;
      ASSERT_TRUE(s.GetAsset(kuid, mine));
      folders.push_back(s.FolderPathOf(mine));
    }
    for (const std::string& folder : folders) {
      KUID expected = KUID::Null();
      for (const KUID& kuid : All(s)) {
        AssetRecord mine;
        ASSERT_TRUE(s.GetAsset(kuid, mine));
        if (s.FolderPathOf(mine) == folder) {
          expected = kuid;
          break;
        }
      }
      for (const AssetStore* store : {&s, &fresh}) {
        AssetRecord found;
        const bool has = store->FindByFolderPath(folder, found);
        EXPECT_EQ(has, !expected.IsNull()) << step << " " << folder;
        if (has) {
          EXPECT_EQ(found.kuid, expected) << step << " " << folder;
        }
      }
    }
    fresh.Close();
    ASSERT_TRUE(s.Open(t.path(), nullptr)) << step;
  };
  std::string error;
  AssetRecord r;
  // Versions of one asset (obsolete flags) and the dependency of the loco on them.
  ASSERT_TRUE(editor.Delete(KUID(100, 2, 2), true, error)) << error;
  check("delete the newer car");
  ASSERT_TRUE(editor.Create(KUID(100, 2, 3), r, error)) << error;
  check("create a faulty newer car");
  ASSERT_TRUE(editor.BeginEdit(KUID(100, 1, 0), r, error)) << error;
  check("edit the loco");
  ASSERT_TRUE(editor.Commit(KUID(100, 1, 0), error)) << error;
  check("commit the loco");
  ASSERT_TRUE(editor.Revert(KUID(100, 2, 3), error)) << error;
  ASSERT_TRUE(editor.Delete(KUID(100, 2, 1), true, error)) << error;
  check("no car left");
  AssetRecord loco;
  ASSERT_TRUE(s.GetAsset(KUID(100, 1, 0), loco));
  EXPECT_TRUE(loco.HasFlag(fc::kFlagHasMissingDependencies));
}

// Deletes go into today's dated folder, a second copy of the same folder beside the first, and
// only the newest days stay.
TEST(AssetStore, DeletedAssetsGoToDatedBackupsThatAreThinned) {
  scratch::Folder t;
  Populate(t.path());
  const std::string backups = t.path() + "/backups/";
  for (const char* old : {"20-01-01", "20-01-02", "20-01-03", "20-01-04", "20-01-05", "notes"}) {
    fs::create_directories(backups + old);
  }
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  AssetEditor editor(s);
  std::string error;
  AssetRecord r;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(editor.Create(KUID(500, 1, 0), r, error)) << error;
    ASSERT_TRUE(editor.Delete(KUID(500, 1, 0), true, error)) << error;
  }
  TTimeDate now;
  now.SetToNow();
  const std::string today = BackupFolderName(now).CStr();
  EXPECT_TRUE(fs::is_directory(backups + today + "/editing/" + r.path));
  EXPECT_TRUE(fs::is_directory(backups + today + "/editing/" + r.path + ".1"));
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(backups)) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"20-01-02", "20-01-03", "20-01-04", "20-01-05", "notes",
                                         today}));
}

// The index's categories come from the kind and its type words, then from each class code; so
// a kind-only mesh is found by the help's own example expression.
TEST(AssetStore, CategoriesAreDerivedFromKindAndClass) {
  const struct {
    const char* kind;
    const char* type;
    const char* classText;
    const char* categories;
  } cases[] = {
      {"mesh", "", "", "CMP;MESH"},
      {"Traincar", "locomotive", "", "TR;TV;LOCO"},
      {"traincar", "", "AS", "TR;TV;TDR"},
      {"scenery", "", "BR;BI", "SY;SCEN;BD;RRD;IND;NACT"},
      {"scenery", "", "SI", "SY;SCEN;SI"},  // a code no row knows stays
      {"consist", "", "", "CN"},
      {"", "", "FT", "FL;SCEN"},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeriveCategories(c.kind, c.type, c.classText), c.categories) << c.kind << c.classText;
  }
  EXPECT_TRUE(MatchCategoryExpression(DeriveCategories("mesh", "", "").c_str(),
                                      "CMP;MESH|BD;-ACTV|VE|SCEN"));
}

// kill -9 after the schema was committed but before the assets were: the index says it is
// incomplete and the next start builds it.
// Opens a store on `userData` in a child process as the daemon's start does: empty when it
// opened, rebuilt with the six assets of Populate, else the reason. A start that waits on a pipe
// fails the caller's test instead of hanging the suite: a child not done within the watchdog's
// limit is killed. With `asOtherUser`, the child opens it as kestro_test::kOtherUser.
std::string OpenInAChild(const std::string& userData, bool asOtherUser = false) {
  int said[2];
  if (pipe(said) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid < 0) return "no child";
  if (pid == 0) {
    close(said[0]);
    const uid_t other = kestro_test::kOtherUser;
    if (asOtherUser && (setgid(other) != 0 || setuid(other) != 0)) _exit(1);
    AssetStore s;
    std::string error;
    if (OpenStore(s, userData, error) && (!s.WasRebuilt() || s.CountAssets() != 6)) {
      error = "kept";
    }
    const bool written = write(said[1], error.data(), error.size()) == ssize_t(error.size());
    _exit(written ? 0 : 1);
  }
  close(said[1]);
  std::string reason;
  const bool ended = watchdog::Eventually([&] {
    pollfd ready{said[0], POLLIN, 0};
    if (poll(&ready, 1, 10) <= 0) return false;
    char buffer[512];
    const ssize_t n = read(said[0], buffer, sizeof buffer);
    if (n > 0) reason.append(buffer, size_t(n));
    return n == 0;
  });
  close(said[0]);
  if (!ended) kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return ended ? reason : "no answer within the watchdog's limit";
}

TEST(AssetStore, IncompleteBuildIsRebuiltAndAFileThatIsNoIndexIsSetAside) {
  scratch::Folder t;
  Populate(t.path());
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((t.path() + "/assets.tdx").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DELETE FROM assets; DELETE FROM meta WHERE key <> 'schema';", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
    EXPECT_TRUE(s.WasRebuilt());
    EXPECT_EQ(s.CountAssets(), 6u);
  }
  // Noise, or a folder in place of the index's log or of the index, is set aside with what it
  // holds, and the index is built anew. Where it is put, where it is kept:
  const std::string index = t.path() + "/assets.tdx";
  const std::pair<std::string, std::string> cases[] = {
      {"", ".bad"}, {"-wal/", ".bad-wal/"}, {"/", ".bad/"}};
  for (const auto& [put, kept] : cases) {
    SCOPED_TRACE(put);
    const std::string file = put.empty() ? "" : "user.txt";
    if (!put.empty()) fs::remove(index + put.substr(0, put.size() - 1));
    WriteFile(index + put + file, std::string(5000, 'x'));
    AssetStore s;
    std::string error;
    ASSERT_TRUE(s.Open(t.path(), &error)) << error;
    EXPECT_TRUE(s.WasRebuilt());
    EXPECT_EQ(s.CountAssets(), 6u);
    EXPECT_EQ(fs::file_size(index + kept + file), 5000u);
  }
  // A pipe is set aside the same way, and no open waits for a writer that never comes. The
  // settings are never set aside: a pipe, a folder or noise in their place stops the start, named.
  // A rollback journal of either that is no file goes aside by itself (to the first free name),
  // and a folder at the log's index, which SQLite never opens here, stays: the index is kept.
  for (const char* left : {".bad", ".bad-wal", "-wal"}) fs::remove_all(index + left);
  const std::string settings = t.path() + "/settings.tdx";
  const std::string refused = "cannot open the settings database: ";
  const std::string moveIt =
      " is not a regular file; the daemon starts once it is moved out of the way";
  // A journal the daemon cannot read stops the start too, named with why.
  enum class Put { kPipe, kFolder, kNoise, kUnreadable };
  const struct {
    Put put;
    std::string at;
    std::string kept;
    std::string reason;      // empty when the index is built anew, "kept" when it is kept
    std::string taken = {};  // a name set aside before
  } odd[] = {
      {Put::kPipe, index + "-wal", index + ".bad-wal", ""},
      {Put::kPipe, index, index + ".bad", ""},
      {Put::kPipe, settings, settings, refused + settings + moveIt},
      {Put::kPipe, settings + "-wal", settings + "-wal", refused + settings + "-wal" + moveIt},
      {Put::kFolder, settings, settings, refused + settings + moveIt},
      {Put::kNoise, settings, settings, refused + settings + ": file is not a database"},
      {Put::kFolder, index + "-shm", index + "-shm", "kept"},
      {Put::kFolder, index + "-journal", index + "-journal.bad", "kept"},
      {Put::kPipe, index + "-journal", index + "-journal.bad.1", "kept", index + "-journal.bad"},
      {Put::kFolder, settings + "-shm", settings + "-shm", "kept"},
      {Put::kPipe, settings + "-journal", settings + "-journal.bad", "kept"},
      {Put::kUnreadable, settings + "-journal", settings + "-journal",
       refused + "cannot read " + settings + "-journal: Permission denied"},
  };
  for (const auto& [put, at, kept, reason, taken] : odd) {
    SCOPED_TRACE(at);
    // Root reads every file: the store is the other user's, and its journal unreadable to them.
    const bool unreadable = put == Put::kUnreadable;
    const uid_t other = kestro_test::kOtherUser;
    if (unreadable && (!kestro_test::CanRunAsOtherUser() || chown(t.path().c_str(), other, other) ||
                       !kestro_test::OtherUserCanReach(t.path()))) {
      continue;
    }
    if (!taken.empty()) fs::create_directory(taken);
    fs::remove(at);
    if (put == Put::kNoise || unreadable) WriteFile(at, std::string(5000, 'x'));
    ASSERT_TRUE(put == Put::kPipe     ? mkfifo(at.c_str(), 0600) == 0
                : put == Put::kFolder ? fs::create_directory(at)
                                      : fs::file_size(at) == 5000u);
    if (unreadable) {
      for (const auto& e : fs::recursive_directory_iterator(t.path())) {
        ASSERT_EQ(lchown(e.path().c_str(), other, other), 0);
      }
      ASSERT_EQ(chmod(at.c_str(), 0), 0);
    }
    EXPECT_EQ(OpenInAChild(t.path(), unreadable), reason);
    EXPECT_TRUE(put == Put::kPipe     ? fs::is_fifo(kept)
                : put == Put::kFolder ? fs::is_directory(kept)
                                      : fs::file_size(kept) == 5000u);
    fs::remove(kept);
    if (!taken.empty()) fs::remove(taken);
  }
}

// An index of an older build kept the settings in itself; the new settings store takes them.
TEST(AssetStore, SettingsOfAnOlderIndexAreTakenOver) {
  scratch::Folder t;
  {
    AssetStore s;
    ASSERT_TRUE(s.Open(t.path(), nullptr));
  }
  fs::remove(t.path() + "/settings.tdx");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((t.path() + "/assets.tdx").c_str(), &db), SQLITE_OK);
  Soup g;
  g.EnsureContainer();
  g.SetNamedTag("username", "old");
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, g);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE settings(grp TEXT PRIMARY KEY, soup BLOB NOT NULL)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "INSERT INTO settings VALUES('internet', ?)", -1, &insert, nullptr),
      SQLITE_OK);
  sqlite3_bind_blob(insert, 1, buffer.GetData(), int(buffer.GetDataSize()), SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  EXPECT_EQ(s.GetSettingString("internet", "username"), "old");
}

// The mark belongs to the files a validation judged, whatever ends the daemon: files placed by a
// change that a kill cut short before the index recorded it do not carry the old files' mark, nor
// do files changed while the daemon was stopped; untouched files keep theirs. A mark of an older
// store, kept without its files or with a digest of their bytes, names no files, so it marks none.
void ExpectAMarkStaysWithTheFilesItJudgedAcrossACrash(const char* olderStore) {
  scratch::Folder t;
  const KUID placed(300, 1, 0);
  const KUID kept(300, 2, 0);
  const KUID older(300, 3, 0);
  MakeAsset(t.path(), "local", "placed", Config("<kuid:300:1>"));
  MakeAsset(t.path(), "local", "kept", Config("<kuid:300:2>"));
  MakeAsset(t.path(), "local", "older", Config("<kuid:300:3>"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((t.path() + "/settings.tdx").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, olderStore, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  AssetStore s;
  std::string error;
  ASSERT_TRUE(s.Open(t.path(), &error)) << error;
  const auto faulty = [&s](const KUID& kuid) {
    AssetRecord r;
    EXPECT_TRUE(s.GetAsset(kuid, r));
    return r.HasFlag(fc::kFlagFaulty);
  };
  EXPECT_FALSE(faulty(older));
  ASSERT_TRUE(MarkFaulty(s, placed, error)) << error;
  ASSERT_TRUE(MarkFaulty(s, kept, error)) << error;
  {
    // An install killed once its files were in place: the index never heard of them.
    std::lock_guard<OwnedMutex> lock(s.ChangeMutex());
    ASSERT_TRUE(s.MarkChanging(&error)) << error;
    std::filesystem::rename(t.path() + "/local/placed", t.path() + "/judged");
    MakeAsset(t.path(), "local", "placed", Config("<kuid:300:1>", "username \"new\"\n"));
  }
  s.Close();
  MakeAsset(t.path(), "local", "older", Config("<kuid:300:3>", "username \"new\"\n"));
  ASSERT_TRUE(s.Open(t.path(), &error)) << error;
  EXPECT_TRUE(s.WasRebuilt());
  EXPECT_FALSE(faulty(placed));
  EXPECT_TRUE(faulty(kept));
  EXPECT_FALSE(faulty(older));
  // The judged files back in place bring their mark back.
  s.Close();
  std::filesystem::remove_all(t.path() + "/local/placed");
  std::filesystem::rename(t.path() + "/judged", t.path() + "/local/placed");
  ASSERT_TRUE(s.Open(t.path(), &error)) << error;
  EXPECT_TRUE(faulty(placed));
}

TEST(AssetStore, AMarkStaysWithTheFilesItJudgedAcrossACrash) {
  for (const char* olderStore :
       {"CREATE TABLE validation_faults(user INTEGER NOT NULL, content INTEGER NOT NULL, "
        "version INTEGER NOT NULL, PRIMARY KEY(user, content, version));"
        "INSERT INTO validation_faults VALUES(300, 3, 0);",
        "CREATE TABLE validation_faults(user INTEGER NOT NULL, content INTEGER NOT NULL, "
        "version INTEGER NOT NULL, tree TEXT NOT NULL, PRIMARY KEY(user, content, version, tree));"
        "INSERT INTO validation_faults VALUES(300, 3, 0, "
        "'0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef');"}) {
    SCOPED_TRACE(olderStore);
    ExpectAMarkStaysWithTheFilesItJudgedAcrossACrash(olderStore);
  }
}

bool Faulty(const AssetStore& s, const KUID& kuid) {
  AssetRecord r;
  EXPECT_TRUE(s.GetAsset(kuid, r));
  return r.HasFlag(fc::kFlagFaulty);
}

// The last build signed the files with their device numbers too: its marks stay with the files
// they judged, through an edit and a revert, until the next verdict, and mark no other files.
TEST(AssetStore, TheLastBuildsMarksStayWithTheirFilesUntilTheNextVerdict) {
  scratch::Folder t;
  const std::string ud = fs::canonical(t.path()).string();
  const KUID kuid(300, 5, 0);
  MakeAsset(ud, "local", "a", Config("<kuid:300:5>"));
  MakeAsset(ud, "local", "b", Config("<kuid:300:6>"));
  AssetStore s;
  std::string error;
  ASSERT_TRUE(s.Open(ud, &error)) << error;
  s.Close();
  const std::string judged = "'s:i:" + SafeFolder::TreeSignature(ud + "/local/a", nullptr, true);
  const std::string rows = "INSERT INTO validation_faults VALUES(300, 5, 0, " + judged +
                           "'), (300, 6, 0, " + judged + "')";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((ud + "/settings.tdx").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, rows.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_TRUE(s.Open(ud, &error)) << error;
  EXPECT_TRUE(Faulty(s, kuid));
  EXPECT_FALSE(Faulty(s, KUID(300, 6, 0)));
  AssetEditor editor(s);
  AssetRecord r;
  ASSERT_TRUE(editor.BeginEdit(kuid, r, error)) << error;
  EXPECT_TRUE(Faulty(s, kuid)) << "edited";
  ASSERT_TRUE(editor.Revert(kuid, error)) << error;
  EXPECT_TRUE(Faulty(s, kuid)) << "reverted";
  {
    std::lock_guard<OwnedMutex> lock(s.ChangeMutex());
    ASSERT_TRUE(
        s.SetValidationFault(kuid, SafeFolder::TreeSignature(ud + "/local/a"), false, &error))
        << error;
  }
  s.Close();
  ASSERT_TRUE(s.Open(ud, &error)) << error;
  EXPECT_FALSE(Faulty(s, kuid)) << "passed, opened again";
}

// The same file system mounted again on another device number (a USB disk, a loop or LVM volume)
// holds the same files, so they keep their marks. Needs root, for two loop devices.
TEST(AssetStore, AMarkStaysWithItsFilesOnAnotherDeviceNumber) {
  scratch::Folder t;
  const std::string image = ShellWord(t.path() + "/image");
  fs::create_directory(t.path() + "/mounted");
  const std::string ud = fs::canonical(t.path() + "/mounted").string();
  const std::string at = ShellWord(ud);
  // Each device stays attached until the end, so that the second mount gets another one.
  struct Detach {
    std::string command;
    ~Detach() { RunCommand(command); }
  } detach{"umount " + at + "; losetup -j " + image + " | cut -d: -f1 | xargs -rn1 losetup -d"};
  const auto mount = [&](const std::string& before) {
    struct stat st {};
    const bool mounted =
        RunCommand(before + " && mount $(losetup -f --show " + image + ") " + at).exitCode == 0;
    return mounted && stat(ud.c_str(), &st) == 0 ? u64(st.st_dev) : u64(0);
  };
  const u64 first = mount("truncate -s 16M " + image + " && mkfs.ext4 -q -F " + image);
  if (first == 0) GTEST_SKIP() << "needs root, to make and mount an ext4 image";
  MakeAsset(ud, "local", "judged", Config("<kuid:300:4>"));
  AssetStore s;
  std::string error;
  ASSERT_TRUE(s.Open(ud, &error)) << error;
  ASSERT_TRUE(MarkFaulty(s, KUID(300, 4, 0), error)) << error;
  s.Close();
  const u64 second = mount("umount " + at);
  ASSERT_TRUE(second != 0 && second != first) << first << " then " << second;
  ASSERT_TRUE(s.Open(ud, &error)) << error;
  EXPECT_TRUE(Faulty(s, KUID(300, 4, 0)));
}

// The installed folder of an asset open for editing is no duplicate; another folder with its
// KUID, in local/ or editing/, still is.
TEST(AssetStore, TheInstalledFolderOfAnOpenAssetIsNoDuplicate) {
  scratch::Folder t;
  Populate(t.path());  // <kuid:100:4> in editing/dup and local/dup
  MakeAsset(t.path(), "local", "dup-copy", Config("<kuid:100:4>"));
  MakeAsset(t.path(), "editing", "other", Config("<kuid:100:1>"));
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(s.Rebuild(problems, &error)) << error;
  std::set<std::string> duplicates;
  for (const std::string& p : problems) {
    if (p.rfind("duplicate asset ", 0) == 0) duplicates.insert(p);
  }
  EXPECT_EQ(duplicates, (std::set<std::string>{"duplicate asset local/dup-copy ignored",
                                               "duplicate asset local/loco ignored"}));
  AssetRecord r;
  ASSERT_TRUE(s.GetAsset(KUID(100, 4, 0), r));
  EXPECT_EQ(std::tie(r.folder, r.path), std::make_tuple("editing", "dup"));
}

// Folders are read side by side, yet the index is the one a single walk in name order gives:
// the first of many folders holding one KUID keeps it wherever it lies in a wide, deep tree, and
// the problems come in the order the folders were met.
TEST(AssetStore, ScanOnSeveralThreadsKeepsTheWalkOrder) {
  scratch::Folder t;
  for (int set = 0; set < 12; ++set) {
    for (int i = 0; i < 40; ++i) {
      // Upper and lower case alternate between sets: the order ignores case.
      const std::string name =
          std::string(1, char((set % 2 ? 'A' : 'a') + set)) + "/f" + std::to_string(100 + i);
      MakeAsset(t.path(), "local", name, Config("<kuid:300:" + std::to_string(i % 7) + ">"));
    }
  }
  MakeAsset(t.path(), "local", "m/broken", "username \"nothing\"\n");
  AssetStore s;
  ASSERT_TRUE(s.Open(t.path(), nullptr));
  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(s.Rebuild(problems, &error)) << error;
  for (int k = 0; k < 7; ++k) {
    AssetRecord r;
    ASSERT_TRUE(s.GetAsset(KUID(300, k, 0), r));
    EXPECT_EQ(r.path, "a/f" + std::to_string(100 + k));
    // The folder's bytes, counted from the folder the walk had already listed.
    EXPECT_EQ(r.size, fs::file_size(t.path() + "/local/" + r.path + "/config.txt")) << k;
  }
  std::vector<std::string> duplicates;
  size_t broken = problems.size();
  for (size_t i = 0; i < problems.size(); ++i) {
    if (problems[i].rfind("duplicate asset ", 0) == 0) {
      duplicates.push_back(problems[i]);
    } else if (problems[i].find("/local/m/broken") != std::string::npos) {
      broken = i;
    }
  }
  EXPECT_LT(broken, problems.size()) << "the folder without a KUID is reported";
  EXPECT_EQ(duplicates.size(), 12u * 40u - 7u);
  for (size_t i = 1; i < duplicates.size(); ++i) {
    // Walk order: set letter first (case ignored), then the folder's number.
    EXPECT_LT(strcasecmp(duplicates[i - 1].c_str(), duplicates[i].c_str()), 0)
        << duplicates[i - 1] << " / " << duplicates[i];
  }
}

// On a full disk a start opens the store, and each change is refused with the disk's reason
// while the store serves on; once there is room again, changes go through.
TEST(AssetStore, AFullDiskRefusesChangesAndStopsNothing) {
  scratch::Folder t;
  MakeAsset(t.path(), "local", "a", Config("<kuid:10:1>"));
  MakeAsset(t.path(), "local", "b", Config("<kuid:10:2>"));
  SqliteDiskFaults disk;
  AssetStore store;
  AssetEditor editor(store);
  AssetRecord r;
  std::string error;
  ASSERT_TRUE(store.Open(t.path(), &error) && editor.BeginEdit(KUID(10, 1, 0), r, error)) << error;
  store.Close();
  disk.full = true;
  ASSERT_TRUE(store.Open(t.path(), &error)) << error;
  const auto install = [](const SafeFolder& folders, const std::string& at, std::string& e) {
    return folders.MakeFolders(at, e) &&
           (WriteFile(at + "/config.txt", Config("<kuid:10:3>")), true);
  };
  const std::pair<const char*, std::function<bool(std::string&)>> changes[] = {
      {"commit", [&](std::string& e) { return editor.Commit(KUID(10, 1, 0), e); }},
      {"revert", [&](std::string& e) { return editor.Revert(KUID(10, 1, 0), e); }},
      {"edit", [&](std::string& e) { return editor.BeginEdit(KUID(10, 2, 0), r, e); }},
      {"delete", [&](std::string& e) { return editor.Delete(KUID(10, 2, 0), true, e); }},
      {"install", [&](std::string& e) { return editor.Install(KUID(10, 3, 0), install, e, true); }},
  };
  for (const auto& [name, change] : changes) {
    std::string e;
    EXPECT_FALSE(change(e)) << name;
    EXPECT_NE(e.find("database or disk is full"), std::string::npos) << name << ": " << e;
  }
  EXPECT_EQ(disk.sharedPagesMapped, 0);
  EXPECT_EQ(store.CountAssets(), 2u);
  disk.full = false;
  for (const auto& [name, change] : changes) {
    // The commit leaves nothing to revert.
    EXPECT_TRUE(std::string(name) == "revert" || change(error)) << name << ": " << error;
  }
}

}  // namespace
}  // namespace PymDaemonSrv
