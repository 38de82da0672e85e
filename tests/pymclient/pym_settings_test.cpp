#include "pymclient/pym_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "assetdata/soup_binary.h"
#include "assetdata/soup_tree.h"
#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/networking.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "support/fake_pym_server.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;
using Qel::PString;

Bytes Name(const char* text) {
  if (*text == '\0') return FakePymServer::Words({0});
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

// A client connected to a scripted daemon that answers the three settings requests from `replies`
// (by opcode) and records what it was sent.
class PymSettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    InitNetworking();
    char pattern[] = "/tmp/KestroSetXXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    temp_ = pattern;
    ASSERT_TRUE(InitInstallPaths(temp_.c_str()));
    server_ = std::make_unique<FakePymServer>(GetDatabasePath().CStr());
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->Publish());
    server_->SetHandler([this](FakePymServer& server, const FakePymServer::Frame& frame) {
      Bytes reply;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = replies_.find(frame.opcode);
        if (it == replies_.end()) return false;
        reply = it->second;
      }
      return server.SendReply(frame.id, reply);
    });
    PymClientOptions options;
    options.mayStartDaemon = 0;
    ASSERT_TRUE(PymOpenDatabase(options));
  }
  void TearDown() override {
    PymCloseDatabase();
    server_.reset();
    ClearInstallPaths();
    fs::remove_all(temp_);
  }
  // The payload of the only frame sent so far.
  Bytes Sent(u32 opcode) {
    const std::vector<FakePymServer::Frame> frames = server_->GetFrames();
    EXPECT_EQ(frames.size(), 1u);
    if (frames.empty()) return {};
    EXPECT_EQ(frames.back().opcode, opcode);
    return frames.back().payload;
  }

  void Reply(u32 opcode, const Bytes& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[opcode] = body;
  }

  fs::path temp_;
  std::unique_ptr<FakePymServer> server_;
  std::mutex mutex_;
  std::map<u32, Bytes> replies_;
};

TEST_F(PymSettingsTest, ReadsOneValueOfAGroup) {
  Reply(PymProtocol::kOpGetSettingString, Name("US"));
  EXPECT_EQ(PymGetSettingString("internet", "language"), PString("US"));
  EXPECT_EQ(Sent(0x66), Cat({Name("internet"), Name("language")}));
}

TEST_F(PymSettingsTest, ReadsAWholeGroup) {
  Reply(PymProtocol::kOpGetSettingsSoup, SoupBytes(InternetGroup()));
  const Soup soup = PymGetSettingsSoup("internet");
  EXPECT_EQ(soup.GetNamedTag("language"), PString("GER"));
  EXPECT_EQ(soup.GetNamedTag("username"), PString("rail fan"));
  EXPECT_EQ(Sent(0x64), Name("internet"));
}

TEST_F(PymSettingsTest, WritesAGroupAndReportsTheAnswer) {
  EXPECT_TRUE(PymSetSettingsSoup("internet", InternetGroup()));
  EXPECT_EQ(Sent(0x65), Cat({Name("internet"), SoupBytes(InternetGroup())}));
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

TEST_F(PymSettingsTest, BadRepliesGiveTheDefaults) {
  Bytes whole = SoupBytes(InternetGroup());
  Bytes overLong = FakePymServer::Words({0xFFFFFFFFu});
  overLong.push_back('U');
  for (const Bytes& reply : {Bytes(), Bytes(whole.begin(), whole.end() - 3), kEmptySoup,
                             Cat({FakePymServer::Words({0x24534341u, 1, 0, 0xFFFFFF}), whole})}) {
    Reply(PymProtocol::kOpGetSettingsSoup, reply);
    EXPECT_TRUE(PymGetSettingsSoup("internet").IsNull());
  }
  for (const Bytes& reply : {Bytes(), Bytes{2, 0}, Bytes{10, 0, 0, 0, 'U', 'S'}, overLong}) {
    Reply(PymProtocol::kOpGetSettingString, reply);
    EXPECT_TRUE(PymGetSettingString("internet", "language").IsEmpty());
  }
}

TEST_F(PymSettingsTest, UnreachableDaemonGivesTheDefaultsAndSetFails) {
  PymCloseDatabase();
  server_.reset();
  EXPECT_TRUE(PymGetSettingString("internet", "language").IsEmpty());
  EXPECT_TRUE(PymGetSettingsSoup("internet").IsNull());
  EXPECT_FALSE(PymSetSettingsSoup("internet", InternetGroup()));
  EXPECT_FALSE(PymSetEmptySettingsSoup("internet"));
}

}  // namespace
