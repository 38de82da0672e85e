// Packaging an asset while another client changes it, or one the daemon cannot read whole: the
// package holds the whole asset of one moment, or there is none and the reply says why.
#include "daemon/package_requests.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "core/buffer_stream.h"
#include "daemon/daemon_test_util.h"
#include "daemon/request_context.h"
#include "support/other_user.h"

namespace PymDaemonSrv::PackageRequests {
namespace {

using namespace daemon_test;

// The change comes once the files are listed and before any is read, where another client's
// revert or edit lands in the race.
TEST(SaveAssetToCdp, AChangeWhileTheFilesAreReadLeavesNoPackage) {
  const KUID kuid(10, 5, 0);
  const struct {
    std::string change;  // of the editing copy
    std::string detail;  // empty: packaged whole
  } cases[] = {{"", ""},
               {"remove", "mesh/body.im was removed"},
               {"rewrite", "notes.txt changed"},
               {"add", "added.txt changed"},
               {"revert", "mesh/body.im was removed"}};
  for (const auto& c : cases) {
    scratch::Folder t;
    MakeAsset(t.path(), "local", "v", Config("<kuid:10:5>"));
    // Both compress, so that the files are read once, as in most packages.
    WriteFile(t.path() + "/local/v/notes.txt", std::string(3000, 'n'));
    WriteFile(t.path() + "/local/v/mesh/body.im", std::string(5000, 'm'));
    AssetStore store;
    std::string error;
    ASSERT_TRUE(store.Open(t.path(), &error)) << error;
    RequestContext context(store);
    AssetRecord r;
    ASSERT_TRUE(context.editor.BeginEdit(kuid, r, error)) << error;
    const std::string e = store.FolderPathOf(r);
    context.packListedHookForTests = [&, done = false]() mutable {
      if (std::exchange(done, true)) return;
      if (c.change == "remove") std::filesystem::remove(e + "/mesh/body.im");
      if (c.change == "rewrite") WriteFile(e + "/notes.txt", "notes, longer");
      if (c.change == "add") WriteFile(e + "/added.txt", "new");
      EXPECT_TRUE(c.change != "revert" || context.editor.Revert(kuid, error)) << error;
    };
    Response response;
    const std::vector<u8> payload = Bytes().Kuid(kuid).U32(3).data;
    SaveAssetToCdp(context, payload.data(), payload.size(), response);
    std::string texts;
    for (const ResultsLogEntry& e : response.results.GetEntries()) texts += e.text.CStr();
    response.body.SetPosition(0);
    TBuffer in(&response.body, false);
    ArchivedAsset packed;
    packed.ReadBinarySoup(in);
    const bool whole = c.detail.empty();
    EXPECT_EQ(texts, whole ? ""
                           : "PymDaemon: not packaged: the asset changed while it was read (" +
                                 c.detail + "); package it again")
        << c.detail;
    EXPECT_EQ(AssetKUID(packed.soup), whole ? kuid : KUID::Null()) << c.detail;
    EXPECT_EQ(CountPackageFiles(GetFilesContainer(packed.soup), 10), whole ? 2u : 0u) << c.detail;
  }
}

// Entries that are no file or folder are left out with the warning an install gives; an entry
// that cannot be read leaves no package, and the reply names it whole and why. Only another user
// feels a mode of 000.
TEST(SaveAssetToCdp, APackageHoldsTheWholeAssetOrIsNotWritten) {
  const struct {
    std::string entry;
    std::string texts;
  } cases[] = {{"pipe.txt", "PymDaemon: not installed (not a file or folder): pipe.txt"},
               {"sub/link.txt", "PymDaemon: not installed (not a file or folder): sub/link.txt"},
               {"body.tga", "PymDaemon: not packaged: cannot read "},
               {"sub", "PymDaemon: not packaged: cannot read "}};
  for (const auto& c : cases) {
    scratch::Folder t;
    const std::string folder = t.path() + "/local/v/";
    MakeAsset(t.path(), "local", "v", Config("<kuid:10:5>"));
    WriteFile(folder + "body.tga", "tga");
    WriteFile(folder + "sub/a.txt", "a");
    const bool unreadable = c.texts.find("cannot read") != std::string::npos;
    const std::string expected =
        unreadable ? c.texts + folder + c.entry + ": Permission denied" : c.texts;
    if (unreadable && !kestro_test::CanRunAsOtherUser()) GTEST_SKIP() << "needs root";
#if defined(__SANITIZE_THREAD__)
    // The packer starts threads, which the thread checker allows no forked child.
    if (unreadable) continue;
#endif
    if (c.entry == "sub/link.txt") std::filesystem::create_symlink("a.txt", folder + c.entry);
    const int made = c.entry == "pipe.txt" ? mkfifo((folder + c.entry).c_str(), 0600)
                     : unreadable          ? chmod((folder + c.entry).c_str(), 0)
                                           : 0;
    ASSERT_EQ(made, 0) << c.entry;
    std::vector<std::string> owned = {t.path()};
    for (const auto& e : std::filesystem::recursive_directory_iterator(t.path())) {
      owned.push_back(e.path());
    }
    for (const std::string& path : owned) {
      EXPECT_EQ(lchown(path.c_str(), kestro_test::kOtherUser, kestro_test::kOtherUser), 0);
    }
    if (unreadable && !kestro_test::OtherUserCanReach(t.path())) GTEST_SKIP() << "private";
    const auto pack = [&] {
      AssetStore store;
      std::string texts;
      if (!store.Open(t.path(), &texts)) return 2;
      RequestContext context(store);
      Response response;
      const std::vector<u8> payload = Bytes().Kuid(KUID(10, 5, 0)).U32(3).data;
      SaveAssetToCdp(context, payload.data(), payload.size(), response);
      for (const ResultsLogEntry& e : response.results.GetEntries()) texts += e.text.CStr();
      response.body.SetPosition(0);
      TBuffer in(&response.body, false);
      ArchivedAsset asset;
      asset.ReadBinarySoup(in);
      return texts == expected && AssetKUID(asset.soup).IsNull() == unreadable ? 0 : 1;
    };
    EXPECT_EQ(unreadable ? kestro_test::RunAsOtherUser(pack) : pack(), 0) << c.entry;
  }
}

}  // namespace
}  // namespace PymDaemonSrv::PackageRequests
