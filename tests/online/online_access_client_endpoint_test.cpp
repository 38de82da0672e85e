#include "online/online_access_client_endpoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "online_service_link.h"
#include "qel/dynamic_buffer.h"
#include "support/scratch_folder.h"

namespace {

using onlinetest::Bytes;
using onlinetest::MessageBuilder;
using onlinetest::ServiceLink;
using State = OnlineAccessClientEndpoint::State;
using Endpoint = OnlineAccessClientEndpoint;

Bytes AssetMessage(const KUID& kuid, const std::string& name, bool versioned = false) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  out.WriteU8(versioned ? Endpoint::kMsgVersionedAsset : Endpoint::kMsgAsset);
  OnlineVersionedMessage message;
  message.kuid = kuid;
  message.name = Qel::String(name.c_str());
  message.soup.SetNamedTag(Qel::PString("text"), Qel::PString("hi"));
  if (versioned) {
    message.Write(out);
  } else {
    message.OnlineMessage::Write(out);
  }
  return Bytes(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
}

// A client that records what it receives and may act on the endpoint while it does.
class TestClient : public OnlineAccessClientBase {
 public:
  explicit TestClient(const KUID& kuid) : OnlineAccessClientBase(kuid) {}
  void ReceiveMessage(std::unique_ptr<OnlineMessage> message) override {
    names.push_back(std::string(message->name.View()));
    if (onReceive) onReceive();
  }
  std::vector<std::string> names;
  std::function<void()> onReceive;
};

class TestGroup : public Endpoint::OnlineGroup {
 public:
  explicit TestGroup(const std::string& name) : name_(name) {}
  bool MatchesRequest(u32 id) override { return id == requestId; }
  void OnOpened(const Qel::PString&, TStream&) override { ++opened; }
  void OnUsersMessage(TStream&) override { ++users; }
  void OnClosed() override {
    ++closed;
    EXPECT_EQ(nullptr, GetOwner());  // forgotten before it hears of it
    if (onClosed) onClosed();
  }
  void OnClientRemoved(OnlineAccessClientBase*) override {
    ++clientRemoved;
    if (onClientRemoved) onClientRemoved();
  }
  bool MatchesName(const Qel::PString& name) override { return name.View() == name_; }
  void OnGroupMessage(std::unique_ptr<OnlineGroupMessage>) override { ++messages; }

  u32 requestId = 0;
  int opened = 0, users = 0, closed = 0, clientRemoved = 0, messages = 0;
  std::function<void()> onClosed, onClientRemoved;

 private:
  std::string name_;
};

// ---- The login and its states ----

TEST(OnlineLogin, WholeSequenceEndsOnlineWithTheServersLimits) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  EXPECT_EQ(State::kConnecting, link.client->GetStatus());
  EXPECT_FALSE(link.client->Connect(false));  // not forced while connecting
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  // Login (31) and the ticket (2), in that order; the ticket travelled scrambled.
  EXPECT_EQ((std::vector<int>{Endpoint::kMsgLogin, Endpoint::kMsgTicket}), link.service->Types());
  EXPECT_EQ(oapeer::ServiceSession::kOnline, link.service->session.state);
  EXPECT_EQ("alice", link.service->session.profile);
  EXPECT_EQ(8u, link.service->session.salt.size());
  EXPECT_TRUE(link.client->CanAccessMultiplayer());
  EXPECT_EQ(0, link.script.rejections);
}

struct RefusalCase {
  const char* name;
  std::string channelKey;
  std::string acceptTicket;
  u32 state;
  int rejections;
  bool ticketSent;
};

class OnlineRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OnlineRefusal, EndsInItsStateAndTellsTheDaemonOnlyOfRefusedTickets) {
  const RefusalCase& c = GetParam();
  oapeer::ServiceOptions options;
  options.channelKey = c.channelKey;
  options.acceptTicket = c.acceptTicket;
  ServiceLink link(options);
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(c.state));
  link.Run(2.0);
  EXPECT_EQ(c.state, link.client->GetStatus());
  EXPECT_EQ(c.rejections, link.script.rejections);
  const std::vector<int> types = link.service->Types();
  EXPECT_EQ(c.ticketSent, std::count(types.begin(), types.end(), Endpoint::kMsgTicket) == 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnlineRefusal,
    ::testing::Values(RefusalCase{"TicketRefused", "oapeer-channel-key", "other", State::kRefused,
                                  1, true},
                      RefusalCase{"KeyTooShort", "short", "", State::kNotAuthenticated, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OnlineLogin, NoProfileAndErrorTextsAreStates) {
  ServiceLink link;
  link.script.profile.name = Qel::String();
  EXPECT_FALSE(link.client->Connect(true));
  EXPECT_EQ(State::kNoProfile, link.client->GetStatus());

  // An error in the challenge refuses without telling the daemon; the text is logged as text.
  ServiceLink second;
  ASSERT_TRUE(second.client->Connect(false));
  ASSERT_TRUE(second.RunUntil(State::kOnline));
  second.service->Send(MessageBuilder(Endpoint::kMsgLoginAccepted).Text("bad %s%n%s").Done());
  const std::string log = scratch::CaptureLog([&] { second.Run(1.0); });
  EXPECT_EQ(State::kRefused, second.client->GetStatus());
  EXPECT_EQ(1, second.script.rejections);
  EXPECT_NE(std::string::npos, log.find("login refused: bad %s%n%s")) << log;
}

// ---- The login hand-off ----

TEST(OnlineHandOff, WithoutTicketWaitsForTheHandOffThenLogsIn) {
  ServiceLink link;
  link.script.ticket = Qel::String();
  link.script.handOffTicket = "ticket-2";
  EXPECT_FALSE(link.client->Connect(false));
  EXPECT_EQ(State::kConnecting, link.client->GetStatus());
  EXPECT_TRUE(link.client->HasLoginRequest());
  link.Run(1.0);
  EXPECT_EQ(State::kConnecting, link.client->GetStatus());
  link.script.handOffDone = true;
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  EXPECT_EQ(1, link.script.handOffsStarted);
  EXPECT_EQ(1, link.script.handOffsClosed);
}

struct HandOffCase {
  const char* name;
  bool starts;
  u32 status;
  Qel::String ticket;  // what a successful hand-off gives
  u32 state;
  int rejections;
};

class OnlineHandOffEnd : public ::testing::TestWithParam<HandOffCase> {};

TEST_P(OnlineHandOffEnd, EndsInItsStateAndClosesEveryRequestOnce) {
  const HandOffCase& c = GetParam();
  ServiceLink link;
  link.script.ticket = Qel::String();
  link.script.handOffStarts = c.starts;
  link.script.handOffStatus = c.status;
  link.script.handOffTicket = c.ticket;
  link.script.handOffDone = true;
  EXPECT_FALSE(link.client->Connect(false));
  link.Run(30.0);
  EXPECT_EQ(c.state, link.client->GetStatus());
  EXPECT_EQ(c.rejections, link.script.rejections);
  EXPECT_FALSE(link.client->HasLoginRequest());
  EXPECT_EQ(link.script.handOffsStarted, link.script.handOffsClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnlineHandOffEnd,
    ::testing::Values(
        HandOffCase{"Refused", true, 3, "", State::kRefused, 1},
        HandOffCase{"Failed", true, 1, "", State::kOffline, 0},
        HandOffCase{"NotStarted", false, 0, "", State::kNotAuthenticated, 0},
        // Succeeds but gives no ticket: a second hand-off ends within the retry delay.
        HandOffCase{"NoTicketAfterIt", true, 0, "", State::kOffline, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Reconnecting while a hand-off is pending, over and over, closes every request exactly once:
// none is freed twice and none is left behind (the sanitizer checks the rest).
TEST(OnlineHandOff, ReconnectLoopsLeakNothing) {
  ServiceLink link;
  link.script.ticket = Qel::String();
  for (int i = 0; i < 300; ++i) {
    link.script.handOffDone = (i % 3) == 0;
    link.script.handOffTicket = (i % 6) == 0 ? "ticket-x" : "";
    link.client->Connect(true);
    link.Step(i % 2 ? 0.05 : 11.0);
    if (i % 5 == 0) link.client->Disconnect();
    link.script.ticket = Qel::String();
  }
  link.client->Disconnect();
  EXPECT_EQ(link.script.handOffsStarted, link.script.handOffsClosed);
  EXPECT_GT(link.script.handOffsStarted, 100);
}

// ---- Loss and time-outs in virtual time ----

TEST(OnlineLoss, LoginCompletesThroughLossByResends) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  // The login and then the challenge are lost until the resends get through.
  link.serviceDeaf = true;
  link.Run(2.5);
  link.serviceDeaf = false;
  link.clientDeaf = true;
  link.Run(6.0);
  link.clientDeaf = false;
  EXPECT_EQ(oapeer::ServiceSession::kAwaitingTicket, link.service->session.state);
  EXPECT_EQ(State::kConnecting, link.client->GetStatus());
  ASSERT_TRUE(link.RunUntil(State::kOnline, 60.0));
}

TEST(OnlineLoss, LoginCompletesUnderAStrangersFlood) {
  ServiceLink link;
  link.strangerFlood = 1500;
  // A budget no load on the machine can spend: what is tested is which datagrams count, and a
  // busy machine would otherwise end some drains early and lose answers the test waits for.
  link.client->GetUdp().SetReceiveBudget(3600.0);
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline, 10.0));
  EXPECT_GT(link.client->GetUdp().GetCounters().droppedStrangers, 1500u);
}

TEST(OnlineLoss, ASilentServiceIsALostConnection) {
  // Before the login is answered: the login is sent five times, then the link is given up.
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  link.serviceDeaf = true;
  link.Run(117.0, 0.5);
  EXPECT_EQ(State::kConnecting, link.client->GetStatus());
  link.Run(5.0, 0.5);
  EXPECT_EQ(State::kConnectionLost, link.client->GetStatus());
  EXPECT_EQ(Endpoint::kPostNotOnline, link.client->PostVersionedMessage(KUID(1, 2, 0), "x", Soup(), false));

  // Online, then the service vanishes: 300 s of silence end it.
  ServiceLink online;
  ASSERT_TRUE(online.client->Connect(false));
  ASSERT_TRUE(online.RunUntil(State::kOnline));
  online.serviceDeaf = true;
  online.clientDeaf = true;
  online.Run(299.0, 1.0);
  EXPECT_EQ(State::kOnline, online.client->GetStatus());
  online.Run(3.0, 1.0);
  EXPECT_EQ(State::kConnectionLost, online.client->GetStatus());
  // A forced connect starts again.
  online.serviceDeaf = online.clientDeaf = false;
  ASSERT_TRUE(online.client->Connect(false));
  ASSERT_TRUE(online.RunUntil(State::kOnline));
}

// ---- Messages: delivery, storing, replay ----

TEST(OnlineMessages, StoredForAbsentClientsAndReplayedAfterReconnect) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  const KUID users[] = {KUID(10, 1, 3), KUID(11, 2, 0), KUID(12, 3, 0)};
  for (const KUID& kuid : users) link.service->Send(AssetMessage(kuid, "for-" + std::to_string(kuid.userId)));
  link.Run(1.0);
  EXPECT_EQ(3u, link.client->GetStoredMessageCount());

  link.client->Disconnect();
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  std::vector<std::unique_ptr<TestClient>> clients;
  // Replay compares user and content only: version 0 receives the message sent to version 3.
  const std::string log = scratch::CaptureLog([&] {
    for (const KUID& kuid : users) {
      clients.push_back(std::make_unique<TestClient>(KUID(kuid.userId, kuid.contentId, 0)));
      link.client->AddClient(clients.back().get());
    }
  });
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::vector<std::string>{"for-" + std::to_string(users[i].userId)}, clients[i]->names);
  EXPECT_EQ(0u, link.client->GetStoredMessageCount());
  EXPECT_NE(std::string::npos, log.find("replaying stored message for <kuid:12:3>")) << log;

  // Direct delivery needs all three words.
  link.service->Send(AssetMessage(KUID(11, 2, 0), "direct", true));
  link.service->Send(AssetMessage(KUID(11, 2, 5), "other version"));
  link.Run(1.0);
  EXPECT_EQ((std::vector<std::string>{"for-11", "direct"}), clients[1]->names);
  EXPECT_EQ(1u, link.client->GetStoredMessageCount());
  for (auto& c : clients) link.client->RemoveClient(c.get());
}

TEST(OnlineMessages, StoredListIsCappedOldestDroppedAndCounted) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  constexpr u32 kSent = Endpoint::kMaxStoredMessages + 5;
  for (u32 i = 0; i < kSent; ++i) {
    link.service->Send(AssetMessage(KUID(20, 1, 0), "m" + std::to_string(i)));
    if (i % 40 == 0) link.Run(0.5);
  }
  link.Run(5.0);
  EXPECT_EQ(Endpoint::kMaxStoredMessages, link.client->GetStoredMessageCount());
  EXPECT_EQ(5u, link.client->GetDroppedStoredCount());
  TestClient client(KUID(20, 1, 0));
  link.client->AddClient(&client);
  ASSERT_EQ(size_t(Endpoint::kMaxStoredMessages), client.names.size());
  EXPECT_EQ("m5", client.names.front());
  EXPECT_EQ("m" + std::to_string(kSent - 1), client.names.back());
  link.client->RemoveClient(&client);
}

