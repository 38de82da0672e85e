// Changes to asset folders survive being cut short: a commit or revert stopped while the editing
// copy is being removed never leaves part of a copy that the next start serves as open for edit.
// A change killed at any step is finished or undone by the next start. A failed change leaves
// every folder as it was; a done one touches no other asset's folder.
#include "daemon/asset_editor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "core/file_util.h"
#include "core/time_date.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_app.h"
#include "daemon/daemon_test_util.h"
#include "pymclient/pym_filter_codes.h"
#include "support/other_user.h"
#include "support/sqlite_disk_faults.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;
namespace fs = std::filesystem;

constexpr int kFiles = 40;
const KUID kAsset(10, 1, 0);

// Thrown from inside a removal: the process ends there, as under kill -9.
struct Killed {};

size_t CountFiles(const std::string& folder) {
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(folder)) n += e.is_regular_file();
  return n;
}

TEST(AssetEditor, ACommitOrRevertCutShortDuringTheRemovalLeavesNoPartialCopy) {
  for (const bool commit : {true, false}) {
    scratch::Folder t;
    const std::string ud = fs::canonical(t.path()).string();
    MakeAsset(ud, "local", "a", Config("<kuid:10:1>"));
    for (int i = 0; i < kFiles; ++i) WriteFile(ud + "/local/a/f" + std::to_string(i) + ".txt", "x");
    {
      AssetStore store;
      std::string error;
      ASSERT_TRUE(store.Open(ud, &error)) << error;
      AssetEditor editor(store);
      AssetRecord record;
      ASSERT_TRUE(editor.BeginEdit(kAsset, record, error)) << error;
      editor.SetRemovalHookForTests([](const std::string& folder) {
        int left = kFiles / 2;
        for (const auto& e : fs::directory_iterator(folder)) {
          if (left-- == 0) break;
          fs::remove(e.path());
        }
        throw Killed();
      });
      EXPECT_THROW(commit ? editor.Commit(kAsset, error) : editor.Revert(kAsset, error), Killed);
    }
    // The next start.
    AssetEditor::RecoverStaging(ud);
    AssetStore store;
    std::string error;
    ASSERT_TRUE(store.Open(ud, &error)) << error;
    AssetRecord record;
    ASSERT_TRUE(store.GetAsset(kAsset, record));
    EXPECT_EQ(record.folder, AssetEditor::kLocalFolder) << "commit " << commit;
    EXPECT_FALSE(fs::exists(ud + "/editing/a")) << "commit " << commit;
    EXPECT_EQ(CountFiles(ud + "/local/a"), size_t(kFiles + 1)) << "commit " << commit;
    EXPECT_TRUE(fs::is_empty(ud + "/staging"));
  }
}

// The entries below `ud`'s `folders`: a file by its bytes, a link by its target.
using Tree = std::map<std::string, std::string>;
Tree Snapshot(const std::string& ud,
              std::initializer_list<const char*> folders = {"local/a", "editing/a"}) {
  Tree tree;
  for (const std::string folder : folders) {
    if (!fs::exists(ud + "/" + folder)) continue;
    for (const auto& e : fs::recursive_directory_iterator(ud + "/" + folder)) {
      tree[fs::relative(e.path(), ud).string()] =
          e.is_symlink()     ? "-> " + fs::read_symlink(e.path()).string()
          : e.is_directory() ? "/"
                             : ReadFileText(e.path().string());
    }
  }
  return tree;
}

size_t FilesBelow(const std::string& folder) { return fs::exists(folder) ? CountFiles(folder) : 0; }

std::string Today() {
  TTimeDate now;
  now.SetToNow();
  return BackupFolderName(now).CStr();
}

const KUID kMade(10, 2, 0);
// kPurge: a delete that keeps no backup.
enum Op { kCommitLinked, kCommit, kRevert, kDelete, kPurge, kInstall, kCreate, kRestart };

// A store and its editor over one UserData folder, opened again at will as a start would.
struct Installation {
  scratch::Folder t;
  std::string ud = fs::canonical(t.path()).string();
  std::unique_ptr<AssetStore> store;
  std::unique_ptr<AssetEditor> editor;

  bool Open(std::string& error) {
    editor.reset();
    store = std::make_unique<AssetStore>();
    if (!store->Open(ud, &error)) return false;
    editor = std::make_unique<AssetEditor>(*store);
    return true;
  }
  // Asset 10:1 installed in "a", open for editing with `edit`.
  bool Start(bool edit, std::string& error) {
    MakeAsset(ud, "local", "a", Config("<kuid:10:1>"));
    WriteFile(ud + "/local/a/old.txt", "old");
    AssetRecord record;
    return Open(error) && (!edit || editor->BeginEdit(kAsset, record, error));
  }
  // As the daemon starts: the records its start could not write are written by the next change.
  bool Restart(std::string& error) {
    editor.reset();
    store = std::make_unique<AssetStore>();
    if (!OpenStore(*store, ud, error)) return false;
    editor = std::make_unique<AssetEditor>(*store);
    return true;
  }
  std::string FolderOf(const KUID& kuid) const {
    AssetRecord record;
    return store->GetAsset(kuid, record) ? record.folder + "/" + record.path : "unknown";
  }
  static AssetEditor::FolderFiller Version(const std::string& text) {
    return [text](const SafeFolder& folders, const std::string& folder, std::string& e) {
      if (!folders.MakeFolders(folder, e)) return false;
      WriteFile(folder + "/config.txt", Config("<kuid:10:1>"));
      WriteFile(folder + "/v.txt", text);
      return true;
    };
  }
  bool Do(Op op, const KUID& kuid, std::string& e) {
    AssetRecord made;
    return op <= kCommit    ? editor->Commit(kuid, e)
           : op == kRevert  ? editor->Revert(kuid, e)
           : op == kDelete  ? editor->Delete(kuid, true, e)
           : op == kPurge   ? editor->Delete(kuid, false, e)
           : op == kInstall ? editor->Install(kuid, Version("new"), e, true)
           : op == kCreate  ? editor->Create(kMade, made, e)
                            : Restart(e);
  }
};

// A change that fails before its index write, or is refused, puts back what it moved: the
// installed folder, the editing copy, the backups and the index stay as they were.
TEST(AssetEditor, AChangeThatFailsBeforeItsIndexWriteLeavesEverythingAsItWas) {
  // Each change with its index write failing, as on a full disk, and a commit of a linked
  // configuration.
  for (const Op op : {kCommitLinked, kCommit, kRevert, kDelete, kInstall, kCreate}) {
    SCOPED_TRACE(op);
    Installation in;
    std::string error;
    const bool open = op != kInstall && op != kCreate;
    ASSERT_TRUE(in.Start(open, error)) << error;
    const std::string copy = in.ud + "/editing/a/";
    if (open) WriteFile(copy + "new.txt", "new");
    if (op == kCommitLinked) {
      fs::rename(copy + "config.txt", copy + "shared-config.txt");
      fs::create_symlink("shared-config.txt", copy + "config.txt");
    } else {
      in.editor->SetRecordHookForTests([&in] { in.store->Close(); });
    }
    const Tree before = Snapshot(in.ud);
    const std::string folder = in.FolderOf(kAsset);
    EXPECT_FALSE(in.Do(op, kAsset, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Snapshot(in.ud), before);
    EXPECT_TRUE(!fs::exists(in.ud + "/backups") || fs::is_empty(in.ud + "/backups"));
    ASSERT_TRUE(in.Restart(error)) << error;
    EXPECT_EQ(in.FolderOf(kAsset), folder);
    EXPECT_EQ(in.FolderOf(kMade), "unknown");
    EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
  }
}

// A read-only editing copy or installed folder stops a commit or delete before it changes
// anything. Only another user feels the read-only mode: root writes through it.
TEST(AssetEditor, AReadOnlyFolderStopsTheChangeBeforeItMovesAnything) {
  if (!kestro_test::CanRunAsOtherUser()) GTEST_SKIP() << "needs root to drop to another uid";
  const std::pair<const char*, Op> rows[] = {
      {"editing/a", kCommit}, {"local/a", kDelete}, {"local", kDelete}, {"editing", kDelete}};
  for (const auto& [readOnly, op] : rows) {
    Installation in;
    MakeAsset(in.ud, "local", "a", Config("<kuid:10:1>"));
    for (const auto& e : fs::recursive_directory_iterator(in.t.path())) {
      ASSERT_EQ(lchown(e.path().c_str(), kestro_test::kOtherUser, kestro_test::kOtherUser), 0);
    }
    ASSERT_EQ(chown(in.t.path().c_str(), kestro_test::kOtherUser, kestro_test::kOtherUser), 0);
    if (!kestro_test::OtherUserCanReach(in.ud)) GTEST_SKIP() << "the scratch folder is private";
    // Each failed check is a bit of the child's exit code.
    const int failed = kestro_test::RunAsOtherUser([&, readOnly = readOnly, op = op] {
      std::string error;
      AssetRecord record;
      if (!in.Open(error) || !in.editor->BeginEdit(kAsset, record, error)) return 64;
      WriteFile(in.ud + "/editing/a/new.txt", "new");
      const Tree before = Snapshot(in.ud);
      if (chmod((in.ud + "/" + readOnly).c_str(), 0555) != 0) return 64;
      int bits = in.Do(op, kAsset, error) ? 1 : 0;
      bits |= error.find("Permission denied") == std::string::npos ? 2 : 0;
      bits |=
          (Snapshot(in.ud) != before ? 4 : 0) | (fs::exists(in.ud + "/backups/" + Today()) ? 8 : 0);
      return bits | (in.Restart(error) && in.FolderOf(kAsset) == "editing/a" ? 0 : 16);
    });
    EXPECT_EQ(failed, 0) << readOnly;
  }
}

// An editing copy whose configuration was given a new KUID, the way a new asset is made from an
// old one, leaves the folder it came from to the old asset.
TEST(AssetEditor, ACopyGivenAnotherKuidNeverTouchesTheFolderOfTheAssetItCameFrom) {
  const KUID newAsset(10, 3, 0);
  const struct {
    Op op;
    const char* newFolder;
    const char* backedUp;
  } cases[] = {{kCommit, "local/kuid 10 3 0", ""},
               {kRevert, "unknown", ""},
               {kDelete, "unknown", "editing/a"}};
  for (const auto& c : cases) {
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(true, error)) << error;
    WriteFile(in.ud + "/editing/a/config.txt", Config("<kuid:10:3>"));
    ASSERT_TRUE(in.Restart(error)) << error;
    const Tree own = Snapshot(in.ud, {"local/a"});
    EXPECT_TRUE(in.Do(c.op, newAsset, error)) << c.op << ": " << error;
    EXPECT_EQ(Snapshot(in.ud, {"local/a"}), own) << c.op;
    EXPECT_EQ(in.FolderOf(kAsset), "local/a") << c.op;
    EXPECT_EQ(in.FolderOf(newAsset), c.newFolder) << c.op;
    EXPECT_FALSE(fs::exists(in.ud + "/editing/a")) << c.op;
    const std::string dated = in.ud + "/backups/" + Today();
    EXPECT_FALSE(fs::exists(dated + "/local/a")) << c.op;
    EXPECT_EQ(fs::exists(dated + "/" + c.backedUp), *c.backedUp != 0) << c.op;
  }
}

