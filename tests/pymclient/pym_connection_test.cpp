#include "pymclient/pym_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/networking.h"
#include "core/tcx_dispatcher.h"
#include "core/thread_watchdog.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_search.h"
#include "qel/dynamic_buffer.h"
#include "support/fake_pym_server.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces)
using Bytes = std::vector<u8>;

std::atomic<u32> g_messages{0};
std::atomic<u32> g_lastMessage{0};
void OnMessage(u32 value) {
  g_lastMessage = value;
  g_messages.fetch_add(1);
}

// A memory stream holding `bytes`, positioned at its start.
struct Buf {
  explicit Buf(const Bytes& bytes = {}) {
    if (!bytes.empty()) s.Write(bytes.data(), u32(bytes.size()));
    s.Seek(0, 0);
  }
  TBuffer s{new Qel::DynamicBuffer(), true};
};

Bytes Contents(TBuffer& b) {
  const Qel::DynamicBuffer& d = *b.GetBuffer();
  return Bytes(d.GetData(), d.GetData() + d.GetDataSize());
}

Bytes Pattern(size_t n, u8 seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = u8(seed + i * 7);
  return b;
}

u32 WordAt(const Bytes& b, size_t offset) {
  return u32(b[offset]) | (u32(b[offset + 1]) << 8) | (u32(b[offset + 2]) << 16) |
         (u32(b[offset + 3]) << 24);
}

// A temporary installation with a scripted daemon published for it and the client open.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    InitNetworking();
    char pattern[] = "/tmp/kestro-connXXXXXX";
    root_ = ::mkdtemp(pattern);
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.c_str())));
    database_ = GetDatabasePath().CStr();
    server_ = std::make_unique<FakePymServer>(database_);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->Publish());
    g_messages = 0;
    options_.messageCallback = &OnMessage;
    options_.mayStartDaemon = 0;
    if (openClient_) {
      ASSERT_TRUE(PymOpenDatabase(options_));
    }
  }
  void TearDown() override {
    PymCloseDatabase();
    PymDisconnect(true);
    PymSetCommandHostCallback(nullptr);
    PymSetUrlCompletionHook(nullptr);
    server_.reset();
    std::system(("rm -rf '" + root_ + "'").c_str());
  }

  // Runs queued main-thread calls until `done` holds.
  template <class Pred>
  bool PumpUntil(Pred done) {
    return watchdog::Eventually([&] {
      PumpMainThread();
      return done();
    });
  }

  // The frame of the opcode that arrived first, or a frame with opcode ~0.
  FakePymServer::Frame FrameOf(u32 opcode) {
    for (const auto& f : server_->GetFrames()) {
      if (f.opcode == opcode) return f;
    }
    return FakePymServer::Frame{~0u, 0, {}};
  }

  bool Transact(u32 opcode, const Bytes& request, Bytes* reply = nullptr, ResultsLog* log = nullptr,
                bool keep = false, PymTransactionCallback* callback = nullptr) {
    Buf req(request);
    Buf rep;
    const bool ok = PymTransact(opcode, req.s, rep.s, callback, log, keep);
    if (reply) *reply = Contents(rep.s);
    return ok;
  }

  bool openClient_ = true;
  std::string root_;
  std::string database_;
  std::unique_ptr<FakePymServer> server_;
  PymClientOptions options_;
};

TEST_F(ConnectionTest, HandshakeAndFrames) {
  const auto handshakes = server_->GetHandshakes();
  ASSERT_EQ(handshakes.size(), 1u);
  EXPECT_EQ(handshakes[0].tag, 0x50594D43u);
  EXPECT_EQ(handshakes[0].version, 360u);
  EXPECT_EQ(handshakes[0].build, 48249u);
  EXPECT_EQ(handshakes[0].isClient, 1u);
  EXPECT_EQ(handshakes[0].databasePath, database_);
  u32 first = 0, second = 0;
  PymGetHandshakeWords(&first, &second);
  EXPECT_EQ(first, 0x11u);
  EXPECT_EQ(second, 0x22u);
  EXPECT_TRUE(PymIsConnected());

  // The payload goes from the request's position to its end.
  Buf request({1, 2, 3, 4, 5});
  u8 skipped[2];
  request.s.Read(skipped, 2);
  Buf reply({9});
  ASSERT_TRUE(PymTransact(0x2A, request.s, reply.s, nullptr, nullptr, false));
  EXPECT_EQ(Contents(reply.s), Bytes({9})) << "an empty body leaves the reply alone";

  Buf empty;
  ASSERT_TRUE(PymPost(0x32, empty.s));
  ASSERT_TRUE(server_->WaitForFrames(2));
  const auto frames = server_->GetFrames();
  EXPECT_EQ(frames[0].opcode, 0x2Au);
  EXPECT_NE(frames[0].id, 0u);
  EXPECT_EQ(frames[0].payload, Bytes({3, 4, 5}));
  EXPECT_EQ(frames[1].opcode, 0x32u);
  EXPECT_EQ(frames[1].id, 0u) << "a post has no transaction id";
  EXPECT_TRUE(frames[1].payload.empty());
  EXPECT_EQ(server_->GetConnectionCount(), 1u) << "one connection for every request";
}

