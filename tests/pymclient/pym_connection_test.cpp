#include "pymclient/pym_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "assetdata/results_log.h"
#include "core/tcx_dispatcher.h"
#include "platform/byte_order.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_search.h"
#include "pymclient/pym_test_util.h"
#include "support/thread_watchdog.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces)
using namespace pym_test;     // NOLINT(build/namespaces)

std::atomic<u32> g_messages{0};
std::atomic<u32> g_lastMessage{0};
// Set by the command host that ends its own connection.
FakePymServer* g_endingServer = nullptr;
std::atomic<bool> g_hostRan{false};
void OnMessage(u32 value) {
  g_lastMessage = value;
  g_messages.fetch_add(1);
}

Bytes Pattern(size_t n, u8 seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = u8(seed + i * 7);
  return b;
}

u32 WordAt(const Bytes& b, size_t offset) { return ByteOrder::LoadLE32(b.data() + offset); }

class ConnectionTest : public ScriptedDaemonTest {
 protected:
  ConnectionTest() {
    g_messages = 0;
    g_hostRan = false;
    options_.messageCallback = &OnMessage;
  }
  void TearDown() override {
    PymSetCommandHostCallback(nullptr);
    PymSetUrlCompletionHook(nullptr);
    ScriptedDaemonTest::TearDown();
  }

  // Runs queued main-thread calls until `done` holds.
  template <class Pred>
  bool PumpUntil(Pred done) {
    return watchdog::Eventually([&] {
      PumpMainThread();
      return done();
    });
  }
};

TEST_F(ConnectionTest, HandshakeFramesAndIds) {
  const auto handshakes = server_->GetHandshakes();
  ASSERT_EQ(handshakes.size(), 1u);
  const auto& h = handshakes[0];
  EXPECT_EQ(std::tie(h.tag, h.version, h.build, h.isClient, h.databasePath),
            std::make_tuple(0x50594D43u, 360u, 48249u, 1u, database_));

  // The payload goes from the request's position to its end; ids wrap past 0.
  PymConnection::GetCurrent()->SetNextTransactionIdForTest(0xFFFFFFFFu);
  Buf request({1, 2, 3, 4, 5});
  u8 skipped[2];
  request.s.Read(skipped, 2);
  Buf reply({9});
  ASSERT_TRUE(PymTransact(0x2A, request.s, reply.s, nullptr, nullptr, false));
  EXPECT_EQ(Contents(reply.s), Bytes({9})) << "an empty body leaves the reply alone";
  Buf empty;
  ASSERT_TRUE(PymPost(0x32, empty.s));
  ASSERT_TRUE(Transact(0x33, {}));
  const auto frames = server_->GetFrames();
  ASSERT_EQ(frames.size(), 3u);
  // A post has no transaction id.
  std::vector<std::tuple<u32, u32, Bytes>> sent;
  for (const auto& f : frames) sent.emplace_back(f.opcode, f.id, f.payload);
  EXPECT_EQ(sent, (std::vector<std::tuple<u32, u32, Bytes>>{
                      {0x2A, 0xFFFFFFFFu, {3, 4, 5}}, {0x32, 0, {}}, {0x33, 1, {}}}));
  EXPECT_EQ(server_->GetConnectionCount(), 1u) << "one connection for every request";
}

