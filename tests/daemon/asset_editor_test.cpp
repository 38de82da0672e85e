// Changes to asset folders survive being cut short: a commit or revert stopped while the editing
// copy is being removed never leaves part of a copy that the next start serves as open for edit.
// A change that fails before its index write leaves every folder as it was; one that is done
// never touches another asset's folder, and what it cannot clean up is a warning.
#include "daemon/asset_editor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
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

// Every entry below `folder` by its relative path: a file by its bytes, a link by its target.
using Tree = std::map<std::string, std::string>;
Tree Snapshot(const std::string& folder) {
  Tree tree;
  if (!fs::exists(folder)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string below = fs::relative(e.path(), folder).string();
    tree[below] = e.is_symlink()     ? "-> " + fs::read_symlink(e.path()).string()
                  : e.is_directory() ? "/"
                                     : ReadFileText(e.path().string());
  }
  return tree;
}

// Files anywhere below `folder`: the backups and staging hold no asset when there are none.
size_t FilesBelow(const std::string& folder) { return fs::exists(folder) ? CountFiles(folder) : 0; }

std::string Today() {
  TTimeDate now;
  now.SetToNow();
  return BackupFolderName(now).CStr();
}

// An asset that a test makes new.
const KUID kMade(10, 2, 0);

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
  // A folder whose configuration names the asset, for Install to copy in.
  AssetEditor::FolderFiller Version(const std::string& kuid, const std::string& text) {
    return [kuid, text](const SafeFolder& folders, const std::string& folder, std::string& e) {
      if (!folders.MakeFolders(folder, e)) return false;
      WriteFile(folder + "/config.txt", Config(kuid));
      WriteFile(folder + "/v.txt", text);
      return true;
    };
  }
};

// A change that fails before its index write, or is refused, puts back what it moved: the
// installed folder, the editing copy, the backups and the index stay as they were.
TEST(AssetEditor, AChangeThatFailsBeforeItsIndexWriteLeavesEverythingAsItWas) {
  const auto failWrite = [](Installation& in) {
    in.editor->SetRecordHookForTests([&in] { in.store->Close(); });
  };
  const struct {
    const char* name;
    bool open;
    std::function<void(Installation&)> prepare;
    std::function<bool(Installation&, std::string&)> change;
  } cases[] = {
      {"commit of a configuration that is a link", true,
       [](Installation& in) {
         const std::string copy = in.ud + "/editing/a/";
         fs::copy_file(copy + "config.txt", copy + "shared-config.txt");
         fs::remove(copy + "config.txt");
         fs::create_symlink("shared-config.txt", copy + "config.txt");
       },
       [](Installation& in, std::string& e) { return in.editor->Commit(kAsset, e); }},
      {"commit on a full disk", true, failWrite,
       [](Installation& in, std::string& e) { return in.editor->Commit(kAsset, e); }},
      {"revert on a full disk", true, failWrite,
       [](Installation& in, std::string& e) { return in.editor->Revert(kAsset, e); }},
      {"delete on a full disk", true, failWrite,
       [](Installation& in, std::string& e) { return in.editor->Delete(kAsset, true, e); }},
      {"install on a full disk", false, failWrite,
       [](Installation& in, std::string& e) {
         return in.editor->Install(kAsset, in.Version("<kuid:10:1>", "new"), e, true);
       }},
      {"create on a full disk", false, failWrite,
       [](Installation& in, std::string& e) {
         AssetRecord made;
         return in.editor->Create(kMade, made, e);
       }},
  };
  for (const auto& c : cases) {
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(c.open, error)) << error;
    if (c.open) WriteFile(in.ud + "/editing/a/new.txt", "new");
    c.prepare(in);
    const Tree installed = Snapshot(in.ud + "/local/a");
    const Tree editing = Snapshot(in.ud + "/editing/a");
    const std::string folder = in.FolderOf(kAsset);
    EXPECT_FALSE(c.change(in, error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(Snapshot(in.ud + "/local/a"), installed) << c.name;
    EXPECT_EQ(Snapshot(in.ud + "/editing/a"), editing) << c.name;
    EXPECT_EQ(FilesBelow(in.ud + "/backups"), 0u) << c.name;
    ASSERT_TRUE(in.Restart(error)) << error;
    EXPECT_EQ(in.FolderOf(kAsset), folder) << c.name;
    EXPECT_EQ(in.FolderOf(kMade), "unknown") << c.name;
    EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u) << c.name;
  }
}