TEST(OnlineMessages, StoredMessagesSaveAndLoadAndRefuseHostileFiles) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  link.service->Send(AssetMessage(KUID(30, 1, 0), "plain"));
  link.service->Send(AssetMessage(KUID(31, 1, 0), "versioned", true));
  link.Run(1.0);
  Qel::DynamicBuffer saved;
  TBuffer out(&saved, false);
  link.client->SaveStoredMessages(out);

  Endpoint other(std::make_unique<onlinetest::ScriptedDaemon>(link.script));
  saved.SetPosition(0);
  TBuffer in(&saved, false);
  ASSERT_TRUE(other.LoadStoredMessages(in));
  TestClient a(KUID(30, 1, 0)), b(KUID(31, 1, 0));
  other.AddClient(&a);
  other.AddClient(&b);
  EXPECT_EQ(std::vector<std::string>{"plain"}, a.names);
  EXPECT_EQ(std::vector<std::string>{"versioned"}, b.names);

  // A wrong format word changes nothing; a count far beyond the bytes reads what they hold.
  const std::vector<Bytes> hostile = {
      MessageBuilder(2).Done(),
      Bytes{1, 0},
      MessageBuilder(1).Raw({0, 0, 0}).U32(0xFFFFFFFF).U32(0xFFFFFFFF).Done(),
  };
  for (const Bytes& file : hostile) {
    Qel::DynamicBuffer buffer;
    buffer.Write(file.data(), u32(file.size()));
    buffer.SetPosition(0);
    TBuffer stream(&buffer, false);
    other.LoadStoredMessages(stream);
    EXPECT_LE(other.GetStoredMessageCount(), 1u);
  }
  other.RemoveClient(&a);
  other.RemoveClient(&b);
}