TEST_F(ConnectionTest, ConcurrentTransactionsGetTheirOwnBodiesAndResults) {
  server_->SetAutoReply(false);
  const Bytes bodyA = Pattern(40 * 1024, 1);
  const Bytes bodyB = Pattern(40 * 1024 + 3, 2);
  ResultsLog logA, logB;
  Bytes replyA, replyB;
  u32 entriesA = 0, entriesB = 0;
  std::atomic<bool> okA{false}, okB{false};
  {
    watchdog::Task a([&] {
      okA = Transact(0x40, {'A'}, &replyA, &logA);
      entriesA = logA.CountEntries();  // counted the moment the transaction returns
    });
    watchdog::Task b([&] {
      okB = Transact(0x40, {'B'}, &replyB, &logB);
      entriesB = logB.CountEntries();
    });
    ASSERT_TRUE(server_->WaitForFrames(2));
    u32 idA = 0, idB = 0;
    for (const auto& f : server_->GetFrames()) (f.payload == Bytes{'A'} ? idA : idB) = f.id;
    ASSERT_NE(idA, 0u);
    ASSERT_NE(idB, 0u);

    // Results ahead of the replies, a message note, a reply nobody waits for (its body must be
    // skipped, not read as a tag), then the two replies in the other order.
    ASSERT_TRUE(server_->SendNote(
        kNoteResults, FakePymServer::ResultsPayload(idB, {{ResultsLog::kWarning, "b1"}})));
    ASSERT_TRUE(server_->SendNote(kNoteMessage, FakePymServer::Words({77})));
    ASSERT_TRUE(server_->SendReply(0xDEAD, Pattern(40 * 1024, 9)));
    ASSERT_TRUE(server_->SendNote(
        kNoteResults, FakePymServer::ResultsPayload(
                          idA, {{ResultsLog::kError, "a1"}, {ResultsLog::kWarning, "a2"}})));
    ASSERT_TRUE(server_->SendNote(
        kNoteResults, FakePymServer::ResultsPayload(12345, {{ResultsLog::kError, "nobody"}})));
    ASSERT_TRUE(server_->SendReply(idB, bodyB));
    ASSERT_TRUE(server_->SendReply(idA, bodyA));
  }
  EXPECT_TRUE(okA && okB);
  EXPECT_TRUE(replyA == bodyA && replyB == bodyB);
  EXPECT_EQ(std::make_pair(entriesA, entriesB), std::make_pair(2u, 1u));
  EXPECT_EQ(logA.GetErrorCount(), 1u);
  ASSERT_EQ(logB.GetEntries().size(), 1u);
  EXPECT_EQ(std::string(logB.GetEntries()[0].text.CStr()), "b1");

  // The message note reaches the callback on the main thread.
  EXPECT_TRUE(PumpUntil([] { return g_messages.load() == 1; }));
  EXPECT_EQ(g_lastMessage.load(), 77u);
  // The stream stayed in step: the connection still serves.
  server_->SetAutoReply(true);
  EXPECT_TRUE(Transact(0x41, {}));
  EXPECT_EQ(server_->GetConnectionCount(), 1u);
}

// A client that has asked nothing runs no reader: what the daemon sent meanwhile neither stops
// its goodbye nor ends the connection badly, and a daemon that went away is noticed by the first
// request, which connects afresh instead of being lost.
TEST_F(ConnectionTest, AClientThatAskedNothingStillClosesAndReconnectsCleanly) {
  const u32 lostBefore = PymCountLostRequests();
  ASSERT_TRUE(server_->SendNote(kNoteMessage, FakePymServer::Words({5})));
  server_->CloseConnections();
  EXPECT_TRUE(Transact(0x41, {}));
  EXPECT_EQ(server_->GetConnectionCount(), 2u);
  EXPECT_EQ(PymCountLostRequests(), lostBefore);

  ASSERT_TRUE(PymOpenDatabase(options_));
  PymCloseDatabase();
  ASSERT_TRUE(PymOpenDatabase(options_));
  ASSERT_TRUE(server_->SendNote(kNoteMessage, FakePymServer::Words({6})));
  PymCloseDatabase();
  EXPECT_TRUE(server_->WaitForGoodbyes(2));
  EXPECT_TRUE(server_->WaitForNoConnection());
}

TEST_F(ConnectionTest, ConnectionLossFailsWaitersAndNextRequestReconnects) {
  server_->SetAutoReply(false);
  std::atomic<int> failures{0};
  const u32 lostBefore = PymCountLostRequests();
  {
    watchdog::Task a([&] { failures += Transact(0x50, {1}) ? 0 : 1; });
    watchdog::Task b([&] { failures += Transact(0x51, {2}) ? 0 : 1; });
    ASSERT_TRUE(server_->WaitForFrames(2));
    server_->CloseConnections();
  }
  EXPECT_EQ(failures.load(), 2);
  EXPECT_EQ(PymCountLostRequests() - lostBefore, 2u) << "both were lost with the daemon";
  EXPECT_TRUE(watchdog::Eventually([] { return !PymIsConnected(); }));

  server_->SetAutoReply(true);
  EXPECT_TRUE(Transact(0x52, {3}));
  EXPECT_EQ(server_->GetConnectionCount(), 2u);
  EXPECT_TRUE(PymIsConnected());
}