// A read-only editing copy or installed folder stops a commit or delete before it changes
// anything. Only another user feels the read-only mode: root writes through it.
TEST(AssetEditor, AReadOnlyFolderStopsTheChangeBeforeItMovesAnything) {
  if (!kestro_test::CanRunAsOtherUser()) {
    GTEST_SKIP() << "needs a run as root to drop to uid " << kestro_test::kOtherUser;
  }
  const struct {
    const char* name;
    const char* readOnly;
    bool commit;
  } cases[] = {
      {"commit of a read-only editing copy", "editing/a", true},
      {"delete while the installed folder is read-only", "local/a", false},
  };
  for (const auto& c : cases) {
    Installation in;
    MakeAsset(in.ud, "local", "a", Config("<kuid:10:1>"));
    WriteFile(in.ud + "/local/a/old.txt", "old");
    for (const auto& e : fs::recursive_directory_iterator(in.t.path())) {
      ASSERT_EQ(lchown(e.path().c_str(), kestro_test::kOtherUser, kestro_test::kOtherUser), 0);
    }
    ASSERT_EQ(chown(in.t.path().c_str(), kestro_test::kOtherUser, kestro_test::kOtherUser), 0);
    if (!kestro_test::OtherUserCanReach(in.ud)) GTEST_SKIP() << "the scratch folder is private";
    // Each failed check is a bit of the child's exit code.
    const int failed = kestro_test::RunAsOtherUser([&] {
      std::string error;
      AssetRecord record;
      if (!in.Open(error) || !in.editor->BeginEdit(kAsset, record, error)) return 64;
      WriteFile(in.ud + "/editing/a/new.txt", "new");
      const Tree installed = Snapshot(in.ud + "/local/a");
      const Tree editing = Snapshot(in.ud + "/editing/a");
      if (chmod((in.ud + "/" + c.readOnly).c_str(), 0555) != 0) return 64;
      const bool changed =
          c.commit ? in.editor->Commit(kAsset, error) : in.editor->Delete(kAsset, true, error);
      int bits = (changed ? 1 : 0) | (error.find("Permission denied") == std::string::npos ? 2 : 0);
      bits |= Snapshot(in.ud + "/local/a") != installed ? 4 : 0;
      bits |= Snapshot(in.ud + "/editing/a") != editing ? 8 : 0;
      bits |= FilesBelow(in.ud + "/backups") != 0 ? 16 : 0;
      bits |= in.Restart(error) && in.FolderOf(kAsset) == "editing/a" ? 0 : 32;
      return bits;
    });
    EXPECT_EQ(failed, 0) << c.name;
  }
}

// An editing copy whose configuration was given a new KUID, the way a new asset is made from an
// old one, leaves the folder it came from to the old asset.
TEST(AssetEditor, ACopyGivenAnotherKuidNeverTouchesTheFolderOfTheAssetItCameFrom) {
  const KUID oldAsset(400000, 100, 0);
  const KUID newAsset(400000, 101, 0);
  const struct {
    const char* name;
    std::function<bool(AssetEditor&, std::string&)> change;
    const char* newFolder;
    const char* backedUp;
  } cases[] = {
      {"commit", [&](AssetEditor& e, std::string& why) { return e.Commit(newAsset, why); },
       "local/kuid 400000 101 0", ""},
      {"revert", [&](AssetEditor& e, std::string& why) { return e.Revert(newAsset, why); },
       "unknown", ""},
      {"delete", [&](AssetEditor& e, std::string& why) { return e.Delete(newAsset, true, why); },
       "unknown", "editing/x100"},
  };
  for (const auto& c : cases) {
    Installation in;
    MakeAsset(in.ud, "local", "x100", Config("<kuid:400000:100>"));
    WriteFile(in.ud + "/local/x100/own.txt", "100's own");
    std::string error;
    AssetRecord record;
    ASSERT_TRUE(in.Open(error)) << error;
    ASSERT_TRUE(in.editor->BeginEdit(oldAsset, record, error)) << error;
    WriteFile(in.ud + "/editing/x100/config.txt", Config("<kuid:400000:101>"));
    ASSERT_TRUE(in.Restart(error)) << error;
    ASSERT_EQ(in.FolderOf(newAsset), "editing/x100");
    const Tree own = Snapshot(in.ud + "/local/x100");
    EXPECT_TRUE(c.change(*in.editor, error)) << c.name << ": " << error;
    EXPECT_EQ(Snapshot(in.ud + "/local/x100"), own) << c.name;
    EXPECT_EQ(in.FolderOf(oldAsset), "local/x100") << c.name;
    EXPECT_EQ(in.FolderOf(newAsset), c.newFolder) << c.name;
    EXPECT_FALSE(fs::exists(in.ud + "/editing/x100")) << c.name;
    const std::string dated = in.ud + "/backups/" + Today();
    EXPECT_FALSE(fs::exists(dated + "/local/x100")) << c.name;
    EXPECT_EQ(fs::exists(dated + "/" + c.backedUp), *c.backedUp != 0) << c.name;
  }
}

