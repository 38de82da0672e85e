// Changes to asset folders survive being cut short: a commit or revert stopped while the editing
// copy is being removed never leaves part of a copy that the next start serves as open for edit.
// A failed change leaves every folder as it was; a done one touches no other asset's folder.
#include "daemon/asset_editor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "core/file_util.h"
#include "core/time_date.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_test_util.h"
#include "support/other_user.h"

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
  bool Restart(std::string& error) {
    editor.reset();
    store.reset();
    AssetEditor::RecoverStaging(ud);
    return Open(error);
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
    EXPECT_EQ(FilesBelow(in.ud + "/backups"), 0u);
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
  for (const auto& [readOnly, op] : {std::pair("editing/a", kCommit), {"local/a", kDelete}}) {
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
      bits |= (Snapshot(in.ud) != before ? 4 : 0) | (FilesBelow(in.ud + "/backups") ? 8 : 0);
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

// Leftovers go whatever their depth, and an install keeps one replaced version a day, never
// losing it without a word.
TEST(AssetEditor, LeftoversOfAnyDepthGoAndInstallsKeepOneVersionADay) {
  const auto nest = [](std::string folder) {
    for (int i = 0; i < 70; ++i) folder += "/d";
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

  Installation in;
  std::string error;
  ASSERT_TRUE(in.Open(error)) << error;
  const std::string kept = in.ud + "/backups/" + Today() + "/local/kuid 10 1 0";
  AssetEditor::Warnings warnings;
  for (const char* version : {"v1", "v2", "v3"}) {
    ASSERT_TRUE(in.editor->Install(kAsset, in.Version(version), error, true, &warnings)) << error;
  }
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v1");
  EXPECT_FALSE(fs::exists(kept + ".1"));
  EXPECT_TRUE(warnings.empty());

  // A kill between the swap and the index write: the start keeps the replaced version.
  fs::remove_all(in.ud + "/backups");
  in.editor->SetRecordHookForTests([] { throw Killed(); });
  EXPECT_THROW(in.editor->Install(kAsset, in.Version("v4"), error, true), Killed);
  ASSERT_TRUE(in.Restart(error)) << error;
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v3");
  EXPECT_EQ(ReadFileText(in.ud + "/local/kuid 10 1 0/v.txt"), "v4");

  // Backups that cannot take it: a warning, and the version waits in staging for a start.
  fs::remove_all(in.ud + "/backups");
  WriteFile(in.ud + "/backups/" + Today(), "not a folder");
  ASSERT_TRUE(in.editor->Install(kAsset, in.Version("v5"), error, true, &warnings)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(warnings[0].starts_with("the replaced version is not in the backups ("))
      << warnings[0];
  ASSERT_TRUE(in.Restart(error)) << error;
  EXPECT_EQ(FilesBelow(in.ud + "/staging"), 3u);  // the version's two files and its note
  fs::remove(in.ud + "/backups/" + Today());
  ASSERT_TRUE(in.Restart(error)) << error;
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v4");
  EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u);
}

}  // namespace
}  // namespace PymDaemonSrv