// Daemon input that must drop the connection: each fails the waiting transaction, and the next
// request connects afresh.
TEST_F(ConnectionTest, HostileMessagesDropTheConnection) {
  constexpr u32 kWaiting = ~0u;  // stands for the waiting transaction's id
  const struct {
    const char* what;
    u32 tag, word, length;
  } cases[] = {
      {"reply over the limit", kTagReply, kWaiting, kMaxMessageLength + 1},
      {"notification over the limit", kTagNotify, kNoteMessage, 0xFFFFFFFFu},
      {"unknown-id reply over the limit", kTagReply, 0xBEEF, 0x80000000u},
      {"unknown tag", FourCC("junk"), 0, 0},
  };
  u32 connections = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server_->SetAutoReply(false);
    const size_t before = server_->GetFrames().size();
    std::atomic<bool> ok{true};
    {
      watchdog::Task t([&] { ok = Transact(0x60, {}); });
      ASSERT_TRUE(server_->WaitForFrames(before + 1));
      const u32 word = c.word == kWaiting ? server_->GetFrames().back().id : c.word;
      ASSERT_TRUE(server_->SendRaw(FakePymServer::Words({c.tag, word, c.length})));
    }
    EXPECT_FALSE(ok.load());
    server_->SetAutoReply(true);
    EXPECT_TRUE(Transact(0x61, {}));
    EXPECT_EQ(server_->GetConnectionCount(), ++connections);
  }
}

// A package reply may pass the general limit by as much as half the memory free; past that it
// is refused with a reason. The limits are lowered so that a few MB stand for hundreds.
TEST_F(ConnectionTest, PackageRepliesMayBeLargerThanOthersUpToTheFreeMemory) {
  constexpr u32 kGeneral = 1u << 20;
  const Bytes big = Pattern(2 * kGeneral, 3);
  server_->SetHandler([&](FakePymServer& server, const FakePymServer::Frame& frame) {
    return frame.opcode >= 0x30 && frame.opcode <= 0x31 && server.SendReply(frame.id, big);
  });
  const struct {
    u32 opcode;
    u64 freeMemory;
    bool taken;
  } cases[] = {
      {kOpSaveAssetToCdp, 8 * kGeneral, true},
      {0x31, 8 * kGeneral, false},  // any other request keeps the general limit
      {kOpSaveAssetToCdp, 3 * kGeneral, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opcode);
    PymSetReplyLimits(kGeneral, c.freeMemory);
    Bytes reply;
    EXPECT_EQ(Transact(c.opcode, {}, &reply), c.taken);
    EXPECT_EQ(reply == big, c.taken);
    EXPECT_EQ(PymLastReplyRefusal().IsEmpty(), c.taken) << PymLastReplyRefusal().CStr();
  }
  EXPECT_NE(std::string(PymLastReplyRefusal().CStr()).find("2097152 bytes"), std::string::npos);
  PymSetReplyLimits(0, 0);
  // The refused reply cost the connection, not the client.
  EXPECT_TRUE(Transact(0x60, {}));
}

// A short reply is read ahead of its requester, which still holds it to the limit: past it the
// reply is refused with a reason and the connection dropped, within it the body arrives whole.
TEST_F(ConnectionTest, ShortRepliesReadAheadKeepTheLimit) {
  const Bytes small = Pattern(100, 5);
  server_->SetHandler([&](FakePymServer& server, const FakePymServer::Frame& frame) {
    return frame.opcode == 0x32 && server.SendReply(frame.id, small);
  });
  const u32 connections = server_->GetConnectionCount();
  for (const u32 general : {50u, 0u}) {
    SCOPED_TRACE(general);
    PymSetReplyLimits(general, 0);
    Bytes reply;
    const bool taken = general == 0;
    EXPECT_EQ(Transact(0x32, {}, &reply), taken);
    EXPECT_EQ(reply == small, taken);
    EXPECT_EQ(PymLastReplyRefusal().IsEmpty(), taken) << PymLastReplyRefusal().CStr();
  }
  EXPECT_EQ(server_->GetConnectionCount(), connections + 1);
}

