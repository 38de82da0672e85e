// Packaging an asset while another client changes it: the package holds the asset of one moment,
// or there is none and the reply says why.
#include "daemon/package_requests.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "core/buffer_stream.h"
#include "daemon/daemon_test_util.h"
#include "daemon/request_context.h"

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

}  // namespace
}  // namespace PymDaemonSrv::PackageRequests