TEST_F(ConnectionTest, TransactionIdsSkipZero) {
  PymSetNextTransactionIdForTest(0xFFFFFFFFu);
  ASSERT_TRUE(Transact(0x10, {}));
  ASSERT_TRUE(Transact(0x11, {}));
  const auto frames = server_->GetFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].id, 0xFFFFFFFFu);
  EXPECT_EQ(frames[1].id, 1u);
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
  EXPECT_TRUE(okA.load());
  EXPECT_TRUE(okB.load());
  EXPECT_EQ(replyA, bodyA);
  EXPECT_EQ(replyB, bodyB);
  EXPECT_EQ(entriesA, 2u);
  EXPECT_EQ(entriesB, 1u);
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

TEST_F(ConnectionTest, ConnectionLossFailsWaitersAndNextRequestReconnects) {
  server_->SetAutoReply(false);
  std::atomic<int> failures{0};
  {
    watchdog::Task a([&] { failures += Transact(0x50, {1}) ? 0 : 1; });
    watchdog::Task b([&] { failures += Transact(0x51, {2}) ? 0 : 1; });
    ASSERT_TRUE(server_->WaitForFrames(2));
    server_->CloseConnections();
  }
  EXPECT_EQ(failures.load(), 2);
  EXPECT_TRUE(watchdog::Eventually([] { return !PymIsConnected(); }));

  server_->SetAutoReply(true);
  EXPECT_TRUE(Transact(0x52, {3}));
  EXPECT_EQ(server_->GetConnectionCount(), 2u);
  EXPECT_TRUE(PymIsConnected());
}

// Daemon input that must drop the connection: each fails the waiting transaction, and the next
// request connects afresh.
TEST_F(ConnectionTest, HostileMessagesDropTheConnection) {
  struct Case {
    const char* what;
    Bytes (*bytes)(u32 id);
  };
  const Case cases[] = {
      {"reply over the limit",
       [](u32 id) {
         return FakePymServer::Words({kTagReply, id, kMaxMessageLength + 1});
       }},
      {"notification over the limit",
       [](u32) {
         return FakePymServer::Words({kTagNotify, kNoteMessage, 0xFFFFFFFFu});
       }},
      {"unknown-id reply over the limit",
       [](u32) {
         return FakePymServer::Words({kTagReply, 0xBEEF, 0x80000000u});
       }},
      {"unknown tag",
       [](u32) {
         return FakePymServer::Words({FourCC("junk"), 0, 0});
       }},
  };
  u32 connections = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_->SetAutoReply(false);
    const size_t before = server_->GetFrames().size();
    std::atomic<bool> ok{true};
    {
      watchdog::Task t([&] { ok = Transact(0x60, {}); });
      ASSERT_TRUE(server_->WaitForFrames(before + 1));
      ASSERT_TRUE(server_->SendRaw(c.bytes(server_->GetFrames().back().id)));
    }
    EXPECT_FALSE(ok.load());
    server_->SetAutoReply(true);
    EXPECT_TRUE(Transact(0x61, {}));
    EXPECT_EQ(server_->GetConnectionCount(), ++connections);
  }
}