// ---- Handlers that change the lists they are called from ----

TEST(OnlineHandlers, ClientsAndGroupsMayLeaveWhileTheyAreCalled) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  Endpoint& endpoint = *link.client;

  // A client that removes itself and another one while a message reaches it.
  TestClient first(KUID(40, 1, 0)), second(KUID(41, 1, 0));
  endpoint.AddClient(&first);
  endpoint.AddClient(&second);
  first.onReceive = [&] {
    endpoint.RemoveClient(&first);
    endpoint.RemoveClient(&second);
  };
  // Groups that leave, and make others leave, when they hear of a removed client.
  TestGroup a("a"), b("b"), c("c");
  for (TestGroup* g : {&a, &b, &c}) endpoint.AddGroup(g);
  a.onClientRemoved = [&] {
    endpoint.RemoveGroup(&a);
    endpoint.RemoveGroup(&b);
  };
  link.service->Send(AssetMessage(KUID(40, 1, 0), "leave"));
  link.Run(1.0);
  EXPECT_EQ(std::vector<std::string>{"leave"}, first.names);
  EXPECT_FALSE(endpoint.HasClients());
  EXPECT_EQ(1, a.clientRemoved);  // it left at the first removal
  EXPECT_EQ(0, b.clientRemoved);  // gone before its turn
  EXPECT_EQ(2, c.clientRemoved);
  EXPECT_EQ(nullptr, b.GetOwner());

  // Closed by the service twice: told once; its OnClosed may leave again and close others.
  endpoint.AddGroup(&b);
  c.onClosed = [&] {
    endpoint.RemoveGroup(&c);
    endpoint.LeaveGroup(Qel::PString("c"));
  };
  for (int i = 0; i < 2; ++i) link.service->Send(MessageBuilder(Endpoint::kMsgLeaveGroup).Name("c").Done());
  link.Run(1.0);
  EXPECT_EQ(1, c.closed);

  // A client that takes the endpoint offline while a message reaches it: the service's peer
  // record goes while the transport is still dispatching to it.
  TestClient leaving(KUID(42, 1, 0));
  endpoint.AddClient(&leaving);
  leaving.onReceive = [&] { endpoint.Disconnect(); };
  link.service->Send(AssetMessage(KUID(42, 1, 0), "bye"));
  link.service->Send(AssetMessage(KUID(42, 1, 0), "after"));
  link.Run(1.0);
  EXPECT_EQ(std::vector<std::string>{"bye"}, leaving.names);
  EXPECT_EQ(State::kOffline, endpoint.GetStatus());
  endpoint.RemoveClient(&leaving);

  // The endpoint's end closes every group still there, once.
  link.client.reset();
  EXPECT_EQ(1, b.closed);
  EXPECT_EQ(0, a.closed);
  EXPECT_EQ(nullptr, b.GetOwner());
}

