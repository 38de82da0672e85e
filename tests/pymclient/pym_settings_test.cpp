#include "pymclient/pym_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "assetdata/soup_binary.h"
#include "assetdata/soup_tree.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_test_util.h"

namespace {

using namespace pym_test;  // NOLINT(build/namespaces)
using Qel::PString;

Bytes Name(const char* text) {
  Bytes out = FakePymServer::Words({u32(std::strlen(text) + 1)});
  out.insert(out.end(), text, text + std::strlen(text) + 1);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) FakePymServer::AppendBytes(out, part);
  return out;
}

// "ACS$", version 1, reserved 0, body size 0.
const Bytes kEmptySoup = FakePymServer::Words({0x24534341u, 1, 0, 0});

Bytes SoupBytes(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, soup);
  return Bytes(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
}

Soup InternetGroup() {
  Soup soup;
  soup.EnsureContainer();
  soup.SetNamedTag("language", "GER");
  soup.SetNamedTag("username", "rail fan");
  return soup;
}

using PymSettingsTest = ScriptedDaemonTest;

TEST_F(PymSettingsTest, RequestsAndReplies) {
  ReplyWith(PymProtocol::kOpGetSettingString, Name("US"));
  EXPECT_EQ(PymGetSettingString("internet", "language"), PString("US"));
  EXPECT_EQ(FrameOf(0x66).payload, Cat({Name("internet"), Name("language")}));

  ReplyWith(PymProtocol::kOpGetSettingsSoup, SoupBytes(InternetGroup()));
  const Soup soup = PymGetSettingsSoup("internet");
  EXPECT_EQ(soup.GetNamedTag("language"), PString("GER"));
  EXPECT_EQ(soup.GetNamedTag("username"), PString("rail fan"));
  EXPECT_EQ(FrameOf(0x64).payload, Name("internet"));

  EXPECT_TRUE(PymSetSettingsSoup("internet", InternetGroup()));
  EXPECT_EQ(FrameOf(0x65).payload, Cat({Name("internet"), SoupBytes(InternetGroup())}));
  ReplyWith(PymProtocol::kOpSetSettingsSoup, {0});
  EXPECT_FALSE(PymSetSettingsSoup("internet", InternetGroup())) << "the daemon refused it";
}

TEST_F(PymSettingsTest, EveryEmptySoupIsSentAsAValidEmptySoup) {
  Soup nullNode;
  nullNode.SetRoot(ACSChunk::GetNullChunk());
  Soup kindZero;
  kindZero.SetRoot(MakeMP<TDBDataTag>(kKindNull, ACSData()));
  for (const Soup& soup : {Soup(), nullNode, kindZero}) EXPECT_TRUE(PymSetSettingsSoup("a", soup));
  EXPECT_TRUE(PymSetEmptySettingsSoup("a"));
  ASSERT_TRUE(server_->WaitForFrames(4));
  for (const FakePymServer::Frame& frame : server_->GetFrames()) {
    EXPECT_EQ(frame.payload, Cat({Name("a"), kEmptySoup}));
  }
}

TEST_F(PymSettingsTest, BadRepliesAndAnUnreachableDaemonGiveTheDefaults) {
  const Bytes whole = SoupBytes(InternetGroup());
  for (const Bytes& reply : {Bytes(), Bytes(whole.begin(), whole.end() - 3), kEmptySoup,
                             Cat({FakePymServer::Words({0x24534341u, 1, 0, 0xFFFFFF}), whole})}) {
    ReplyWith(PymProtocol::kOpGetSettingsSoup, reply);
    EXPECT_TRUE(PymGetSettingsSoup("internet").IsNull());
  }
  for (const Bytes& reply :
       {Bytes(), Bytes{2, 0}, Bytes{10, 0, 0, 0, 'U', 'S'}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'U'}}) {
    ReplyWith(PymProtocol::kOpGetSettingString, reply);
    EXPECT_TRUE(PymGetSettingString("internet", "language").IsEmpty());
  }

  // So does an unreachable daemon, and setting fails.
  PymCloseDatabase();
  server_.reset();
  EXPECT_TRUE(PymGetSettingString("internet", "language").IsEmpty());
  EXPECT_TRUE(PymGetSettingsSoup("internet").IsNull());
  EXPECT_FALSE(PymSetSettingsSoup("internet", InternetGroup()));
  EXPECT_FALSE(PymSetEmptySettingsSoup("internet"));
}

}  // namespace