TEST_F(ConnectionTest, SearchReplyCounts) {
  auto kuids = [](std::initializer_list<std::pair<u32, u32>> list) {
    Bytes out;
    for (auto [word, content] : list) {
      FakePymServer::AppendU32(out, content);
      FakePymServer::AppendU32(out, word);
    }
    return out;
  };
  struct Case {
    const char* what;
    Bytes reply;
    bool ok;
    size_t appended;
  };
  const Case cases[] = {
      {"two",
       [&] {
         Bytes b = FakePymServer::Words({2});
         FakePymServer::AppendBytes(b, kuids({{5, 10}, {(1u << 25) | 6, 11}}));
         return b;
       }(),
       true, 2},
      {"empty", FakePymServer::Words({0}), true, 0},
      {"no count", {}, false, 0},
      {"count over what the reply holds",
       [&] {
         Bytes b = FakePymServer::Words({5});
         FakePymServer::AppendBytes(b, kuids({{7, 1}}));
         return b;
       }(),
       false, 1},
      {"count over the limit", FakePymServer::Words({0xFFFFFFFFu, 1, 2}), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_->SetHandler([&](FakePymServer& s, const FakePymServer::Frame& f) {
      return f.opcode == kOpSearchAssets && s.SendReply(f.id, c.reply);
    });
    std::vector<KUID> out = {KUID(1, 1, 0)};
    EXPECT_EQ(PymSearchAssets(nullptr, out), c.ok);
    EXPECT_EQ(out.size(), 1 + c.appended);
  }
  const auto search = FrameOf(kOpSearchAssets);
  EXPECT_EQ(search.payload, FakePymServer::Words({0})) << "no filter is u32 0";

  server_->SetHandler(nullptr);
  std::vector<KUID> out;
  Buf reply(FakePymServer::Words({1, 11, 3}));
  ASSERT_TRUE(ReadSearchReply(reply.s, out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], KUID(3, 11, 0));
}

class QuestionCallback final : public PymTransactionCallback {
 public:
  u32 Ask(const Qel::String& question, const Qel::String& second, const KUID& kuid,
          ResultsLog* log) override {
    std::lock_guard<std::mutex> lock(mutex);
    asked = question.CStr();
    secondEmpty = second.Length() == 0;
    kuidSeen = kuid;
    logNull = log == nullptr;
    return 42;
  }
  std::mutex mutex;
  std::string asked;
  bool secondEmpty = false;
  bool logNull = false;
  KUID kuidSeen;
};

Bytes QuestionPayload(u32 id, const std::string& text, const KUID& kuid) {
  Bytes b = FakePymServer::Words({id, u32(text.size())});
  b.insert(b.end(), text.begin(), text.end());
  Buf k;
  KUID::Write(kuid, k.s);
  FakePymServer::AppendBytes(b, Contents(k.s));
  return b;
}

TEST_F(ConnectionTest, QuestionsAreAnsweredFromTheirThread) {
  server_->SetAutoReply(false);
  QuestionCallback callback;
  std::atomic<bool> okA{false}, okB{false};
  {
    watchdog::Task a([&] { okA = Transact(0x70, {'A'}, nullptr, nullptr, false, &callback); });
    watchdog::Task b([&] { okB = Transact(0x70, {'B'}); });
    ASSERT_TRUE(server_->WaitForFrames(2));
    u32 idA = 0, idB = 0;
    for (const auto& f : server_->GetFrames()) (f.payload == Bytes{'A'} ? idA : idB) = f.id;
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(idA, "replace?", KUID(5, 6, 1))));
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(idB, "b?", KUID())));
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(0x7777, "who?", KUID())));
    // Questions wait for the main thread to start their threads.
    ASSERT_TRUE(PumpUntil([&] { return server_->GetFrames().size() >= 5; }));
    std::vector<std::pair<u32, u32>> answers;
    for (const auto& f : server_->GetFrames()) {
      if (f.opcode != kOpAnswer) continue;
      EXPECT_EQ(f.id, 0u);
      ASSERT_EQ(f.payload.size(), 8u);
      answers.emplace_back(WordAt(f.payload, 0), WordAt(f.payload, 4));
    }
    std::sort(answers.begin(), answers.end());
    std::vector<std::pair<u32, u32>> expected = {
        {idA, 42}, {idB, kAnswerNoCallback}, {0x7777, kAnswerUnknownTransaction}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(answers, expected);
    ASSERT_TRUE(server_->SendReply(idA, {}));
    ASSERT_TRUE(server_->SendReply(idB, {}));
  }
  EXPECT_TRUE(okA.load());
  EXPECT_TRUE(okB.load());
  EXPECT_EQ(callback.asked, "replace?");
  EXPECT_TRUE(callback.secondEmpty);
  EXPECT_TRUE(callback.logNull);
  EXPECT_EQ(callback.kuidSeen, KUID(5, 6, 1));

  // A question for a transaction that has been answered already.
  const u32 idA = FrameOf(0x70).id;
  ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(idA, "late", KUID())));
  ASSERT_TRUE(PumpUntil([&] { return server_->GetFrames().size() >= 6; }));
  EXPECT_EQ(WordAt(server_->GetFrames().back().payload, 4), kAnswerUnknownTransaction);
}

