// Daemon-run URL requests and the reading of the repository's answer, against a scripted daemon.
#include "pymclient/vny_install.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/buffer_stream.h"
#include "pym_test_util.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_url_request.h"

namespace {

namespace pp = PymProtocol;

Soup ParseAnswer(const char* text) {
  pym_test::Buf in(pym_test::Bytes(text, text + std::strlen(text)));
  Soup soup;
  Soup::ParseText(soup, in.s, true);
  return soup;
}

class VnyClientTest : public pym_test::ScriptedDaemonTest {};

TEST_F(VnyClientTest, DaemonPicksBecomeOneRecordPerLatestVersion) {
  // The daemon picks items 0 and 1 (the same latest version) and 7 (no such item).
  ReplyWith(pp::kOpPickVnyItems, FakePymServer::Words({3, 0, 1, 7}));
  struct Case {
    const char* answer;
    bool asksDaemon;
    u32 records;
  } const cases[] = {
      {"none 1\n0 { latest-version <kuid:1:2> }\n", false, 0},
      {"", false, 0},
      {"0\n{\nrequires <kuid:1:2>\nlatest-version <kuid2:1:2:3>\n"
       "latest-version-path \"http://h/p.cdp\"\n}\n1\n{\nlatest-version <kuid2:1:2:3>\n}\n"
       "3\n{\nlatest-version <kuid:1:9>\n}\n",
       true, 2},
  };
  for (const Case& c : cases) {
    const size_t before = server_->GetFrames().size();
    VnyAssetRecordList records;
    ParseVnyReply(ParseAnswer(c.answer), records);
    EXPECT_EQ(records.Count(), c.records) << c.answer;
    EXPECT_EQ(server_->GetFrames().size() > before, c.asksDaemon) << c.answer;
    if (c.records == 0) continue;
    const VnyAssetRecord& first = *records.Begin();
    EXPECT_EQ(first.latestVersion, KUID(1, 2, 3));
    EXPECT_STREQ(first.packageUrl.host, "h");
    EXPECT_TRUE(records.IteratorAt(1)->latestVersion.IsNull());
    // Only the two items before the first missing name are offered.
    EXPECT_EQ(FrameOf(pp::kOpPickVnyItems).payload[0], 2);
  }
}

// A status record: done, status word, two zeros, the path and no reason.
pym_test::Bytes Status(u8 done, u32 status, const std::string& path) {
  pym_test::Bytes b = FakePymServer::Words({status, 0, 0, u32(path.size())});
  b.insert(b.begin(), done);
  b.insert(b.end(), path.begin(), path.end());
  FakePymServer::AppendBytes(b, FakePymServer::Words({0}));
  return b;
}

size_t CountFrames(FakePymServer& server, u32 opcode) {
  size_t n = 0;
  for (const auto& f : server.GetFrames()) n += f.opcode == opcode ? 1 : 0;
  return n;
}

TEST_F(VnyClientTest, UrlRequestsFollowNotesAndFailedStartsEndAtOnce) {
  VnyAccess access;
  server_->SetHandler([](FakePymServer& s, const FakePymServer::Frame& f) {
    if (f.opcode == pp::kOpStartUrlRequest && f.payload.size() > 70) return s.SendReply(f.id, {});
    pym_test::Bytes reply =
        f.opcode == pp::kOpStartUrlRequest ? FakePymServer::Words({7, 0}) : pym_test::Bytes();
    FakePymServer::AppendBytes(reply, Status(0, 0, ""));
    if (f.opcode == pp::kOpUrlRequestStatus) {
      // The done note comes while the status request is under way; its older answer follows.
      pym_test::Bytes note = FakePymServer::Words({7, 0});
      FakePymServer::AppendBytes(note, Status(1, 200, "/tmp/answer"));
      s.SendNote(pp::kNoteUrlDone, note);
    }
    return s.SendReply(f.id, reply);
  });
  URLRecord url;
  url.Parse("http://127.0.0.1:1/a");
  PymUrlRequest* request = StartUrlRequest(url, pp::kUrlOptionQuery);
  EXPECT_EQ(request->id, 7u);
  EXPECT_TRUE(IsUrlRequestDone(request));
  EXPECT_TRUE(IsUrlRequestDone(request));
  EXPECT_EQ(CountFrames(*server_, pp::kOpUrlRequestStatus), 1u);
  Qel::String path;
  Qel::PString text;
  EXPECT_TRUE(GetUrlRequestResult(request, path, text));
  EXPECT_STREQ(path.CStr(), "/tmp/answer");
  CloseUrlRequest(request);
  ASSERT_TRUE(server_->WaitForFrames(3));
  EXPECT_EQ(CountFrames(*server_, pp::kOpCloseUrlRequest), 1u);

  // A start that the daemon does not answer is done without a result and never asked about.
  url.Parse("http://127.0.0.1:1/a-long-path-that-the-script-refuses-to-start");
  request = StartUrlRequest(url, pp::kUrlOptionPackage);
  EXPECT_TRUE(IsUrlRequestDone(request));
  EXPECT_FALSE(GetUrlRequestResult(request, path, text));
  CloseUrlRequest(request);
  EXPECT_EQ(CountFrames(*server_, pp::kOpUrlRequestStatus), 1u);
  EXPECT_EQ(CountFrames(*server_, pp::kOpCloseUrlRequest), 1u);
}

}  // namespace