// A commit installs the copy it checked and names each entry it left out; a configuration that
// is no file is refused (see above).
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
  EXPECT_EQ(in.FolderOf(kAsset), "local/a");
}

// Leftovers go whatever their depth, and an install keeps one replaced version a day, never
// losing it without a word.
TEST(AssetEditor, LeftoversOfAnyDepthGoAndInstallsKeepOneVersionADay) {
  const auto nest = [](std::string folder) {
    for (int i = 0; i < 70; ++i) folder += "/d";
    fs::create_directories(folder);
    WriteFile(folder + "/deep.txt", "deep");
  };
  const struct {
    const char* name;
    std::function<bool(Installation&, std::string&)> change;
  } deep[] = {
      {"revert", [](Installation& in, std::string& e) { return in.editor->Revert(kAsset, e); }},
      {"delete without a backup",
       [](Installation& in, std::string& e) { return in.editor->Delete(kAsset, false, e); }},
      {"the start-up cleanup",
       [&](Installation& in, std::string& e) {
         nest(in.ud + "/staging/1-1");
         return in.Restart(e);
       }},
  };
  for (const auto& c : deep) {
    Installation in;
    std::string error;
    ASSERT_TRUE(in.Start(true, error)) << error;
    nest(in.ud + "/editing/a/tree");
    AssetEditor::Warnings warnings;
    EXPECT_FALSE(in.editor->Commit(kAsset, error, &warnings)) << c.name;
    EXPECT_TRUE(c.change(in, error)) << c.name << ": " << error;
    EXPECT_EQ(FilesBelow(in.ud + "/staging"), 0u) << c.name;
    EXPECT_TRUE(!fs::exists(in.ud + "/staging") || fs::is_empty(in.ud + "/staging")) << c.name;
  }

  Installation in;
  std::string error;
  ASSERT_TRUE(in.Open(error)) << error;
  const std::string kept = in.ud + "/backups/" + Today() + "/local/kuid 10 1 0";
  AssetEditor::Warnings warnings;
  for (const char* version : {"v1", "v2", "v3"}) {
    ASSERT_TRUE(
        in.editor->Install(kAsset, in.Version("<kuid:10:1>", version), error, true, &warnings))
        << error;
  }
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v1");
  EXPECT_FALSE(fs::exists(kept + ".1"));
  EXPECT_TRUE(warnings.empty());

  // A kill between the swap and the index write: the start keeps the replaced version.
  fs::remove_all(in.ud + "/backups");
  in.editor->SetRecordHookForTests([] { throw Killed(); });
  EXPECT_THROW(in.editor->Install(kAsset, in.Version("<kuid:10:1>", "v4"), error, true), Killed);
  ASSERT_TRUE(in.Restart(error)) << error;
  EXPECT_EQ(ReadFileText(kept + "/v.txt"), "v3");
  EXPECT_EQ(ReadFileText(in.ud + "/local/kuid 10 1 0/v.txt"), "v4");

  // Backups that cannot take it: a warning, and the version waits in staging for a start.
  fs::remove_all(in.ud + "/backups");
  WriteFile(in.ud + "/backups/" + Today(), "not a folder");
  ASSERT_TRUE(in.editor->Install(kAsset, in.Version("<kuid:10:1>", "v5"), error, true, &warnings))
      << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("the replaced version is not in the backups (", 0), 0u)
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
