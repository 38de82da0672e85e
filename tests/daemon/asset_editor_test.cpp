// Changes to asset folders survive being cut short: a commit or revert stopped while the editing
// copy is being removed never leaves part of a copy that the next start serves as open for edit.
#include "daemon/asset_editor.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "daemon/asset_store.h"
#include "daemon/daemon_test_util.h"

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

}  // namespace
}  // namespace PymDaemonSrv
