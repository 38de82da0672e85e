// URL transfers of the daemon against a loopback responder: each ends, done, with its outcome, a
// done note goes to its client, and forgetting a request removes its file.
#include "daemon/url_requests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "http_responder.h"
#include "platform/byte_order.h"
#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

namespace pp = PymProtocol;
using PymDaemonSrv::NoteChannel;
using PymDaemonSrv::UrlRequests;
using PymDaemonSrv::UrlStatus;

TEST(UrlRequests, EveryRequestEndsDoneWithItsOutcome) {
  daemon_test::HttpResponder server([](const std::string& head) {
    if (head.rfind("GET /silent", 0) == 0) return std::string();
    if (head.rfind("GET /answer.txt", 0) == 0)
      return daemon_test::HttpResponder::Response(200, "hello");
    return daemon_test::HttpResponder::Response(404, "");
  });
  scratch::Folder temp;
  // One second: the silent peer must not hold the test up.
  UrlRequests urls(1);
  std::mutex mutex;
  std::set<u64> doneNotes;
  auto notes = std::make_shared<NoteChannel>([&](u32 kind, const u8* body, size_t size) {
    if (kind == pp::kNoteUrlDone && size > 8 && body[8] != 0) {
      std::lock_guard<std::mutex> lock(mutex);
      doneNotes.insert(ByteOrder::LoadLE64(body));
    }
    return true;
  });
  struct Case {
    std::string url;
    u32 status;
    const char* content;  // null: no result file
  } const cases[] = {
      {server.Base() + "/answer.txt", 200, "hello"},
      {server.Base() + "/gone.cdp", 404, nullptr},
      {server.Base() + "/silent", pp::kUrlStatusTimedOut, nullptr},
      {"http://127.0.0.1:1/refused", pp::kUrlStatusFailed, nullptr},
      // Clients get the web, never the daemon's own files.
      {"file:///etc/hostname", pp::kUrlStatusFailed, nullptr},
  };
  for (const Case& c : cases) {
    UrlStatus status;
    const u64 id = urls.Start(c.url, pp::kUrlOptionQuery, temp.path(), 1, notes, status);
    ASSERT_TRUE(watchdog::Eventually([&] { return urls.Status(id).done; })) << c.url;
    status = urls.Status(id);
    EXPECT_EQ(status.status, c.status) << c.url << ": " << status.reason;
    EXPECT_EQ(status.path.empty(), c.content == nullptr) << c.url;
    EXPECT_EQ(scratch::ReadAll(status.path), c.content != nullptr ? c.content : "");
    EXPECT_TRUE(watchdog::Eventually([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return doneNotes.count(id) == 1;
    })) << c.url;
    urls.Forget(id);
    EXPECT_TRUE(status.path.empty() || access(status.path.c_str(), F_OK) != 0);
    EXPECT_TRUE(urls.Status(id).done);
    EXPECT_EQ(urls.Status(id).status, pp::kUrlStatusFailed);
  }
}

}  // namespace