TEST_F(ConnectionTest, SearchReplyCounts) {
  using W = FakePymServer;
  const struct {
    const char* what;
    Bytes reply;
    bool ok;
    std::vector<KUID> appended;
  } cases[] = {
      {"one", W::Words({1, 11, 3}), true, {KUID(3, 11, 0)}},
      {"two", W::Words({2, 10, 5, 11, 6}), true, {KUID(5, 10, 0), KUID(6, 11, 0)}},
      {"empty", W::Words({0}), true, {}},
      {"no count", {}, false, {}},
      {"count over what the reply holds", W::Words({5, 1, 7}), false, {}},
      {"count over the limit", W::Words({0xFFFFFFFFu, 1, 2}), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server_->SetHandler([&](FakePymServer& s, const FakePymServer::Frame& f) {
      return f.opcode == kOpSearchAssets && s.SendReply(f.id, c.reply);
    });
    std::vector<KUID> out = {KUID(1, 1, 0)};
    EXPECT_EQ(PymSearchAssets(nullptr, out), c.ok);
    std::vector<KUID> expected = {KUID(1, 1, 0)};
    expected.insert(expected.end(), c.appended.begin(), c.appended.end());
    EXPECT_EQ(out, expected);
  }
  EXPECT_EQ(FrameOf(kOpSearchAssets).payload, W::Words({0})) << "no filter is u32 0";
}

// Answers once released, noting whether its transaction had returned by then: it must not, as
// the caller frees the callback when it returns.
class QuestionCallback final : public PymTransactionCallback {
 public:
  u32 Ask(const Qel::String& question, const Qel::String& second, const KUID& kuid,
          ResultsLog* log) override {
    seen = std::string(question.CStr()) + "|" + second.CStr() + (log ? "|log" : "");
    kuidSeen = kuid;
    entered = true;
    watchdog::Eventually([&] { return release.load(); });
    returnedEarly = transactionReturned.load();
    return 42;
  }
  std::string seen;  // written before `entered` is set
  KUID kuidSeen;
  std::atomic<bool> entered{false}, release{false};
  std::atomic<bool> transactionReturned{false}, returnedEarly{false};
};

Bytes QuestionPayload(u32 id, const std::string& text, const KUID& kuid) {
  Bytes b = FakePymServer::Words({id, u32(text.size())});
  b.insert(b.end(), text.begin(), text.end());
  Buf k;
  KUID::Write(kuid, k.s);
  FakePymServer::AppendBytes(b, Contents(k.s));
  return b;
}

TEST_F(ConnectionTest, QuestionsAreAnsweredBeforeTheirTransactionEnds) {
  server_->SetAutoReply(false);
  QuestionCallback callback;
  std::atomic<bool> okA{false}, okB{false};
  u32 idA = 0, idB = 0;
  {
    watchdog::Task a([&] {
      okA = Transact(0x70, {'A'}, nullptr, nullptr, false, &callback);
      callback.transactionReturned = true;
    });
    watchdog::Task b([&] { okB = Transact(0x70, {'B'}); });
    ASSERT_TRUE(server_->WaitForFrames(2));
    for (const auto& f : server_->GetFrames()) (f.payload == Bytes{'A'} ? idA : idB) = f.id;
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(idA, "replace?", KUID(5, 6, 1))));
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(idB, "b?", KUID())));
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(0x7777, "who?", KUID())));
    // Questions wait for the main thread to start their threads.
    ASSERT_TRUE(PumpUntil([&] { return callback.entered && server_->GetFrames().size() >= 4; }));
    // A's reply arrives while its question is still being answered.
    ASSERT_TRUE(server_->SendReply(idA, {1, 2}));
    ASSERT_TRUE(server_->SendReply(idB, {}));
    // Room for a wrong early return to happen; a right one never does.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    callback.release = true;
  }
  PymConnection::GetCurrent()->JoinQuestionThreads();
  EXPECT_TRUE(okA && okB);
  EXPECT_FALSE(callback.returnedEarly.load());
  EXPECT_EQ(callback.seen, "replace?|") << "no second text, no log";
  EXPECT_EQ(callback.kuidSeen, KUID(5, 6, 1));
  ASSERT_TRUE(server_->WaitForFrames(5));
  std::vector<std::pair<u32, u32>> answers;
  for (const auto& f : server_->GetFrames()) {
    if (f.opcode != kOpAnswer) continue;
    EXPECT_EQ(f.id, 0u);
    ASSERT_EQ(f.payload.size(), 8u);
    answers.emplace_back(WordAt(f.payload, 0), WordAt(f.payload, 4));
  }
  std::vector<std::pair<u32, u32>> expected = {
      {idA, 42}, {idB, kAnswerNoCallback}, {0x7777, kAnswerUnknownTransaction}};
  std::sort(answers.begin(), answers.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(answers, expected);

  // A question for a transaction that has ended.
  ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(idA, "late", KUID())));
  ASSERT_TRUE(PumpUntil([&] { return server_->GetFrames().size() >= 6; }));
  EXPECT_EQ(WordAt(server_->GetFrames().back().payload, 4), kAnswerUnknownTransaction);
}