// A refused commit names the editing copy by the name the user knows it by, not where it leads.
TEST(AssetEditor, ARefusedCommitNamesTheFolderAtFault) {
  Installation in;
  MakeAsset(in.ud, "editing", "kuid 10 3 0", Config("<kuid:10:3>"));
  std::string error;
  ASSERT_TRUE(in.Open(error)) << error;
  fs::rename(in.ud + "/editing/kuid 10 3 0", in.ud + "/elsewhere");
  fs::create_directory_symlink(in.ud + "/elsewhere", in.ud + "/editing/kuid 10 3 0");
  EXPECT_FALSE(in.editor->Commit(KUID(10, 3, 0), error));
  EXPECT_EQ(error, "the editing copy " + in.ud + "/editing/kuid 10 3 0 is not a folder");
}

TEST(AssetEditor, ACommitWarnsOfEachEntryItLeavesOut) {
  Installation in;
  std::string error;
  ASSERT_TRUE(in.Start(true, error)) << error;
  WriteFile(in.ud + "/editing/a/keep.txt", "kept");
  ASSERT_EQ(mkfifo((in.ud + "/editing/a/pipe").c_str(), 0600), 0);
  fs::create_directory(in.ud + "/editing/a/sub");
  fs::create_symlink("../keep.txt", in.ud + "/editing/a/sub/link.txt");
  AssetEditor::Warnings warnings;
  ASSERT_TRUE(in.editor->Commit(kAsset, error, &warnings)) << error;
  EXPECT_EQ(warnings,
            (AssetEditor::Warnings{"not installed (not a file or folder): pipe",
                                   "not installed (not a file or folder): sub/link.txt"}));
  EXPECT_EQ(ReadFileText(in.ud + "/local/a/keep.txt"), "kept");
}

// A change killed at any step (each folder it moves or removes, its index write) leaves, after
// the next start, and the one after it, the folders and the index as they were before the change
// or as the change left them; never less, and nothing in staging.
TEST(AssetEditor, AChangeKilledAtAnyStepIsFinishedOrUndoneByTheNextStart) {
  const KUID renamed(10, 3, 0);
  using Step = std::function<bool(Installation&, std::string&)>;
  const Step edited = [](Installation& in, std::string& e) {
    if (!in.Start(true, e)) return false;
    WriteFile(in.ud + "/editing/a/new.txt", "edited");
    return true;
  };
  const Step installed = [](Installation& in, std::string& e) { return in.Start(false, e); };
  const auto install = [](bool exchange) -> Step {
    return [exchange](Installation& in, std::string& e) {
      in.editor->SetExchangeForTests(exchange);
      const auto made = [](const SafeFolder& folders, const std::string& folder, std::string& e) {
        return folders.MakeFolders(folder, e) &&
               (WriteFile(folder + "/config.txt", Config("<kuid:10:2>")), true);
      };
      std::vector<std::string> errors;
      const std::vector<AssetEditor::InstallJob> jobs = {{kAsset, in.Version("new"), true},
                                                         {kMade, made, false}};
      const bool both = in.editor->InstallAll(jobs, errors) == 2;
      e = errors[0] + errors[1];
      return both;
    };
  };
  const auto op = [](Op o, KUID kuid = kAsset) -> Step {
    return [o, kuid](Installation& in, std::string& e) { return in.Do(o, kuid, e); };
  };
  const struct {
    const char* name;
    Step setUp;
    Step change;
  } cases[] = {
      {"commit", edited, op(kCommit)},
      {"commit of a copy given a new KUID",
       [&](Installation& in, std::string& e) {
         return edited(in, e) &&
                (WriteFile(in.ud + "/editing/a/config.txt", Config("<kuid:10:3>")), in.Restart(e));
       },
       op(kCommit, renamed)},
      {"revert", edited, op(kRevert)},
      {"delete", edited, op(kDelete)},
      {"delete without a backup", edited, op(kPurge)},
      {"edit", installed,
       [](Installation& in, std::string& e) {
         AssetRecord record;
         return in.editor->BeginEdit(kAsset, record, e);
       }},
      {"install by exchange", installed, install(true)},
      {"install by two renames", installed, install(false)},
      {"create", installed, op(kCreate)},
  };
  // What a start would otherwise remove, it keeps in the backups' staging folder.
  const std::string day = "backups/" + Today();
  const auto state = [&](Installation& in) {
    Tree tree = Snapshot(in.ud, {"local", "editing", "backups"});
    std::erase_if(tree, [&](const auto& e) {
      return e.first == day || e.first.starts_with(day + "/staging");
    });
    return std::pair(tree,
                     in.FolderOf(kAsset) + " " + in.FolderOf(renamed) + " " + in.FolderOf(kMade));
  };
  // Each change also with its index write failing, as on a full disk, and killed while it puts
  // the folders back.
  for (const auto& c : cases) {
    for (const bool failed : {false, true}) {
      // A run to its end counts the steps and gives the state after the change.
      int steps = 0;
      int written = 0;
      std::string error;
      Installation whole;
      ASSERT_TRUE(c.setUp(whole, error)) << c.name << ": " << error;
      const auto before = state(whole);
      whole.editor->SetMoveHookForTests([&](const std::string&) { ++steps; });
      whole.editor->SetRemovalHookForTests([&](const std::string&) { ++steps; });
      whole.editor->SetRecordHookForTests([&] {
        written = steps++;
        if (failed) whole.store->Close();
      });
      ASSERT_EQ(c.change(whole, error), !failed) << c.name << ": " << error;
      const auto after = state(whole);
      ASSERT_EQ(before == after, failed) << c.name;
      for (int kill = failed ? written + 1 : 0; kill < steps; ++kill) {
        SCOPED_TRACE(std::string(c.name) + (failed ? ", failed" : "") + ", killed at step " +
                     std::to_string(kill));
        Installation in;
        ASSERT_TRUE(c.setUp(in, error)) << error;
        int step = 0;
        const auto count = [&] {
          if (step++ == kill) throw Killed();
        };
        in.editor->SetMoveHookForTests([&](const std::string&) { count(); });
        in.editor->SetRemovalHookForTests([&](const std::string&) { count(); });
        in.editor->SetRecordHookForTests([&] {
          count();
          if (failed) in.store->Close();
        });
        EXPECT_THROW(c.change(in, error), Killed);
        for (int start = 0; start < 2; ++start) {
          ASSERT_TRUE(in.Restart(error)) << error;
          const auto now = state(in);
          EXPECT_TRUE(now == before || now == after) << now.second;
          EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
        }
      }
      // Nor does one whose first listing of staging fails (no file handle left), here after an
      // index write that a disk failed: nothing moves, and the record keeps the whole change.
      SCOPED_TRACE(std::string(c.name) + (failed ? ", failed" : "") + ", staging not listed");
      SqliteDiskFaults sync;
      Installation in;
      ASSERT_TRUE(c.setUp(in, error)) << error;
      int listings = 0;
      in.editor->SetListingForTests([&](const std::string& folder, std::vector<std::string>& n) {
        return listings++ > 0 ? ListFolderNames(folder, n) : (errno = EMFILE, false);
      });
      if (failed) in.editor->SetRecordHookForTests([&] { sync.FailNextSync(); });
      error.clear();
      EXPECT_EQ(c.change(in, error), !failed) << error;
      EXPECT_EQ(failed && listings > 0, error.find("cannot list") != std::string::npos) << error;
      for (int start = 0; start < 2; ++start) {
        ASSERT_TRUE(in.Restart(error)) << error;
        EXPECT_EQ(state(in), failed ? before : after);
        EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
      }
    }
  }
}