// ---- Posting and flood limits ----

TEST(OnlinePosting, FloodLimitRefusesTheNextPostAndNamesAreNoFormats) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  // The service lowers the per-minute limit to 100 bytes.
  link.service->Send(
      MessageBuilder(Endpoint::kMsgLoginAcceptedWithLimits).Text("").U8(0).U32(100).U32(0).U32(1000000).Done());
  link.Run(0.5);
  Soup soup;
  soup.SetNamedTag(Qel::PString("padding"), Qel::PString(std::string(120, 'x').c_str()));
  const Qel::String name("%s%s%n%s");
  EXPECT_EQ(Endpoint::kPostQueued, link.client->PostVersionedMessage(KUID(1, 2, 0), name, soup, true));
  std::string log = scratch::CaptureLog([&] {
    EXPECT_EQ(Endpoint::kPostRefused, link.client->PostVersionedMessage(KUID(1, 2, 0), name, soup, true));
  });
  EXPECT_NE(std::string::npos, log.find("%s%s%n%s")) << log;
  link.Run(61.0, 0.5);
  EXPECT_EQ(Endpoint::kPostQueued, link.client->PostVersionedMessage(KUID(1, 2, 0), name, soup, true));
  link.Run(1.0);
  const std::vector<int> types = link.service->Types();
  EXPECT_EQ(2, std::count(types.begin(), types.end(), Endpoint::kMsgVersionedAsset));
}

// ---- Hostile packets from the service ----