Bytes g_hostRequest;
void EchoHost(TStream& request, TBuffer& reply) {
  u8 b;
  g_hostRequest.clear();
  while (request.ReadBytes(&b, 1) == 1) g_hostRequest.push_back(b);
  reply.WriteU32(0xC0FFEE);
}

std::atomic<u64> g_urlId{0};
std::atomic<u32> g_urlRest{0};
void OnUrl(u64 id, TStream& rest) {
  u32 v = 0;
  rest.ReadU32(v);
  g_urlRest = v;
  g_urlId = id;
}

TEST_F(ConnectionTest, CommandHostAndUrlNotifications) {
  // Without handlers both are dropped; the connection goes on.
  ASSERT_TRUE(server_->SendNote(kNoteCommandHost, {1, 2}));
  ASSERT_TRUE(server_->SendNote(kNoteUrlDone, Bytes(12, 0)));
  ASSERT_TRUE(server_->SendNote(99, Bytes(3, 0)));
  ASSERT_TRUE(Transact(0x80, {}));
  PumpMainThread();
  EXPECT_EQ(server_->GetFrames().size(), 1u);

  PymSetCommandHostCallback(&EchoHost);
  PymSetUrlCompletionHook(&OnUrl);
  ASSERT_TRUE(server_->SendNote(kNoteCommandHost, {7, 8, 9}));
  ASSERT_TRUE(PumpUntil([&] { return FrameOf(kOpCommandHostReply).opcode != ~0u; }));
  EXPECT_EQ(g_hostRequest, Bytes({7, 8, 9}));
  EXPECT_EQ(FrameOf(kOpCommandHostReply).payload, FakePymServer::Words({0xC0FFEE}));

  ASSERT_TRUE(server_->SendNote(kNoteUrlDone, FakePymServer::Words({5, 1, 0xABCD})));
  // Applied on the reader thread before any later reply is handed over.
  ASSERT_TRUE(Transact(0x81, {}));
  EXPECT_EQ(g_urlId.load(), (u64(1) << 32) | 5);
  EXPECT_EQ(g_urlRest.load(), 0xABCDu);
}

// A command during which the daemon ends the connection.
void HostWhoseConnectionEnds(TStream&, TBuffer& reply) {
  g_endingServer->CloseConnections();
  EXPECT_TRUE(watchdog::Eventually([] { return PymConnectionNumber() == 0; }));
  reply.WriteU32(1);
  g_hostRan = true;
}

// The daemon waited for the reply on the connection that ended: on a new one it answers nothing,
// and the connection would make the host a client the daemon never registered.
TEST_F(ConnectionTest, ACommandHostReplyNeverOpensANewConnection) {
  ASSERT_TRUE(Transact(0x80, {}));
  const u64 first = PymConnectionNumber();
  EXPECT_NE(first, 0u);
  g_endingServer = server_.get();
  PymSetCommandHostCallback(&HostWhoseConnectionEnds);
  ASSERT_TRUE(server_->SendNote(kNoteCommandHost, {7}));
  ASSERT_TRUE(PumpUntil([] { return g_hostRan.load(); }));
  PumpMainThread();
  EXPECT_EQ(FrameOf(kOpCommandHostReply).opcode, ~0u);
  EXPECT_EQ(server_->GetHandshakes().size(), 1u);
  EXPECT_EQ(PymConnectionNumber(), 0u);
  // The next request connects afresh, under a new number.
  ASSERT_TRUE(Transact(0x81, {}));
  EXPECT_GT(PymConnectionNumber(), first);
}