// An edit says what its copy leaves out and keeps the modes, but for set-id bits and others'
// write; a commit that copies a file while it is saved is refused rather than lose the save with
// the editing copy.
TEST(AssetEditor, EditAndCommitChangeNoFileUnsaid) {
  Installation in;
  std::string error;
  ASSERT_TRUE(in.Start(false, error)) << error;
  ASSERT_EQ(mkfifo((in.ud + "/local/a/pipe").c_str(), 0600), 0);
  fs::create_symlink("old.txt", in.ud + "/local/a/link.txt");
  fs::create_directory(in.ud + "/local/a/sub");
  fs::create_symlink("../old.txt", in.ud + "/local/a/sub/link.txt");
  const std::tuple<const char*, mode_t, mode_t> modes[] = {
      {"sub", 0755, 0755}, {"old.txt", 0644, 0644}, {"config.txt", 04766, 0764}};
  for (const auto& [path, mode, kept] : modes) {
    ASSERT_EQ(chmod((in.ud + "/local/a/" + path).c_str(), mode), 0);
  }
  AssetRecord record;
  AssetEditor::Warnings warnings;
  ASSERT_TRUE(in.editor->BeginEdit(kAsset, record, error, &warnings)) << error;
  const std::string left = "not copied for editing (not a file or folder): ";
  EXPECT_EQ(warnings,
            (AssetEditor::Warnings{left + "link.txt", left + "pipe", left + "sub/link.txt"}));
  for (const auto& [path, mode, kept] : modes) {
    EXPECT_EQ(fs::status(in.ud + "/editing/a/" + path).permissions(), fs::perms(kept)) << path;
  }

  // Saves keep coming while the commit copies the file, each with a time of its own, so that no
  // clock tick and no scheduling can let the copy miss them all.
  const std::string big = in.ud + "/editing/a/big.bin";
  WriteFile(big, std::string(64u << 20, 'a'));
  std::atomic<bool> committing{true};
  std::thread saver([&] {
    for (time_t t = 2; committing; ++t) {
      std::fstream(big, std::ios::in | std::ios::out | std::ios::binary) << 'b';
      const timespec times[2] = {{t, 0}, {t, 0}};
      utimensat(AT_FDCWD, big.c_str(), times, 0);
    }
  });
  EXPECT_FALSE(in.editor->Commit(kAsset, error));
  committing = false;
  saver.join();
  EXPECT_EQ(error, "the editing copy changed while it was committed; commit again");
  EXPECT_EQ(ReadFileText(big).substr(0, 2), "ba");
  EXPECT_FALSE(fs::exists(in.ud + "/local/a/big.bin"));
}