TEST(OnlineHostile, MalformedAndUnexpectedMessagesChangeNothingHarmful) {
  ServiceLink link;
  ASSERT_TRUE(link.client->Connect(false));
  ASSERT_TRUE(link.RunUntil(State::kOnline));
  TestGroup known("known");
  link.client->AddGroup(&known);
  const std::vector<Bytes> hostile = {
      Bytes{Endpoint::kMsgAsset},                                     // body missing
      MessageBuilder(Endpoint::kMsgAsset).U32(1).U32(2).U32(0xFFFFFFFF).Done(),  // name too long
      MessageBuilder(Endpoint::kMsgVersionedAsset).U32(1).U32(2).Text("x").Raw({'A', 'C', 'S'}).Done(),
      MessageBuilder(Endpoint::kMsgGroupPost).U32(1).Done(),
      MessageBuilder(Endpoint::kMsgCreateGroup).U32(77).Name("stranger").Done(),
      MessageBuilder(Endpoint::kMsgGroupOpened).Name("stranger").U32(0xFFFFFFFF).Done(),
      MessageBuilder(Endpoint::kMsgGroupMember).Name("known").Raw(Bytes(5000, 0xEE)).Done(),
      MessageBuilder(Endpoint::kMsgLeaveGroup).Done(),
      MessageBuilder(200).Raw(Bytes(60000, 0x41)).Done(),
      Bytes{Endpoint::kMsgTicket},
      MessageBuilder(Endpoint::kMsgLoginAcceptedWithLimits).Done(),  // cut short: still online
  };
  for (const Bytes& m : hostile) link.service->Send(m);
  link.Run(3.0);
  EXPECT_EQ(State::kOnline, link.client->GetStatus());
  EXPECT_EQ(0u, link.client->GetStoredMessageCount());
  EXPECT_EQ(1, known.users);
  EXPECT_EQ(0, known.closed);
  // Replies for a group that is not here are answered with "leave" for that name.
  int leaves = 0;
  for (const Bytes& m : link.service->taken) leaves += !m.empty() && m[0] == Endpoint::kMsgLeaveGroup;
  EXPECT_EQ(2, leaves);
  link.client->RemoveGroup(&known);
}

// ---- The process-wide instance ----

TEST(OnlineInstance, ShutdownIsAnExplicitStepAndMayRepeat) {
  EXPECT_FALSE(Endpoint::HasInstance());
  Endpoint::Shutdown();
  EXPECT_FALSE(Endpoint::HasInstance());
}

// The service reads a name in either string form, interned (with its terminating zero) or plain,
// as the same text: one group, not two.
TEST(OapeerLoginService, ReadsANameWithOrWithoutItsTerminatingZeroAsOneName) {
  std::vector<std::string> log;
  oapeer::LoginService service({}, [&log](const std::string& line) { log.push_back(line); });
  oapeer::ServiceSession session;
  session.state = oapeer::ServiceSession::kOnline;
  session.profile = "alice";
  for (const bool interned : {true, false}) {
    Qel::DynamicBuffer buffer;
    TBuffer out(&buffer, false);
    out.WriteU8(28);  // open group
    if (interned) {
      out.WritePString(Qel::PString("group-1"));
    } else {
      out.WriteString(Qel::String("group-1"));
    }
    const std::vector<Bytes> replies =
        service.Take(session, Bytes(buffer.GetData(), buffer.GetData() + buffer.GetDataSize()));
    ASSERT_EQ(replies.size(), 1u) << interned;
    const Bytes opened = {21, 7, 0, 0, 0, 'g', 'r', 'o', 'u', 'p', '-', '1'};
    ASSERT_GE(replies[0].size(), opened.size()) << interned;
    EXPECT_TRUE(std::equal(opened.begin(), opened.end(), replies[0].begin())) << interned;
    EXPECT_EQ(log.back(), "service: group \"group-1\" opened (21 sent)") << interned;
  }
}

}  // namespace