TEST_F(ConnectionTest, KeptResultsLogAndDeletedLog) {
  auto log = std::make_unique<ResultsLog>();
  ASSERT_TRUE(Transact(0x3, {}, nullptr, log.get(), true));
  const u32 id = FrameOf(0x3).id;
  // Results after the reply still reach a kept log; a later reply orders them.
  ASSERT_TRUE(server_->SendNote(kNoteResults,
                                FakePymServer::ResultsPayload(id, {{ResultsLog::kError, "x"}})));
  ASSERT_TRUE(Transact(0x90, {}));
  EXPECT_EQ(log->CountEntries(), 1u);
  // A log its owner deleted is never written (the sanitizer would see a write after free).
  log.reset();
  ASSERT_TRUE(server_->SendNote(kNoteResults,
                                FakePymServer::ResultsPayload(id, {{ResultsLog::kError, "y"}})));
  ASSERT_TRUE(Transact(0x91, {}));

  // Without keep, the registration ends with the transaction.
  ResultsLog plain;
  ASSERT_TRUE(Transact(0x92, {}, nullptr, &plain, false));
  ASSERT_TRUE(server_->SendNote(
      kNoteResults, FakePymServer::ResultsPayload(FrameOf(0x92).id, {{ResultsLog::kError, "z"}})));
  ASSERT_TRUE(Transact(0x93, {}));
  EXPECT_EQ(plain.CountEntries(), 0u);
}

TEST_F(ConnectionTest, ClosedClientSendsNothingAndWrongAnswersFailTheConnect) {
  PymCloseDatabase();
  EXPECT_TRUE(server_->WaitForGoodbyes(1));
  EXPECT_TRUE(server_->WaitForNoConnection());
  EXPECT_FALSE(PymIsClientOpen());
  Buf empty;
  EXPECT_FALSE(Transact(0x20, {}));
  EXPECT_FALSE(PymPost(0x21, empty.s));
  EXPECT_TRUE(server_->GetFrames().empty());

  EXPECT_FALSE(PymConnect()) << "no connection while closed";

  // A connection of its own, as the client makes one while it opens.
  PymConnection connection(options_, 1);
  server_->SetHandshakeAnswer(FourCC("NOPE"), 0, 0);
  EXPECT_FALSE(connection.Connect());
  EXPECT_FALSE(connection.IsConnected());
  server_->SetHandshakeAnswer(kTagDaemon, 3, 4);
  EXPECT_TRUE(connection.Connect());
  EXPECT_TRUE(connection.Connect()) << "connected already";
  EXPECT_EQ(server_->GetConnectionCount(), 3u);
  u32 first = 0, second = 0;
  connection.GetHandshakeWords(&first, &second);
  EXPECT_EQ(std::make_pair(first, second), std::make_pair(3u, 4u));
  connection.Close();
  EXPECT_TRUE(server_->WaitForGoodbyes(2));
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_FALSE(connection.Connect()) << "closed for good";
}

// A daemon that takes the connection and never answers the handshake is frozen: the open fails
// after one silence limit instead of waiting that long once per connection try.
TEST_F(ConnectionTest, ASilentHandshakeEndsTheTries) {
  PymCloseDatabase();
  ASSERT_TRUE(server_->WaitForNoConnection());
  const u32 before = server_->GetConnectionCount();
  server_->SetHandshakeAnswer(0, 0, 0);
  struct Restore {
    ~Restore() {
      PymSetSilenceLimit(kDefaultSilenceLimitMs);
      PymSetConnectPauseMs(kConnectPauseMs);
    }
  } restore;
  PymSetSilenceLimit(100);
  PymSetConnectPauseMs(1);
  bool opened = true;
  watchdog::Task open([&] { opened = PymOpenDatabase(options_); });
  open.Join();
  EXPECT_FALSE(opened);
  EXPECT_EQ(server_->GetConnectionCount(), before + 1);

  // A daemon that answers again is found by the next open.
  server_->SetHandshakeAnswer(kTagDaemon, 3, 4);
  EXPECT_TRUE(PymOpenDatabase(options_));
}

}  // namespace