// A save made while a commit runs is installed, or the commit is refused with the editing copy
// kept and holding it: the commit takes the editing copy at one moment, never the files of two.
// Two files are saved whole (written elsewhere and renamed over), every few milliseconds, from
// several starts into a commit of a large file.
TEST(AssetEditor, ACommitInstallsEverySaveThatSucceededOrNone) {
  for (const int delayMs : {0, 2, 10, 30}) {
    SCOPED_TRACE(delayMs);
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(true, error)) << error;
    const std::string editing = in.ud + "/editing/a";
    WriteFile(editing + "/big.bin", std::string(32u << 20, 'a'));
    // The text of the last save of each file that succeeded.
    std::map<std::string, std::string> saved;
    std::atomic<bool> committing{true};
    std::thread saver([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      for (int n = 1; committing; ++n) {
        for (const std::string name : {"data.txt", "other.txt"}) {
          const std::string text = std::to_string(n);
          const std::string temp = in.ud + "/" + name + ".new";
          const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
          const bool written =
              fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
          if (fd >= 0) close(fd);
          if (written && rename(temp.c_str(), (editing + "/" + name).c_str()) == 0) {
            saved[name] = text;
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    const bool committed = in.editor->Commit(kAsset, error);
    committing = false;
    saver.join();
    if (!committed) {
      EXPECT_EQ(error, "the editing copy changed while it was committed; commit again");
      EXPECT_FALSE(fs::exists(in.ud + "/local/a/big.bin"));
    }
    const std::string holder = committed ? in.ud + "/local/a" : editing;
    EXPECT_EQ(in.FolderOf(kAsset), committed ? "local/a" : "editing/a");
    for (const auto& [name, text] : saved) {
      EXPECT_EQ(ReadFileText(holder + "/" + name), text) << name << (committed ? " installed" : "");
    }
  }
}

// On a file system of whole seconds, the copy that an edit or a commit makes of a marked asset
// shares its second with old.txt rewritten in place to the same size and time right after
// (`rsync --inplace`): the verdict goes to no such bytes, and no clock wait holds the change lock.
TEST(AssetEditor, ACarriedVerdictCoversNoBytesWrittenWithinTheCopysSecond) {
  bool waitedLocked = false;
  const Installation* running = nullptr;
  SafeFolder::SetWholeSecondsForTests(true);
  SafeFolder::SetClockWaitHookForTests(
      [&] { waitedLocked |= running->store->ChangeMutex().IsHeldByThisThread(); });
  const auto carry = [&](bool commit) {
    SCOPED_TRACE(commit ? "committed" : "edited");
    Installation in;
    running = &in;
    std::string error;
    AssetRecord r;
    ASSERT_TRUE(in.Start(commit, error) && MarkFaulty(*in.store, kAsset, error)) << error;
    // Just after a second begins, past the file times' coarse clock.
    for (const time_t was = time(nullptr); time(nullptr) == was;) usleep(1000);
    usleep(20000);
    const time_t second = time(nullptr);
    ASSERT_TRUE(commit ? in.editor->Commit(kAsset, error) : in.editor->BeginEdit(kAsset, r, error))
        << error;
    const std::string old = in.ud + (commit ? "/local/a/old.txt" : "/editing/a/old.txt");
    const fs::file_time_type written = fs::last_write_time(old);
    WriteFile(old, "new");
    fs::last_write_time(old, written);
    ASSERT_EQ(time(nullptr), second) << "the change took a second: nothing was shown";
    ASSERT_TRUE(in.Restart(error)) << error;
    EXPECT_TRUE(in.store->GetAsset(kAsset, r) && !r.HasFlag(PymFilterCodes::kFlagFaulty));
  };
  for (const bool commit : {false, true}) carry(commit);
  // No early return above: the hooks must not outlive this test.
  SafeFolder::SetWholeSecondsForTests(false);
  SafeFolder::SetClockWaitHookForTests(nullptr);
  EXPECT_FALSE(waitedLocked);
}

// The folder `folder` of `in` made anew, naming `kuid`, with `work` in work.txt.
void MakeWork(Installation& in, const std::string& folder, const KUID& kuid, const char* work) {
  fs::remove_all(in.ud + "/" + folder);
  WriteFile(in.ud + "/" + folder + "/config.txt", Config(kuid.ToString().CStr()));
  WriteFile(in.ud + "/" + folder + "/work.txt", work);
}

// No change of one asset replaces, moves or removes a folder that holds another, and an asset
// that another folder still holds stays in the index.
TEST(AssetEditor, AChangeOfOneAssetLeavesTheFoldersOfOthers) {
  const KUID other(10, 3, 0);
  // 0: `other` made from kAsset as a user would (a copy given its KUID, committed once kAsset
  // went), so that it lives in kAsset's folder; 1: kAsset in local/a and local/b; 2: other's
  // editing copy given kAsset's KUID, which local/b holds; 3: kAsset's editing copy replaced by
  // other's folder while the daemon runs.
  const auto setUp = [&](Installation& in, int which) {
    std::string e;
    AssetRecord r;
    if (which == 0) {
      ASSERT_TRUE(in.Open(e) && in.editor->Install(kAsset, in.Version("1"), e, true)) << e;
      ASSERT_TRUE(in.editor->BeginEdit(kAsset, r, e)) << e;
      MakeWork(in, "editing/kuid 10 1 0", other, "work");
      ASSERT_TRUE(in.Restart(e) && in.editor->Delete(kAsset, true, e)) << e;
      ASSERT_TRUE(in.editor->Commit(other, e)) << e;
      return;
    }
    MakeWork(in, "local/a", which == 2 ? other : kAsset, "");
    if (which < 3) MakeWork(in, "local/b", kAsset, "work");
    ASSERT_TRUE(in.Open(e)) << e;
    if (which < 2) return;
    ASSERT_TRUE(in.editor->BeginEdit(which == 2 ? other : kAsset, r, e)) << e;
    MakeWork(in, "editing/a", which == 2 ? kAsset : other, which == 2 ? "" : "work");
    if (which == 2) {
      ASSERT_TRUE(in.Restart(e)) << e;
    }
  };
  const std::string taken = "local/kuid 10 1 0";
  const struct {
    int setup;
    Op op;
    bool done;
    std::string assetFolder, otherFolder, work;
  } cases[] = {{0, kInstall, true, taken + " 2", taken, taken},
               {1, kDelete, true, "local/b", "unknown", "local/b"},
               {2, kRevert, true, "local/b", "local/a", "local/b"},
               {2, kDelete, true, "local/b", "local/a", "local/b"},
               {3, kRevert, false, "editing/a", "unknown", "editing/a"},
               {3, kDelete, false, "editing/a", "unknown", "editing/a"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.setup << " " << c.op);
    Installation in;
    setUp(in, c.setup);
    if (HasFatalFailure()) return;
    std::string error;
    EXPECT_EQ(in.Do(c.op, kAsset, error), c.done) << error;
    EXPECT_EQ(error.find("holds <kuid:10:3>, not <kuid:10:1>") != std::string::npos, !c.done);
    for (int start = 0; start < (c.done ? 2 : 1); ++start) {
      EXPECT_EQ(in.FolderOf(kAsset), c.assetFolder);
      EXPECT_EQ(in.FolderOf(other), c.otherFolder);
      EXPECT_EQ(ReadFileText(in.ud + "/" + c.work + "/work.txt"), "work");
      ASSERT_TRUE(in.Restart(error)) << error;
    }
  }
}

// Leftovers go whatever their depth, and an install keeps each version it replaces, never
// losing one without a word.
TEST(AssetEditor, LeftoversOfAnyDepthGoAndInstallsKeepEachVersionTheyReplace) {
  const auto nest = [](std::string folder) {
    for (int i = 0; i < 600; ++i) folder += "/d";
    fs::create_directories(folder);
    WriteFile(folder + "/deep.txt", "deep");
  };
  for (const Op op : {kRevert, kPurge, kRestart}) {
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(true, error)) << error;
    nest(in.ud + "/editing/a/tree");
    EXPECT_FALSE(in.editor->Commit(kAsset, error)) << op;
    if (op == kRestart) nest(in.ud + "/staging/1-1");
    EXPECT_TRUE(in.Do(op, kAsset, error)) << op << ": " << error;
    EXPECT_TRUE(!fs::exists(in.ud + "/staging") || fs::is_empty(in.ud + "/staging")) << op;
  }
  {
    // A start that cannot read the index touches nothing in staging, and says why; one that
    // cannot remove a leftover names it. Only another user than root feels a read-only folder.
    Installation in;
    nest(in.ud + "/staging/1-1");
    WriteFile(in.ud + "/assets.tdx", "not an index");
    std::vector<std::string> left = AssetEditor::RecoverStaging(in.ud);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("until the index can be read"), std::string::npos) << left[0];
    EXPECT_TRUE(fs::exists(in.ud + "/staging/1-1/d"));
    if (geteuid() != 0) {
      // An index of whole records, made before the leftover: what none of them names goes.
      fs::remove(in.ud + "/assets.tdx");
      fs::rename(in.ud + "/staging", in.ud + "/held");
      std::string error;
      ASSERT_TRUE(AssetStore().Open(in.ud, &error)) << error;
      fs::rename(in.ud + "/held", in.ud + "/staging");
      chmod((in.ud + "/staging/1-1/d").c_str(), 0500);
      left = AssetEditor::RecoverStaging(in.ud);
      chmod((in.ud + "/staging/1-1/d").c_str(), 0700);
      ASSERT_EQ(left.size(), 1u);
      EXPECT_TRUE(left[0].starts_with("left in staging: cannot remove " + in.ud + "/staging/1-1"))
          << left[0];
    }
  }

  Installation in;
  std::string error;
  ASSERT_TRUE(in.Open(error)) << error;
  const std::string kept = in.ud + "/backups/" + Today() + "/local/kuid 10 1 0";
  AssetEditor::Warnings warnings;
  for (const char* version : {"v1", "v2", "v3"}) {
    ASSERT_TRUE(in.editor->Install(kAsset, in.Version(version), error, true, &warnings)) << error;
  }
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v1");
  EXPECT_EQ(ReadFileText(kept + ".1/v.txt"), "v2");
  EXPECT_TRUE(warnings.empty());

  // Backups that cannot take it: a warning, and the version waits in staging for a start; a
  // later install of the day neither takes its place nor has it removed, and keeps its own
  // beside it.
  fs::remove_all(in.ud + "/backups");
  WriteFile(in.ud + "/backups/" + Today(), "not a folder");
  ASSERT_TRUE(in.editor->Install(kAsset, in.Version("v4"), error, true, &warnings)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("until a start moves it to " + kept), std::string::npos)
      << warnings[0];
  ASSERT_TRUE(in.Restart(error)) << error;
  EXPECT_EQ(FilesBelow(in.ud + "/staging"), 2u);
  fs::remove(in.ud + "/backups/" + Today());
  ASSERT_TRUE(in.editor->Install(kAsset, in.Version("v5"), error, true, &warnings)) << error;
  ASSERT_TRUE(in.Restart(error)) << error;
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v3");
  EXPECT_EQ(ReadFileText(kept + ".1/v.txt"), "v4");
  EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
}

// A file of an asset folder held open for writing, through a descriptor of this process or of a
// child, or through a child's shared writable mapping, written to on request.
class HeldFile {
 public:
  enum Way { kHere, kChild, kChildMapping };

  HeldFile(Way way, const std::string& path, int flags) : way_(way) {
    if (way == kHere) {
      fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
      return;
    }
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(toChild[1]);
      close(fromChild[0]);
      ServeChild(path, flags, way == kChildMapping, toChild[0], fromChild[1]);
    }
    close(toChild[0]);
    close(fromChild[1]);
    ask_ = toChild[1];
    answer_ = fromChild[0];
  }
  ~HeldFile() {
    Close();
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  // Writes `text` where the writes before it ended.
  bool Write(const std::string& text) {
    if (way_ == kHere) return write(fd_, text.data(), text.size()) == ssize_t(text.size());
    return Ask("w" + text);
  }
  void Close() {
    if (way_ == kHere && fd_ >= 0) close(fd_);
    fd_ = -1;
    if (ask_ >= 0) close(ask_);
    if (answer_ >= 0) close(answer_);
    ask_ = answer_ = -1;
  }

 private:
  // The child's side: writes what it is asked through its descriptor or its mapping (whose
  // descriptor is closed: the mapping alone holds the file) and ends when the asking ends.
  [[noreturn]] static void ServeChild(const std::string& path, int flags, bool mapping, int asks,
                                      int answers) {
    const int fd = open(path.c_str(), (mapping ? O_RDWR : O_WRONLY) | flags);
    struct stat st {};
    char* map = nullptr;
    if (mapping && fd >= 0 && fstat(fd, &st) == 0) {
      void* at = mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      map = at == MAP_FAILED ? nullptr : static_cast<char*>(at);
      close(fd);
    }
    size_t written = 0;
    char request[256];
    for (ssize_t n; (n = read(asks, request, sizeof request)) > 0;) {
      const size_t length = size_t(n - 1);
      bool ok = false;
      if (map != nullptr && written + length <= size_t(st.st_size)) {
        std::memcpy(map + written, request + 1, length);
        ok = true;
      } else if (!mapping && fd >= 0) {
        ok = write(fd, request + 1, length) == ssize_t(length);
      }
      written += length;
      if (write(answers, ok ? "k" : "e", 1) != 1) break;
    }
    _exit(0);
  }
  bool Ask(const std::string& request) {
    char answer = 0;
    return write(ask_, request.data(), request.size()) == ssize_t(request.size()) &&
           read(answer_, &answer, 1) == 1 && answer == 'k';
  }

  Way way_;
  int fd_ = -1;
  pid_t pid_ = -1;
  int ask_ = -1;
  int answer_ = -1;
};

// Every version an install replaces is kept, beside those kept earlier in the day, each one once:
// a commit between two installs, the restore of a kept version, a package whose assets' places
// could fall on one name, and a program that holds a file of the replaced version open lose
// nothing. A place that cannot be looked at, or whose way passes through a link among UserData's
// folders, refuses the install; through a link elsewhere, on another file system too, the version
// is kept there, and one that the backups could not take waits in staging for a start. No
// install reads a kept version whose files it knows already, none trusts what it knows of a kept
// version changed since, and the first after a start opens each kept file once. `kept` is where
// each step says the replaced files are, below today's "local".
TEST(AssetEditor, AnInstallKeepsEachVersionItReplacesOnce) {
  // kHeld: a file of the installed version, held open, is written to just before the index write;
  // kHeldOpen: by another program, after the install answered. kLinked: today's "local" of the
  // backups is a link to UserData's. kAway: the backups are a link to a folder elsewhere, and a
  // start follows the install; kOtherDisk: to a folder on another file system. kWaits: there too,
  // but the copy of the replaced version fails. kMovedOn: two starts whose copies fail, then one
  // whose copy does not. kAlter: `text` is written into the kept version
  // `kept`. kUnread: an install that is to open no file of the backups. kStarted: one after a
  // start, that is to open each file kept today once.
  enum Act {
    kInstall,
    kSave,
    kRestore,
    kPack,
    kBlind,
    kHeld,
    kHeldOpen,
    kLinked,
    kAway,
    kOtherDisk,
    kWaits,
    kMovedOn,
    kAlter,
    kUnread,
    kStarted
  };
  const KUID other(10, 5, 0);
  const struct Step {
    Act act;
    const char* text;  // the version installed, or the kept folder restored
    const char* kept;
    const char* otherKept;  // of a package's second asset, installed in "a.1"
  } v1{kInstall, "v1", "a", ""}, commit{kSave, "", "", ""};
  const struct {
    const char* name;
    std::vector<Step> steps;
    Tree backups;  // the files kept today, but configurations
    const char* installed;
  } cases[] = {
      {"an install over a version committed the same day",
       {v1, commit, {kInstall, "v2", "a.1", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.1/saved.txt", "saved"}},
       "v2"},
      {"the restore of the version kept first, twice",
       {v1, commit, {kRestore, "a", "a.1", ""}, {kRestore, "a", "a", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.1/saved.txt", "saved"}},
       ""},
      {"one version installed three times",
       {v1, {kInstall, "v2", "a.1", ""}, {kInstall, "v2", "a.2", ""}, {kInstall, "v3", "a.2", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.2/v.txt", "v2"}},
       "v3"},
      {"a package of two assets",
       {v1, {kPack, "v2", "a.1", "a.1.1"}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.1.1/other.txt", "other"}},
       "v2"},
      {"a version that holds the files kept already, written to while it is replaced",
       {v1, {kInstall, "v1", "a.1", ""}, {kHeld, "v2", "a.2", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.2/v.txt", "v1 and later"}},
       "v2"},
      {"a version that holds the files kept already, held open by a program that writes later",
       {v1, {kInstall, "v1", "a.1", ""}, {kHeldOpen, "v2", "a.2", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.2/v.txt", "v1 and later"}},
       "v2"},
      {"a place that cannot be looked at",
       {v1, {kBlind, "v2", "", ""}},
       {{"a/old.txt", "old"}},
       "v1"},
      {"a place reached through a link to the installed folders",
       {{kLinked, "v1", "", ""}},
       {},
       ""},
      {"a place reached through a link to a folder elsewhere",
       {{kAway, "v1", "a", ""}},
       {{"a/old.txt", "old"}},
       "v1"},
      {"a place reached through a link to another file system",
       {{kOtherDisk, "v1", "a", ""}, {kOtherDisk, "v2", "a.1", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}},
       "v2"},
      // The version installed by the first install is the one the second replaces: the record
      // of the first never moves it back.
      {"versions the other file system could not take, kept at a start",
       {{kWaits, "v1", "a", ""}, {kWaits, "v2", "a.1", ""}, {kMovedOn, "", "", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}},
       "v2"},
      {"versions of the same sizes, each of other bytes",
       {v1, {kInstall, "v2", "a.1", ""}, {kInstall, "v3", "a.2", ""}, {kUnread, "v4", "a.3", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.2/v.txt", "v2"}, {"a.3/v.txt", "v3"}},
       "v4"},
      {"the first install after a start, over versions of the same sizes",
       {v1, {kInstall, "v2", "a.1", ""}, {kInstall, "v3", "a.2", ""}, {kStarted, "v4", "a.3", ""}},
       {{"a/old.txt", "old"}, {"a.1/v.txt", "v1"}, {"a.2/v.txt", "v2"}, {"a.3/v.txt", "v3"}},
       "v4"},
      {"a kept version changed after it was read",
       {v1,
        {kInstall, "v2", "a.1", ""},
        {kInstall, "v3", "a.2", ""},
        {kAlter, "xx", "a.1", ""},
        {kInstall, "v1", "a.3", ""},
        {kInstall, "v4", "a.4", ""}},
       {{"a/old.txt", "old"},
        {"a.1/v.txt", "xx"},
        {"a.2/v.txt", "v2"},
        {"a.3/v.txt", "v3"},
        {"a.4/v.txt", "v1"}},
       "v4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installation in;
    MakeAsset(in.ud, "local", "a.1", Config("<kuid:10:5>"));
    WriteFile(in.ud + "/local/a.1/other.txt", "other");
    std::string error;
    ASSERT_TRUE(in.Start(false, error)) << error;
    const std::string today = in.ud + "/backups/" + Today() + "/local/";
    scratch::Folder elsewhere;
    const OtherFileSystem disk(in.ud);
    // The copies of the files that wait in staging fail, as on a full disk.
    const auto copyFails = [&](const char* call, const std::string& path) {
      return std::string(call) == "open" && path.starts_with(in.ud + "/staging/") ? EIO : 0;
    };
    // The backups the other disk keeps come home, for the look at them all at the end.
    const auto bringHome = [&] {
      const std::string backups = in.ud + "/backups";
      const fs::path there = fs::read_symlink(backups);
      fs::remove(backups);
      fs::copy(there, backups, fs::copy_options::recursive);
    };
    bool skipped = false;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.text);
      const bool onDisk = step.act == kOtherDisk || step.act == kWaits || step.act == kMovedOn;
      if (onDisk && disk.path.empty()) {
        std::printf("[  SKIPPED ] %s: /dev/shm is no other file system\n", c.name);
        skipped = true;
        break;
      }
      if ((onDisk || step.act == kAway) && !fs::is_symlink(in.ud + "/backups")) {
        fs::create_symlink(step.act == kAway ? elsewhere.path() : disk.path, in.ud + "/backups");
      }
      if (step.act == kMovedOn) {
        // The first start's record of the first install names the version the second one
        // replaced: it is the second's to move on, and no start takes it for the first's.
        std::string log;
        SafeFolder::SetReadFaultForTests(copyFails);
        for (int start = 0; start < 2; ++start) {
          log += scratch::CaptureLog([&] { EXPECT_TRUE(in.Restart(error)) << error; });
        }
        SafeFolder::SetReadFaultForTests(nullptr);
        const std::string back = " stays there until a start moves it to " + in.ud + "/local/";
        EXPECT_LE(CountOf(log, back), 1u) << log;
        EXPECT_GT(FilesBelow(in.ud + "/staging"), 0u);
        ASSERT_TRUE(in.Restart(error)) << error;
        EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
        bringHome();
        continue;
      }
      std::vector<std::string> kept;
      std::vector<std::string> errors;
      std::vector<AssetEditor::InstallJob> jobs = {{kAsset, in.Version(step.text), true}};
      if (step.act == kSave) {
        AssetRecord record;
        ASSERT_TRUE(in.editor->BeginEdit(kAsset, record, error)) << error;
        WriteFile(in.ud + "/editing/a/saved.txt", "saved");
        ASSERT_TRUE(in.editor->Commit(kAsset, error)) << error;
        continue;
      }
      if (step.act == kAlter) {
        WriteFile(today + step.kept + "/v.txt", step.text);
        continue;
      }
      const std::string link = today.substr(0, today.size() - 1);
      if (step.act == kLinked) {
        fs::create_directories(fs::path(link).parent_path());
        fs::create_symlink(in.ud + "/local", link);
      }
      if (step.act == kStarted) {
        ASSERT_TRUE(in.Restart(error)) << error;
      }
      const size_t keptFiles = step.act == kStarted ? CountFiles(today) : 0;
      if (step.act == kRestore) {
        const std::string from = today + step.text;
        jobs[0].fill = [from](const SafeFolder& folders, const std::string& to, std::string& e) {
          return folders.CopyTree(from, to, e);
        };
      }
      if (step.act == kPack) {
        jobs.push_back({other,
                        [&](const SafeFolder& folders, const std::string& to, std::string& e) {
                          if (!folders.MakeFolders(to, e)) return false;
                          WriteFile(to + "/config.txt", Config("<kuid:10:5>"));
                          return true;
                        },
                        true});
      }
      const std::string blind = today + "a.1";
      // The syncs ask from several threads at once.
      std::atomic<size_t> backupsOpened{0};
      SafeFolder::SetReadFaultForTests([&](const char* call, const std::string& path) {
        backupsOpened += std::string(call) == "open" && path.starts_with(today);
        if (step.act == kWaits) return copyFails(call, path);
        return step.act == kBlind && std::string(call) == "stat" && path == blind ? EIO : 0;
      });
      std::unique_ptr<HeldFile> held;
      if (step.act == kHeld || step.act == kHeldOpen) {
        held = std::make_unique<HeldFile>(step.act == kHeld ? HeldFile::kHere : HeldFile::kChild,
                                          in.ud + "/local/a/v.txt", O_APPEND);
      }
      in.editor->SetRecordHookForTests([&] {
        if (step.act == kHeld) {
          EXPECT_TRUE(held->Write(" and later"));
        }
      });
      std::vector<AssetEditor::Warnings> warnings;
      const size_t installed = in.editor->InstallAll(jobs, errors, &warnings, &kept);
      SafeFolder::SetReadFaultForTests(nullptr);
      in.editor->SetRecordHookForTests(nullptr);
      if (step.act == kHeldOpen) {
        EXPECT_TRUE(held->Write(" and later"));
      }
      held.reset();
      if (step.act == kUnread || step.act == kStarted) {
        EXPECT_EQ(backupsOpened.load(), keptFiles);
      }
      if (step.act == kBlind || step.act == kLinked) {
        EXPECT_EQ(installed, 0u);
        const std::string why =
            step.act == kBlind ? "cannot tell what is at " + blind + ": " : link + " is a link";
        EXPECT_NE(errors[0].find(why), std::string::npos) << errors[0];
        if (step.act == kLinked) fs::remove(link);
        continue;
      }
      ASSERT_EQ(installed, jobs.size()) << errors[0];
      if (step.act == kWaits) {
        // Named in staging, whole, with the reason; nothing half-copied in the backups.
        ASSERT_EQ(warnings[0].size(), 1u);
        EXPECT_TRUE(warnings[0][0].find(" stays there until a start moves it to " + today +
                                        step.kept + ": cannot move ") != std::string::npos &&
                    warnings[0][0].ends_with(std::strerror(EIO)))
            << warnings[0][0];
        EXPECT_EQ(kept[0], "");
        for (const auto& e : fs::recursive_directory_iterator(disk.path)) {
          EXPECT_FALSE(e.path().filename().string().starts_with(".moving")) << e.path();
          EXPECT_FALSE(e.path().filename() == step.kept) << e.path();
        }
        continue;
      }
      EXPECT_EQ(kept[0], today + step.kept);
      EXPECT_EQ(kept.back(), today + (step.act == kPack ? step.otherKept : step.kept));
      if (step.act == kAway || step.act == kOtherDisk) {
        EXPECT_EQ(warnings[0], AssetEditor::Warnings());
        EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
        ASSERT_TRUE(in.Restart(error)) << error;
        EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
      }
    }
    if (skipped) continue;
    if (fs::is_symlink(in.ud + "/backups")) bringHome();
    Tree backups;
    for (const auto& [path, text] : Snapshot(in.ud, {"backups"})) {
      if (text == "/" || path.ends_with("/config.txt")) continue;
      backups[path.substr(today.size() - in.ud.size() - 1)] = text;
    }
    EXPECT_EQ(backups, c.backups);
    const std::string now = fs::exists(in.ud + "/local/a/v.txt") ? "v.txt" : "old.txt";
    EXPECT_EQ(ReadFileText(in.ud + "/local/a/" + now), *c.installed ? c.installed : "old");
    EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
  }
}

// A later daemon of the same pid (in containers each may be pid 4) neither takes nor fills a folder
// that waits in staging: a version kept there for backups that could not take it reaches them.
TEST(AssetEditor, ALaterDaemonOfTheSamePidLeavesWhatWaitsInStaging) {
  for (const bool create : {false, true}) {
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Open(error)) << error;
    ASSERT_TRUE(in.editor->Install(kAsset, in.Version("v1"), error, true)) << error;
    WriteFile(in.ud + "/backups/" + Today(), "not a folder");
    ASSERT_TRUE(in.editor->Install(kAsset, in.Version("v2"), error, true)) << error;
    ASSERT_TRUE(in.Restart(error)) << error;
    for (const KUID kuid : {KUID(10, 2, 0), KUID(10, 3, 0), KUID(10, 4, 0)}) {
      const auto fill = [&](const SafeFolder& folders, const std::string& folder, std::string& e) {
        return folders.MakeFolders(folder, e) &&
               (WriteFile(folder + "/config.txt", Config(kuid.ToString().CStr())), true);
      };
      AssetRecord made;
      EXPECT_TRUE(create ? in.editor->Create(kuid, made, error)
                         : in.editor->Install(kuid, fill, error))
          << error;
    }
    fs::remove(in.ud + "/backups/" + Today());
    ASSERT_TRUE(in.Restart(error)) << error;
    EXPECT_EQ(ReadFileText(in.ud + "/backups/" + Today() + "/local/kuid 10 1 0/v.txt"), "v1");
  }
}

// A place whose lstat fails (EIO) is never taken for an empty one: a change stops before it moves
// anything and says why, and a start after a kill keeps the record and its folders for the next.
TEST(AssetEditor, APlaceThatCannotBeLookedAtIsNeverTakenForEmpty) {
  const struct {
    const char* name;
    Op op;
    bool killed;        // once the editing copy is set aside, or at the index write
    const char* place;  // whose `nth` look fails; "staging/" is any entry of staging
    int nth;
  } cases[] = {
      {"a killed commit's copy set aside", kCommit, true, "staging/", 1},
      {"a killed commit's index", kCommit, true, "assets.tdx", 1},
      {"a killed install's replaced version", kInstall, true, "staging/", 1},
      {"a killed install's new folder", kInstall, true, "local/a", 1},
      {"an install, looking for the folder it replaces", kInstall, false, "local/a", 1},
      {"an install, naming it", kInstall, false, "local/a", 2},
      {"an install, swapping in", kInstall, false, "local/a", 3},
      {"a delete", kDelete, false, "local/a", 1},
      {"a delete, naming the folder", kDelete, false, "local/a", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(c.op == kCommit, error)) << error;
    if (c.op == kCommit) WriteFile(in.ud + "/editing/a/new.txt", "edited");
    const std::string place = in.ud + "/" + c.place;
    int looks = 0;
    const auto fault = [&](const char* call, const std::string& path) {
      const bool at = place.ends_with('/') ? path.starts_with(place) : path == place;
      return std::string(call) == "stat" && at && ++looks == c.nth ? EIO : 0;
    };
    in.editor->SetMoveHookForTests([&, moves = 0](const std::string&) mutable {
      if (c.killed && ++moves == 2) throw Killed();
    });
    in.editor->SetRecordHookForTests([&] { c.killed ? throw Killed() : void(); });
    if (!c.killed) SafeFolder::SetReadFaultForTests(fault);
    try {
      EXPECT_FALSE(in.Do(c.op, kAsset, error));
      EXPECT_NE(error.find("cannot tell what is at " + place + ": "), std::string::npos) << error;
    } catch (const Killed&) {
      in.editor.reset();
      in.store.reset();
      SafeFolder::SetReadFaultForTests(fault);
      const std::vector<std::string> told = AssetEditor::RecoverStaging(in.ud);
      EXPECT_TRUE(!told.empty() &&
                  told[0].find("cannot tell what is at " + place) != std::string::npos);
    }
    SafeFolder::SetReadFaultForTests(nullptr);
    EXPECT_GE(looks, c.nth);
    for (int start = 0; start < 2; ++start) ASSERT_TRUE(in.Restart(error)) << error;
    // No edit, installed or replaced version is lost.
    const auto [file, text] =
        c.op == kCommit ? std::pair("/new.txt", "edited") : std::pair("/old.txt", "old");
    EXPECT_TRUE(std::ranges::any_of(
        Snapshot(in.ud, {"local", "editing", "backups"}),
        [&](const auto& e) { return e.first.ends_with(file) && e.second == text; }));
    EXPECT_EQ(in.FolderOf(kAsset), c.op == kCommit ? "editing/a" : "local/a");
    EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
  }
}

// A change whose last index write fails (disk full) owes its record, which names folders whose
// inodes the next ones made take: the next change writes it, and a start leaves the next edit.
// So does a start that cannot write the record after a kill took the change's own debt.
TEST(AssetEditor, ARecordLeftByAFailedWriteDoesNotOutliveTheNextChange) {
  for (const bool killed : {false, true}) {
    for (const Op op : {kRevert, kCommit}) {
      SqliteDiskFaults disk;
      Installation in;
      std::string error;
      AssetRecord record;
      ASSERT_TRUE(in.Start(true, error)) << error;
      in.editor->SetRemovalHookForTests([&](const std::string&) { disk.full = true; });
      ASSERT_TRUE(in.Do(op, kAsset, error)) << error;
      disk.full = false;
      in.editor->SetRemovalHookForTests(nullptr);
      if (killed) {
        in.editor.reset();
        in.store.reset();
        disk.FailNextSync();
        ASSERT_TRUE(in.Restart(error)) << error;
      }
      ASSERT_TRUE(in.editor->BeginEdit(kAsset, record, error)) << error;
      WriteFile(in.ud + "/editing/a/saved.txt", "saved");
      in.editor.reset();
      in.store.reset();
      std::vector<ChangeRecord> changes;
      bool complete = false;
      EXPECT_TRUE(AssetStore::ReadChanges(in.ud, changes, complete, &error) && changes.empty())
          << op;
      ASSERT_TRUE(in.Restart(error)) << error;
      EXPECT_EQ(ReadFileText(in.ud + "/editing/a/saved.txt"), "saved") << op;
    }
  }
}

// Writes through a descriptor opened before a commit land in the editing copy set aside: signed
// once more before it goes, a changed copy is kept in the backups and named in a warning.
// A change waits for its own files only, but for each of them: every file and folder of the folder
// it writes is synced, whichever writer made it, with the folder that holds it, and each folder
// its moves change; a sync that fails before the index write fails the change, which leaves
// everything as it was and nothing in staging, and one after it is told, in the log too.
TEST(AssetEditor, AChangeSyncsEachFileAndFolderItWrites) {
  using Warnings = AssetEditor::Warnings;
  const auto edit = [](Installation& in, std::string& e, Warnings& w) {
    AssetRecord record;
    return in.editor->BeginEdit(kAsset, record, e, &w);
  };
  const auto commit = [](Installation& in, std::string& e, Warnings& w) {
    return in.editor->Commit(kAsset, e, &w);
  };
  const auto install = [](Installation& in, std::string& e, Warnings& w) {
    return in.editor->Install(kAsset, in.Version("new"), e, true, &w);
  };
  // The system's file data not yet written back: none, or more than any change's files weigh.
  constexpr int64_t kIdle = 0;
  constexpr int64_t kBusy = int64_t(1) << 40;
  const std::set<std::string> copied = {".", "..", "config.txt", "old.txt", "sub", "sub/s.txt"};
  // One syncfs, and a look at each file for a failed write-back.
  const std::set<std::string> looked = {"syncfs .", "config.txt", "old.txt", "sub/s.txt"};
  const std::string unwritable = "cannot write the files to disk: Input/output error";
  const std::string flush = "cannot flush ";
  const std::string unsynced = "cannot sync ";
  const std::string powerCut = "; the change may not survive a power cut";
  const struct {
    const char* name;
    bool editing;  // the asset is open for editing before the change
    int64_t unwritten;
    std::function<bool(Installation&, std::string&, Warnings&)> change;
    // Below the folder written in staging; ".." is staging, "syncfs ." its file system's sync.
    std::set<std::string> synced;
    // The entry whose sync fails once, with EIO; "move FOLDER", below UserData (today's backups
    // as DAY), the sync of a folder a move changed; "index log", the index's last write.
    const char* failing = nullptr;
    std::string told = "";
    bool stands = false;  // the failure comes after the index write: the change is done, told
  } cases[] = {
      {"an edit", false, kBusy, edit, copied},
      {"a commit", true, kBusy, commit, copied},
      {"an install", false, kBusy, install, {".", "..", "config.txt", "v.txt"}},
      {"an edit on an idle system", false, kIdle, edit, looked},
      {"a commit on an idle system", true, kIdle, commit, looked},
      {"an install on an idle system", false, kIdle, install, {"syncfs .", "config.txt", "v.txt"}},
      {"an install whose file cannot be written", false, kBusy, install, {}, "v.txt", unwritable},
      {"a commit whose folder cannot be written", true, kBusy, commit, {}, "sub", flush},
      {"a commit whose file system cannot be synced", true, kIdle, commit, {}, "syncfs .", flush},
      {"an idle install whose write-back failed", false, kIdle, install, {}, "v.txt", unwritable},
      {"an install whose move cannot be synced", false, kBusy, install, {}, "move local", unsynced},
      {"a commit whose move cannot be synced", true, kBusy, commit, {}, "move editing", unsynced},
      {"an install whose move to the backups cannot be synced",
       false,
       kBusy,
       install,
       {},
       "move backups/DAY/local",
       powerCut,
       true},
      {"an install whose index's last write cannot be synced",
       false,
       kBusy,
       install,
       {},
       "index log",
       "the change is finished again at the next start: ",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SqliteDiskFaults disk;
    Installation in;
    std::string error;
    Warnings warnings;
    WriteFile(in.ud + "/local/a/sub/s.txt", "s");
    ASSERT_TRUE(in.Start(c.editing, error)) << error;
    const Tree before = Snapshot(in.ud);
    const std::string staging = in.ud + "/staging";
    std::mutex mutex;
    std::set<std::string> synced;
    SafeFolder::SetUnwrittenForTests(c.unwritten);
    bool failed = false;
    SafeFolder::SetReadFaultForTests([&](const char* call, const std::string& path) {
      const std::string kind = call;
      if (kind == "move") {
        std::string entry = "move " + path.substr(in.ud.size() + 1);
        if (const size_t day = entry.find(Today()); day != std::string::npos) {
          entry.replace(day, Today().size(), "DAY");
        }
        const std::lock_guard<std::mutex> lock(mutex);
        return c.failing != nullptr && entry == c.failing && !std::exchange(failed, true) ? EIO : 0;
      }
      if ((kind != "sync" && kind != "syncfs") || !path.starts_with(staging)) return 0;
      const size_t below = path.find('/', staging.size() + 1);
      const std::string entry = (kind == "syncfs" ? "syncfs " : "") +
                                (path == staging              ? std::string("..")
                                 : below == std::string::npos ? std::string(".")
                                                              : path.substr(below + 1));
      const std::lock_guard<std::mutex> lock(mutex);
      synced.insert(entry);
      return c.failing != nullptr && entry == c.failing ? EIO : 0;
    });
    // The index write that passes the change is its first commit from here.
    in.editor->SetRecordHookForTests([&] {
      if (c.failing != nullptr && std::string(c.failing) == "index log") {
        disk.FailCommit("assets.tdx-wal", 2);
      }
    });
    bool done = false;
    const std::string log = scratch::CaptureLog([&] { done = c.change(in, error, warnings); });
    SafeFolder::SetReadFaultForTests(nullptr);
    SafeFolder::SetUnwrittenForTests(-1);
    EXPECT_EQ(done, c.failing == nullptr || c.stands) << error;
    if (c.failing == nullptr) {
      EXPECT_EQ(synced, c.synced);
      continue;
    }
    if (c.stands) {
      const auto told = std::ranges::find_if(
          warnings, [&](const std::string& w) { return w.find(c.told) != std::string::npos; });
      EXPECT_TRUE(told != warnings.end() && log.find(*told) != std::string::npos)
          << ::testing::PrintToString(warnings) << log;
      EXPECT_EQ(ReadFileText(in.ud + "/local/a/v.txt"), "new");
      continue;
    }
    EXPECT_TRUE(error.starts_with(c.told)) << error;
    EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
    EXPECT_EQ(Snapshot(in.ud), before);
    EXPECT_TRUE(fs::is_empty(staging));
  }
}

TEST(AssetEditor, WritesHeldAcrossACommitAreKeptInTheBackups) {
  // When the late write comes: as the commit records (after it took the copy, before its last
  // look), just before it removes a folder (after its last look), or never; and whether the file
  // is closed before that last look.
  enum When { kBeforeLastLook, kAfterLastLook, kNever, kClosedBeforeLastLook };
  struct Row {
    HeldFile::Way way;
    int flags;
    std::string early, late;
    When when;
    std::string installed, kept;
  };
  const Row rows[] = {
      {HeldFile::kHere, O_APPEND, "1\n", "2\n", kBeforeLastLook, "old1\n", "old1\n2\n"},
      {HeldFile::kHere, O_TRUNC, "half", " and the rest", kBeforeLastLook, "half",
       "half and the rest"},
      // Still held at the last look, the copy is kept unwritten: a write could come after. The
      // warning says it was held, not written.
      {HeldFile::kHere, O_APPEND, "1\n", "", kNever, "old1\n", "old1\n"},
      // An unchanged copy that nothing holds goes unsaid.
      {HeldFile::kHere, O_APPEND, "1\n", "", kClosedBeforeLastLook, "old1\n", ""},
      {HeldFile::kChild, O_APPEND, "1\n", "2\n", kAfterLastLook, "old1\n", "old1\n2\n"},
      // A write through a mapping gives the file no new time.
      {HeldFile::kChildMapping, 0, "O", "N", kAfterLastLook, "Old", "ONd"},
  };
  for (const Row& row : rows) {
    const std::string name = std::to_string(&row - rows);
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(true, error)) << error;
    HeldFile held(row.way, in.ud + "/editing/a/old.txt", row.flags);
    ASSERT_TRUE(held.Write(row.early)) << name;
    bool written = row.when == kNever || row.when == kClosedBeforeLastLook;
    in.editor->SetRecordHookForTests([&] {
      if (row.when == kClosedBeforeLastLook) held.Close();
      if (row.when != kBeforeLastLook || written) return;
      written = true;
      EXPECT_TRUE(held.Write(row.late)) << name;
    });
    in.editor->SetRemovalHookForTests([&](const std::string&) {
      if (row.when != kAfterLastLook || written) return;
      written = true;
      EXPECT_TRUE(held.Write(row.late)) << name;
    });
    AssetEditor::Warnings warnings;
    ASSERT_TRUE(in.editor->Commit(kAsset, error, &warnings)) << error;
    // A copy kept whole is removed by nothing: the write lands in it.
    if (!written) {
      EXPECT_TRUE(held.Write(row.late)) << name;
    }
    held.Close();
    const std::string kept = in.ud + "/backups/" + Today() + "/editing/a";
    EXPECT_EQ(ReadFileText(in.ud + "/local/a/old.txt"), row.installed) << name;
    const std::string told =
        (row.when == kBeforeLastLook
             ? "the editing copy was written to after the commit took it; what it held then"
             : "a program still holds " + kept + "/old.txt open for writing; the editing copy") +
        " is kept in " + kept;
    EXPECT_EQ(warnings, AssetEditor::Warnings(!row.kept.empty(), told)) << name;
    EXPECT_EQ(fs::exists(kept) ? ReadFileText(kept + "/old.txt") : "", row.kept) << name;
  }
}

// This thread's right to lease files of other users (CAP_LEASE) put out of effect while it lives,
// as for a daemon that runs as a user of its own; `dropped` is false where it was never had.
class WithoutLeaseRight {
 public:
  WithoutLeaseRight() {
    if (syscall(SYS_capget, &header_, data_) != 0 || !(data_[0].effective & kLease)) return;
    data_[0].effective &= ~kLease;
    dropped = syscall(SYS_capset, &header_, data_) == 0;
  }
  ~WithoutLeaseRight() {
    data_[0].effective |= kLease;
    if (dropped) syscall(SYS_capset, &header_, data_);
  }
  bool dropped = false;

 private:
  static constexpr __u32 kLease = 1u << CAP_LEASE;
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data_[_LINUX_CAPABILITY_U32S_3]{};
};

// A tmpfs mounted at `at` while it lives: another file system, where a rename cannot reach.
struct OtherDisk {
  explicit OtherDisk(const std::string& folder) : at(folder) {
    fs::create_directories(at);
    mounted =
        std::system(("mount -t tmpfs -o size=4m tmpfs '" + at + "' 2>/dev/null").c_str()) == 0;
  }
  ~OtherDisk() {
    if (mounted && std::system(("umount '" + at + "'").c_str()) == 0) fs::remove(at);
  }
  std::string at;
  bool mounted = false;
};

// A commit that keeps the editing copy says why (written to, held for writing by a program, or
// why that cannot be told), in its warning and in the log, and where the copy is and no other
// place; and the backups are thinned after it as after any change that keeps something, wherever
// they are.
TEST(AssetEditor, ACommitThatKeepsTheEditingCopySaysWhyAndWhereAndThinsTheBackups) {
  const std::string kHeld = "a program still holds FILE open for writing";
  const std::string kUnknown = "cannot tell whether FILE is still written to: ";
  // kOtherUsers: old.txt is another user's, and this thread may not lease it; kOlderDays: nine
  // dated folders of earlier days wait in the backups; kMount, kLink: the backups are on another
  // file system, mounted there or reached through a link (with nine older days); kElsewhere: a
  // link to a folder of the same one, and a delete after the commit keeps the asset there too.
  enum Setup { kNone, kOtherUsers, kOlderDays, kMount, kLink, kElsewhere };
  struct Row {
    Setup setup;
    bool held;  // a child holds old.txt open for writing across the commit
    int fault;  // the errno given to the opening of old.txt for its lease
    std::string told;
  };
  const Row rows[] = {
      {kNone, true, 0, kHeld},
      {kOtherUsers, false, 0,
       kUnknown + "the file is another user's, whose files only a privileged daemon may lease"},
      {kNone, false, EMFILE, kUnknown + "Too many open files"},
      // Five days are kept, today's among them.
      {kOlderDays, true, 0, kHeld},
      {kMount, true, 0, kHeld},
      {kLink, true, 0, kHeld},
      {kElsewhere, true, 0, kHeld},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(true, error)) << error;
    scratch::Folder elsewhere;
    if (row.setup == kElsewhere) fs::create_symlink(elsewhere.path(), in.ud + "/backups");
    std::unique_ptr<OtherDisk> disk;
    if (row.setup == kMount) disk = std::make_unique<OtherDisk>(in.ud + "/backups");
    const OtherFileSystem other(in.ud);
    if (row.setup == kLink && !other.path.empty()) {
      fs::create_symlink(other.path, in.ud + "/backups");
    }
    const bool older = row.setup == kOlderDays || row.setup == kLink;
    for (int day = 1; day <= 9 && older; ++day) {
      fs::create_directories(in.ud + "/backups/20-01-0" + std::to_string(day) + "/local/x");
    }
    bool tried = (disk == nullptr || disk->mounted) && (row.setup != kLink || !other.path.empty());
    std::unique_ptr<WithoutLeaseRight> unprivileged;
    if (row.setup == kOtherUsers) {
      unprivileged = std::make_unique<WithoutLeaseRight>();
      const std::string file = in.ud + "/editing/a/old.txt";
      tried = unprivileged->dropped &&
              chown(file.c_str(), kestro_test::kOtherUser, kestro_test::kOtherUser) == 0;
    }
    if (!tried) {
      std::printf("[  SKIPPED ] row %d: needs root, or /dev/shm on another file system\n",
                  int(&row - rows));
      continue;
    }
    std::unique_ptr<HeldFile> held;
    if (row.held) {
      held = std::make_unique<HeldFile>(HeldFile::kChild, in.ud + "/editing/a/old.txt", O_APPEND);
      ASSERT_TRUE(held->Write("1\n"));
    }
    SafeFolder::SetReadFaultForTests([&](const char* call, const std::string& path) {
      return std::string(call) == "lease" && path.ends_with("/old.txt") ? row.fault : 0;
    });
    AssetEditor::Warnings warnings;
    bool committed = false;
    const std::string log =
        scratch::CaptureLog([&] { committed = in.editor->Commit(kAsset, error, &warnings); });
    SafeFolder::SetReadFaultForTests(nullptr);
    unprivileged.reset();
    ASSERT_TRUE(committed) << error;
    const std::string place = in.ud + "/backups/" + Today() + "/editing/a";
    std::string told = row.told;
    told.replace(told.find("FILE"), 4, place + "/old.txt");
    told += "; the editing copy is kept in " + place;
    EXPECT_EQ(warnings, AssetEditor::Warnings{told});
    EXPECT_NE(log.find("PymDaemon> commit of <kuid:10:1>: " + told), std::string::npos) << log;
    EXPECT_EQ(ReadFileText(place + "/old.txt"), row.held ? "old1\n" : "old");
    EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
    if (row.setup == kElsewhere) {
      std::string keptIn;
      EXPECT_TRUE(in.editor->Delete(kAsset, true, error, &keptIn)) << error;
      EXPECT_EQ(keptIn, in.ud + "/backups/" + Today() + "/local/a");
      EXPECT_EQ(ReadFileText(elsewhere.path() + "/" + Today() + "/local/a/old.txt"), "old1\n");
    }
    std::vector<std::string> dated, left = {"20-01-06", "20-01-07", "20-01-08", "20-01-09"};
    ListFolderNames(in.ud + "/backups", dated);
    std::sort(dated.begin(), dated.end());
    if (!older) left.clear();
    left.push_back(Today());
    EXPECT_EQ(dated, left);
  }
}

}  // namespace
}  // namespace PymDaemonSrv
