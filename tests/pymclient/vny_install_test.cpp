// Reading the repository's answer against a scripted daemon: what it asks the daemon and which
// records the daemon's picks give.
#include "pymclient/vny_install.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/buffer_stream.h"
#include "pym_test_util.h"
#include "pymclient/pym_protocol.h"

namespace {

namespace pp = PymProtocol;

Soup ParseAnswer(const char* text) {
  pym_test::Buf in(pym_test::Bytes(text, text + std::strlen(text)));
  Soup soup;
  Soup::ParseText(soup, in.s, true);
  return soup;
}

class VnyReplyTest : public pym_test::ScriptedDaemonTest {};

TEST_F(VnyReplyTest, DaemonPicksBecomeOneRecordPerLatestVersion) {
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

}  // namespace