// The daemon replies while the caller's callback is still answering: the transaction must not
// return (and its caller free the callback) before the answer is out.
class SlowCallback final : public PymTransactionCallback {
 public:
  u32 Ask(const Qel::String&, const Qel::String&, const KUID&, ResultsLog*) override {
    entered = true;
    watchdog::Eventually([&] { return release.load(); });
    returnedEarly = transactionReturned.load();
    return 1;
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> transactionReturned{false};
  std::atomic<bool> returnedEarly{false};
};

TEST_F(ConnectionTest, ReplyDuringQuestionWaitsForTheAnswer) {
  server_->SetAutoReply(false);
  SlowCallback callback;
  std::atomic<bool> ok{false};
  {
    watchdog::Task t([&] {
      ok = Transact(0x71, {}, nullptr, nullptr, false, &callback);
      callback.transactionReturned = true;
    });
    ASSERT_TRUE(server_->WaitForFrames(1));
    const u32 id = server_->GetFrames()[0].id;
    ASSERT_TRUE(server_->SendNote(kNoteQuestion, QuestionPayload(id, "q", KUID())));
    ASSERT_TRUE(PumpUntil([&] { return callback.entered.load(); }));
    ASSERT_TRUE(server_->SendReply(id, {1, 2}));
    // Room for a wrong early return to happen; a right one never does.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    callback.release = true;
  }
  PymJoinQuestionThreads();
  EXPECT_TRUE(ok.load());
  EXPECT_FALSE(callback.returnedEarly.load());
  ASSERT_TRUE(server_->WaitForFrames(2));
  EXPECT_EQ(server_->GetFrames()[1].opcode, kOpAnswer);
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

TEST_F(ConnectionTest, ClosedClientSendsNothingAndSaysGoodbye) {
  PymCloseDatabase();
  EXPECT_TRUE(server_->WaitForGoodbyes(1));
  EXPECT_TRUE(server_->WaitForNoConnection());
  EXPECT_FALSE(PymIsClientOpen());
  Buf empty;
  EXPECT_FALSE(Transact(0x20, {}));
  EXPECT_FALSE(PymPost(0x21, empty.s));
  EXPECT_TRUE(server_->GetFrames().empty());
}

class UnopenedConnectionTest : public ConnectionTest {
 protected:
  UnopenedConnectionTest() { openClient_ = false; }
};

TEST_F(UnopenedConnectionTest, WrongHandshakeAnswerFailsTheConnect) {
  server_->SetHandshakeAnswer(FourCC("NOPE"), 0, 0);
  EXPECT_FALSE(PymConnect());
  EXPECT_FALSE(PymIsConnected());
  server_->SetHandshakeAnswer(kTagDaemon, 3, 4);
  EXPECT_TRUE(PymConnect());
  EXPECT_TRUE(PymConnect()) << "connected already";
  EXPECT_EQ(server_->GetConnectionCount(), 2u);
  u32 first = 0, second = 0;
  PymGetHandshakeWords(&first, &second);
  EXPECT_EQ(first, 3u);
  EXPECT_EQ(second, 4u);
  PymDisconnect(false);
  EXPECT_TRUE(server_->WaitForGoodbyes(1));
  EXPECT_FALSE(PymIsConnected());
}

// The reader's message handling on raw bytes, without a socket.
class ByteSource final : public PymMessageSource {
 public:
  explicit ByteSource(Bytes bytes) : bytes_(std::move(bytes)) {}
  bool Receive(void* buffer, u32 n) override {
    if (bytes_.size() - at_ < n) return false;
    std::copy_n(bytes_.data() + at_, n, static_cast<u8*>(buffer));
    at_ += n;
    return true;
  }
  size_t Left() const { return bytes_.size() - at_; }

 private:
  Bytes bytes_;
  size_t at_ = 0;
};

TEST(DaemonMessageTest, ReadsInStepAndRefusesHostileInput) {
  SetMainThread();
  struct Case {
    const char* what;
    Bytes bytes;
    PymMessageResult result;
    size_t left;
  };
  Bytes unknownReply = FakePymServer::Words({kTagReply, 0x51515151u, 5});
  FakePymServer::AppendBytes(unknownReply, {1, 2, 3, 4, 5, 0xEE});
  Bytes note = FakePymServer::Words({kTagNotify, 77, 3, 0});
  const Case cases[] = {
      {"unknown reply body is skipped", unknownReply, PymMessageResult::kHandled, 1},
      {"odd kind is read whole", note, PymMessageResult::kHandled, 1},
      {"results for nobody",
       [] {
         Bytes payload = FakePymServer::ResultsPayload(4, {{1, "t"}});
         Bytes b = FakePymServer::Words({kTagNotify, kNoteResults, u32(payload.size())});
         FakePymServer::AppendBytes(b, payload);
         return b;
       }(),
       PymMessageResult::kHandled, 0},
      {"short notification", FakePymServer::Words({kTagNotify, 0, 100, 1}),
       PymMessageResult::kFailed, 4},
      {"notification over the limit", FakePymServer::Words({kTagNotify, 0, kMaxMessageLength + 1}),
       PymMessageResult::kFailed, 0},
      {"short reply body", FakePymServer::Words({kTagReply, 9, 8, 1}), PymMessageResult::kFailed,
       4},
      {"unknown tag", FakePymServer::Words({1, 2, 3}), PymMessageResult::kUnknownTag, 4},
      {"nothing", {}, PymMessageResult::kFailed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ByteSource source(c.bytes);
    EXPECT_EQ(PymReadDaemonMessage(source), c.result);
    EXPECT_EQ(source.Left(), c.left);
  }
  PymDestroyQueuedNotifications();
  PumpMainThread();
}

}  // namespace
