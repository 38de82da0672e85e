// Conformance of the daemon's side of the protocol, checked from a raw socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "assetdata/cdp_package.h"
#include "assetdata/results_log.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "daemon/asset_store.h"
#include "daemon/command_host_registry.h"
#include "daemon/daemon_test_util.h"
#include "daemon/request_handlers.h"
#include "daemon/server.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "support/thread_watchdog.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;
namespace pp = PymProtocol;

constexpr u32 kRepl = FourCC("repl");
constexpr u32 kNote = FourCC("note");

std::vector<u8> SoupBytes(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, soup);
  return std::vector<u8>(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
}

class DaemonProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeAsset(t_.path(), "local", "a", Config("<kuid:10:1>", "username \"Alpha\"\n"));
    MakeAsset(t_.path(), "local", "b", Config("<kuid:10:2>", "username \"Beta\"\n"));
    std::string error;
    ASSERT_TRUE(store_.Open(t_.path(), &error)) << error;
    ASSERT_TRUE(server_.Listen(0, &error)) << error;
    runner_ = std::thread([this] { server_.Run(); });
  }
  void TearDown() override {
    server_.Stop();
    if (runner_.joinable()) runner_.join();
  }
  void Connect(RawClient& c) {
    ASSERT_TRUE(c.Connect(server_.Port()));
    ASSERT_TRUE(c.Handshake());
  }
  // Connects `host` as the command host.
  void ConnectHost(RawClient& host) {
    Connect(host);
    std::vector<u8> reply;
    ASSERT_TRUE(host.SendFrame(0x8C, 0, {}));
    ASSERT_TRUE(host.Transact(0, 1, {}, reply));
  }

  scratch::Folder t_;
  AssetStore store_;
  RequestHandlers handlers_{store_};
  Server server_{handlers_};
  std::thread runner_;
};

TEST_F(DaemonProtocol, EveryTransactionIsAnsweredPostsAreNotAndSearchesFind) {
  RawClient c;
  Connect(c);
  // Posts first: the first message back must be the reply to the next transaction.
  ASSERT_TRUE(c.SendFrame(0x4242, 0, {1, 2, 3}));
  ASSERT_TRUE(c.SendFrame(0x96, 0, Bytes().U32(5).U32(2).data));
  // Keep-alive and opcodes the daemon does not know both get an empty body under their own id.
  for (u32 opcode : {0x0u, 0x4242u, 0x99u}) {
    ASSERT_TRUE(c.SendFrame(opcode, 77 + opcode, Bytes().U32(1).U32(2).data));
    Message m;
    ASSERT_TRUE(c.Read(m));
    EXPECT_EQ(std::tie(m.tag, m.word, m.body), std::make_tuple(kRepl, 77 + opcode, Bytes().data))
        << opcode;
  }

  // Searches; a refused filter gets a kind-3 note for the same request id, then a reply with no
  // KUIDs.
  std::vector<u8> reply;
  std::vector<Message> notes;
  ASSERT_TRUE(c.Transact(0x2, 1, Bytes().U32(0).data, reply, &notes));
  EXPECT_EQ(ParseKuids(reply), (std::vector<KUID>{KUID(10, 1, 0), KUID(10, 2, 0)}));
  EXPECT_TRUE(notes.empty());
  ASSERT_TRUE(c.Transact(0x2, 2, Str(0, "beta"), reply, &notes));
  EXPECT_EQ(ParseKuids(reply), (std::vector<KUID>{KUID(10, 2, 0)}));
  ASSERT_TRUE(c.Transact(0x2, 3, Bytes().U32(FourCC("nope")).data, reply, &notes));
  EXPECT_EQ(reply, Bytes().U32(0).data);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(std::tie(notes[0].tag, notes[0].word), std::make_tuple(kNote, 3u));
  ASSERT_GE(notes[0].body.size(), 4u);
  EXPECT_EQ(ByteOrder::LoadLE32(notes[0].body.data()), 3u) << "the request id";
  Qel::DynamicBuffer buffer;
  buffer.Write(notes[0].body.data() + 4, u32(notes[0].body.size() - 4));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  ResultsLog log;
  ResultsLog::Read(in, log);
  EXPECT_EQ(std::make_tuple(log.CountEntries(), log.GetErrorCount()), std::make_tuple(1u, 1u));
}

TEST_F(DaemonProtocol, AssetReadsAnswerFromTheIndex) {
  MakeAsset(
      t_.path(), "local", "c",
      Config("<kuid:10:3>",
             "author \"Zed\"\nkestro-build 3.1\nkuid-table {\n0 <kuid:10:1>\n1 <kuid:99:9>\n}\n"
             "obsolete-table {\n0 <kuid:10:2>\n}\n"));
  MakeAsset(t_.path(), "local", "a2", Config("<kuid2:10:1:2>", "kestro-build 2.9\n"));
  std::string error;
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  RawClient c;
  Connect(c);
  const KUID alpha(10, 1, 0);
  const KUID alpha2(10, 1, 2);
  const KUID unknown(77, 7, 0);
  const std::string local = t_.path() + "/local/b";
  Soup textures;
  textures.EnsureContainer();
  textures.SetNamedTag("convert", "1");
  const struct {
    u32 opcode;
    std::vector<u8> request;
    std::vector<u8> reply;
  } cases[] = {
      {0x1A, Bytes().Kuid(alpha).data, Bytes().Kuid(alpha).data},
      {0x1A, Bytes().Kuid(KUID(10, 1, 5)).data, Bytes().Kuid(alpha2).data},
      {0x1A, Bytes().Kuid(unknown).data, Bytes().Kuid(KUID::Null()).data},
      {0x1B, Bytes().Kuid(alpha).data, Bytes().Kuid(alpha2).data},
      {0x1B, Bytes().Kuid(unknown).data, Bytes().Kuid(unknown).data},
      {0x2A, Bytes().U32(2).Kuid(KUID(10, 3, 0)).Kuid(unknown).data,
       Bytes().U32(2).Kuid(alpha).Kuid(KUID(99, 9, 0)).data},
      {0x2B, Bytes().Kuid(KUID(10, 3, 0)).data, Bytes().U32(1).Kuid(KUID(10, 2, 0)).data},
      {0x5A, Bytes().U32(10).data, Bytes().U32(10).Name("Zed").data},
      {0x5A, Bytes().U32(11).data, Bytes().U32(~0u).Name("").data},
      {0xFD, {}, Bytes().Name("2.9,3.1").data},
      {0x1C, Bytes().Kuid(alpha).data, Bytes().Text("").data},
      {0x17, Bytes().Kuid(KUID(10, 2, 0)).U8(0).data, Bytes().Name("local").Text(local).data},
      {0x17, Bytes().Kuid(unknown).U8(0).data, Bytes().Name("").Text("").data},
      {0x1E, Bytes().Kuid(unknown).U8(0).data, Bytes().U64(~0ull).Name("").Text("").data},
      {0x1E, Bytes().Kuid(KUID(10, 2, 0)).U8(0).data,
       Bytes().U64(1).Name("local").Text(local).data},
      {0x20, Bytes().U64(1).data, Bytes().Name("local").Text(local).data},
      {0x1F, Bytes().U64(1).data, {}},
      {0x20, Bytes().U64(1).data, Bytes().Name("").Text("").data},
      {0x87, {}, Bytes().U8(0).U32(0).data},
      {0xB5, {}, Bytes().U8(0).data},
      // The texture-conversion answer follows the user's setting.
      {0x65, Bytes().Name("textures").Append(SoupBytes(textures)).data, Bytes().U8(1).data},
      {0xB5, {}, Bytes().U8(1).data},
  };
  u32 id = 1;
  for (const auto& k : cases) {
    std::vector<u8> reply;
    ASSERT_TRUE(c.Transact(k.opcode, id++, k.request, reply)) << k.opcode;
    EXPECT_EQ(reply, k.reply) << std::hex << k.opcode << " case " << id - 1;
  }
  // A handle that its connection leaves open goes with the connection.
  std::vector<u8> opened;
  {
    RawClient leaver;
    Connect(leaver);
    ASSERT_TRUE(leaver.Transact(0x1E, 1, Bytes().Kuid(KUID(10, 2, 0)).U8(0).data, opened));
  }
  const std::vector<u8> handle(opened.begin(), opened.begin() + 8);
  std::vector<u8> path;
  for (int tries = 0; tries < 2000; ++tries) {
    ASSERT_TRUE(c.Transact(0x20, id++, handle, path));
    if (path == Bytes().Name("").Text("").data) break;
    usleep(5000);
  }
  EXPECT_EQ(path, Bytes().Name("").Text("").data);

  std::vector<u8> first;
  std::vector<u8> second;
  ASSERT_TRUE(c.Transact(0x3A, id++, {}, first));
  ASSERT_TRUE(c.Transact(0x3A, id++, {}, second));
  EXPECT_NE(first, second);
  ASSERT_EQ(first.size(), 8u);
  EXPECT_EQ(
      KUID::Unpack(ByteOrder::LoadLE32(first.data() + 4), ByteOrder::LoadLE32(first.data())).userId,
      AssetStore::kLocalUserId);
}

TEST_F(DaemonProtocol, ChunkedSettingsRoundTripAndBadWritesAreRefused) {
  RawClient c;
  Connect(c);
  // A group of about 100 KiB, sent in 32 KiB pieces and then in pieces of 7 bytes.
  Soup big;
  big.EnsureContainer();
  big.SetNamedTag("blob", Qel::PString(std::string(100 * 1024, 'q')));
  big.SetNamedTag("language", "NL");
  for (size_t chunk : {size_t(32768), size_t(7)}) {
    const std::vector<u8> payload = Bytes().Name("big").Append(SoupBytes(big)).data;
    ASSERT_TRUE(c.SendFrame(0x65, 20, payload, chunk));
    Message m;
    ASSERT_TRUE(c.Read(m));
    ASSERT_EQ(m.tag, kRepl);
    EXPECT_EQ(m.body, std::vector<u8>{1});
  }
  std::vector<u8> reply;
  ASSERT_TRUE(c.Transact(0x64, 21, Bytes().Name("big").data, reply));
  EXPECT_EQ(reply, SoupBytes(big));
  ASSERT_TRUE(c.Transact(0x66, 22, Bytes().Name("big").Name("language").data, reply));
  EXPECT_EQ(reply, Bytes().Name("NL").data);
  // A missing group reads as the empty soup, a missing key as the empty name.
  ASSERT_TRUE(c.Transact(0x64, 24, Bytes().Name("none").data, reply));
  EXPECT_EQ(reply, SoupBytes(Soup()));
  ASSERT_TRUE(c.Transact(0x66, 25, Bytes().Name("big").Name("nokey").data, reply));
  EXPECT_EQ(reply, Bytes().U32(0).data);

  // Bad writes are refused with a note.
  Soup g;
  g.EnsureContainer();
  g.SetNamedTag("language", "XX");
  std::vector<u8> truncated = SoupBytes(g);
  truncated.resize(truncated.size() - 3);
  std::vector<u8> badMagic = SoupBytes(g);
  badMagic[0] = 'Z';
  u32 id = 100;
  for (const auto& p : {Bytes().Name("internet").Append(truncated).data,
                        Bytes().Name("internet").Append(badMagic).data,
                        Bytes().Name("").Append(SoupBytes(g)).data, std::vector<u8>()}) {
    std::vector<Message> notes;
    ASSERT_TRUE(c.Transact(0x65, ++id, p, reply, &notes));
    EXPECT_EQ(reply, std::vector<u8>{0}) << id;
    EXPECT_EQ(notes.size(), 1u) << id;
  }
  EXPECT_EQ(store_.GetSettingString("internet", "language"), "US");
}

// A request that takes long (here a delete that waits for the change lock a repair holds) is
// kept alive with message notes of value 0, so that the tool does not take it for frozen.
TEST_F(DaemonProtocol, LongRequestsSendKeepAliveNotes) {
  RawClient c;
  Connect(c);
  std::unique_lock<OwnedMutex> change(store_.ChangeMutex());
  ASSERT_TRUE(c.SendFrame(pp::kOpDeleteAsset, 30, Bytes().Kuid(KUID(10, 2, 0)).U8(1).data));
  Message m;
  ASSERT_TRUE(c.Read(m));
  EXPECT_EQ(std::tie(m.tag, m.word, m.body), std::make_tuple(kNote, 0u, Bytes().U32(0).data));
  change.unlock();
  while (c.Read(m) && m.tag == kNote) {
  }
  EXPECT_EQ(std::tie(m.tag, m.word, m.body), std::make_tuple(kRepl, 30u, std::vector<u8>{1}));
}

TEST_F(DaemonProtocol, GoodbyeAndBrokenStreamsCloseOnlyThatConnection) {
  RawClient other;
  Connect(other);
  const struct {
    const char* what;
    bool handshake;
    std::vector<u8> bytes;
    bool shutdown;
  } cases[] = {
      {"goodbye", true, Bytes().U32(1).data, false},
      {"no handshake", false, Bytes().U32(FourCC("HTTP")).U32(0).U32(0).U32(0).U32(0).data, false},
      // Dropped before any payload is read.
      {"length over the limit", true, Bytes().U32(0x2).U32(5).U32(0x10000001).data, false},
      // Ends without a reply.
      {"frame cut short", true, Bytes().U32(0x2).U32(5).U32(100).U32(0).data, true},
  };
  for (const auto& k : cases) {
    RawClient c;
    ASSERT_TRUE(c.Connect(server_.Port()));
    if (k.handshake) {
      ASSERT_TRUE(c.Handshake());
    }
    ASSERT_TRUE(c.Send(k.bytes));
    if (k.shutdown) shutdown(c.Fd(), SHUT_WR);
    EXPECT_TRUE(c.SeesClose()) << k.what;
  }
  std::vector<u8> reply;
  EXPECT_TRUE(other.Transact(0x0, 1, {}, reply));
}

// The folder check of a handshake: a daemon serves the tool of its own folder even while the
// disk fails to show that folder (an I/O error on a look-up; here the folder is gone), and no
// tool of another folder.
TEST_F(DaemonProtocol, HandshakesNameTheDaemonsFolderEvenWhenTheDiskFailsALookUp) {
  const std::string own = t_.path() + "/own";
  ASSERT_TRUE(std::filesystem::create_directory(own));
  // Another path to the same folder that no resolving undoes: a bind mount, made in a mount
  // namespace of this thread's own (the server's thread, started after, shares it). Root only.
  const std::string bound = t_.path() + "/bound";
  ASSERT_TRUE(std::filesystem::create_directory(bound));
  const bool mounted = unshare(CLONE_NEWNS) == 0 &&
                       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       mount(own.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) == 0;
  ConnectionPolicy policy;
  policy.databaseFolder = own;
  Server server(handlers_, policy);
  std::string error;
  ASSERT_TRUE(server.Listen(0, &error)) << error;
  std::thread runner([&server] { server.Run(); });
  const struct {
    const char* what;
    std::string path;
    bool folderLooksGone;
    bool served;
    bool needsMount = false;
  } cases[] = {
      {"own folder", own + "/assets.tdx", false, true},
      {"another folder", t_.path() + "/assets.tdx", false, false},
      {"own folder, look-up fails", own + "/assets.tdx", true, true},
      {"another spelling, look-up fails", t_.path() + "/./own/assets.tdx", true, false},
      {"own folder through a bind mount", bound + "/assets.tdx", false, true, true},
      {"through a bind mount, own folder's look-up fails", bound + "/assets.tdx", true, false,
       true},
  };
  for (const auto& k : cases) {
    if (k.needsMount && !mounted) continue;
    if (k.folderLooksGone) std::filesystem::rename(own, own + ".away");
    RawClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    EXPECT_EQ(c.Handshake(k.path), k.served) << k.what;
    if (k.folderLooksGone) std::filesystem::rename(own + ".away", own);
  }
  server.Stop();
  runner.join();
  if (!mounted) GTEST_SKIP() << "a bind mount needs a mount namespace of its own (root)";
  umount2(bound.c_str(), MNT_DETACH);
}

TEST_F(DaemonProtocol, ConnectionsAreServedConcurrently) {
  constexpr int kClients = 4;
  constexpr int kRounds = 50;
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      RawClient c;
      if (!c.Connect(server_.Port()) || !c.Handshake()) return;
      for (int r = 0; r < kRounds; ++r) {
        std::vector<u8> reply;
        const u32 id = u32(i * 1000 + r + 1);
        if (!c.Transact(0x2, id, Str(0, i % 2 ? "alpha" : "beta"), reply)) return;
        if (ParseKuids(reply) != std::vector<KUID>{KUID(10, i % 2 ? 1 : 2, 0)}) return;
      }
      good.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), kClients);
}

TEST_F(DaemonProtocol, PackageRequestsOfOneConnectionRunSideBySide) {
  WriteFile(t_.path() + "/local/a/mesh/body.im", std::string(70000, 'm'));
  WriteFile(t_.path() + "/local/b/notes.txt", "beta notes");
  RawClient c;
  Connect(c);
  const KUID kuids[] = {KUID(10, 1, 0), KUID(10, 2, 0), KUID(77, 7, 0)};
  // What each asks for alone.
  std::vector<u8> alone[3];
  for (u32 k = 0; k < 3; ++k) {
    ASSERT_TRUE(c.Transact(pp::kOpSaveAssetToCdp, 100 + k, Bytes().Kuid(kuids[k]).U32(3).data,
                           alone[k]));
  }
  // More than any connection runs beside its reader, mixed with a quick request: each gets its
  // own reply, the same as alone, and the unknown asset's failure note comes before its reply.
  constexpr u32 kRequests = 40;
  for (u32 i = 0; i < kRequests; ++i) {
    ASSERT_TRUE(c.SendFrame(pp::kOpSaveAssetToCdp, 1 + i, Bytes().Kuid(kuids[i % 3]).U32(3).data));
  }
  ASSERT_TRUE(c.SendFrame(0x2, 1000, Str(0, "beta")));
  std::vector<bool> replied(kRequests, false);
  std::vector<bool> noted(kRequests, false);
  for (u32 left = kRequests + 1; left > 0; --left) {
    Message m;
    ASSERT_TRUE(c.Read(m));
    if (m.tag == kNote) {
      if (m.word != pp::kNoteResults) continue;
      ASSERT_GE(m.body.size(), 4u);
      const u32 id = ByteOrder::LoadLE32(m.body.data());
      ASSERT_TRUE(id >= 1 && id <= kRequests) << id;
      noted[id - 1] = true;
      ++left;
      continue;
    }
    ASSERT_EQ(m.tag, kRepl);
    if (m.word == 1000) {
      EXPECT_EQ(ParseKuids(m.body), std::vector<KUID>{KUID(10, 2, 0)});
      continue;
    }
    ASSERT_TRUE(m.word >= 1 && m.word <= kRequests && !replied[m.word - 1]) << m.word;
    replied[m.word - 1] = true;
    EXPECT_EQ(m.body, alone[(m.word - 1) % 3]) << m.word;
    EXPECT_EQ(noted[m.word - 1], (m.word - 1) % 3 == 2) << m.word;
  }
  // A client that goes with requests still running leaves the daemon serving the others.
  {
    RawClient leaver;
    Connect(leaver);
    for (u32 i = 0; i < 12; ++i) {
      ASSERT_TRUE(leaver.SendFrame(pp::kOpSaveAssetToCdp, 1 + i, Bytes().Kuid(kuids[0]).U32(3).data));
    }
  }
  std::vector<u8> reply;
  ASSERT_TRUE(c.Transact(pp::kOpSaveAssetToCdp, 2000, Bytes().Kuid(kuids[1]).U32(3).data, reply));
  EXPECT_EQ(reply, alone[1]);
}

TEST_F(DaemonProtocol, CloseRequestRepliesThenEndsTheServer) {
  RawClient idle;
  Connect(idle);
  RawClient c;
  Connect(c);
  std::vector<u8> reply;
  ASSERT_TRUE(c.Transact(0x10E, 5, {}, reply));
  EXPECT_TRUE(reply.empty());
  EXPECT_TRUE(c.SeesClose());
  EXPECT_TRUE(idle.SeesClose());
  runner_.join();  // Run returned without a Stop from the test
}

TEST_F(DaemonProtocol, HostCommandsReachARegisteredHostAndASilentOneTimesOut) {
  auto host = std::make_unique<RawClient>();
  RawClient sender;
  Connect(*host);
  Connect(sender);
  std::vector<u8> reply;
  const Bytes command = Bytes().U32(2).U32(5);
  auto run = [&](u32 limitMs) {
    EXPECT_TRUE(sender.Transact(kOpRunHostCommand, 9,
                                Bytes().U32(limitMs).Append(command.data).data, reply));
    return HostCommandOutcome(reply.size() >= 4 ? ByteOrder::LoadLE32(reply.data()) : 99);
  };
  EXPECT_EQ(run(1), HostCommandOutcome::kNoHost);
  // Requests of one connection are served in order: the keep-alive's reply follows the post's work.
  ASSERT_TRUE(host->SendFrame(0x8C, 0, {}));
  ASSERT_TRUE(host->Transact(0, 1, {}, reply));

  // A silent host: the command times out, and the host takes no other until it has answered.
  EXPECT_EQ(run(1), HostCommandOutcome::kTimedOut);
  EXPECT_EQ(run(1), HostCommandOutcome::kHostBusy);
  Message note;
  ASSERT_TRUE(host->Read(note));
  EXPECT_EQ(std::tie(note.tag, note.word, note.body), std::make_tuple(kNote, 1u, command.data));
  ASSERT_TRUE(host->SendFrame(0x8D, 0, {7}));
  ASSERT_TRUE(host->Transact(0, 2, {}, reply));
  watchdog::Task answer([&] {
    if (host->Read(note)) host->SendFrame(0x8D, 0, Bytes().U32(42).data);
  });
  EXPECT_EQ(run(30000), HostCommandOutcome::kAnswered);
  EXPECT_EQ(reply, Bytes().U32(0).U32(42).data);
  answer.Join();
  ASSERT_TRUE(sender.Transact(0xEC, 3, {}, reply));
  EXPECT_EQ(reply, std::vector<u8>{1});

  host.reset();
  EXPECT_TRUE(watchdog::Eventually([&] { return run(1) == HostCommandOutcome::kNoHost; }));
}

// The host's verdict on a validation becomes the record's faulty mark: errors set it (and the
// dependent's has-faulty-dependencies), warnings alone do not, a pass clears it, and the mark
// outlives a reopen of the store and a rebuild of the index.
TEST_F(DaemonProtocol, AValidationThatEndsWithErrorsMarksTheAssetFaultyUntilOnePasses) {
  const std::string build = "kestro-build 3.5\n";
  MakeAsset(t_.path(), "local", "v", Config("<kuid:10:5>", build));
  MakeAsset(t_.path(), "local", "w",
            Config("<kuid:10:6>", build + "kuid-table {\n0 <kuid:10:5>\n}\n"));
  std::string error;
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  const KUID checked(10, 5, 0);
  const KUID dependent(10, 6, 0);
  const auto flags = [this](const KUID& kuid) {
    AssetRecord r;
    EXPECT_TRUE(store_.GetAsset(kuid, r));
    return std::make_pair(r.HasFlag(PymFilterCodes::kFlagFaulty),
                          r.HasFlag(PymFilterCodes::kFlagHasFaultyDependencies));
  };
  const auto faulty = [&](const KUID& kuid) { return flags(kuid).first; };
  RawClient host;
  RawClient sender;
  Connect(host);
  Connect(sender);
  ASSERT_TRUE(host.SendFrame(0x8C, 0, {}));
  std::vector<u8> reply;
  ASSERT_TRUE(host.Transact(0, 1, {}, reply));

  const std::vector<u8> request =
      Bytes().Name("local").Text(t_.path() + "/local/v").data;
  u32 id = 10;
  const auto foundFaulty = [&] {
    std::vector<u8> found;
    EXPECT_TRUE(sender.Transact(0x2, ++id, Flag(PymFilterCodes::kFlagFaulty), found));
    const std::vector<KUID> kuids = ParseKuids(found);
    return std::find(kuids.begin(), kuids.end(), checked) != kuids.end();
  };
  // One validation, which the host answers with one finding of the given type (none for 0).
  const auto validate = [&](u32 findingType, bool hostValid) {
    ResultsLog log;
    if (findingType != 0) {
      ResultsLog::AddResult(&log, findingType, KestroPropertyRef(), "finding");
    }
    Qel::DynamicBuffer buffer;
    TBuffer out(&buffer, false);
    log.Write(out);
    out.WriteU8(hostValid ? 1 : 0);
    const std::vector<u8> answer(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
    watchdog::Task hostSide([&] {
      Message note;
      if (host.Read(note)) host.SendFrame(0x8D, 0, answer);
    });
    std::vector<u8> result;
    EXPECT_TRUE(sender.Transact(0x26, ++id, request, result));
    hostSide.Join();
    return !result.empty() && result.back() != 0;
  };

  const struct {
    u32 findingType;
    bool hostValid;
    bool marked;
  } steps[] = {
      {ResultsLog::kWarning, true, false},
      {ResultsLog::kError, false, true},
      {ResultsLog::kError, false, true},
      {0, true, false},
      {ResultsLog::kError, false, true},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(validate(step.findingType, step.hostValid), !step.marked);
    EXPECT_EQ(flags(checked), std::make_pair(step.marked, false)) << step.findingType;
    EXPECT_EQ(flags(dependent), std::make_pair(false, step.marked)) << step.findingType;
    EXPECT_EQ(foundFaulty(), step.marked) << step.findingType;
  }

  // Marked at the end: a restart and a repair keep it.
  store_.Close();
  ASSERT_TRUE(store_.Open(t_.path(), &error)) << error;
  EXPECT_TRUE(faulty(checked));
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  EXPECT_EQ(flags(checked), std::make_pair(true, false));
  EXPECT_EQ(flags(dependent), std::make_pair(false, true));
  ASSERT_TRUE(store_.Reload(&error)) << error;
  EXPECT_EQ(flags(dependent), std::make_pair(false, true));
}

// A validation judged the content that was installed then: a new version of the asset, however it
// comes in, takes the mark away (and the dependent's has-faulty-dependencies with it) for good,
// while an edit that is reverted and a commit of an edit that changed nothing leave the judged
// files and keep it. An install of the installed files copied with their times installs files no
// validation judged. A new version without "kind" stays faulty by its folder.
TEST_F(DaemonProtocol, InstallingANewVersionTakesTheValidationMarkAway) {
  const KUID checked(10, 5, 0);
  const KUID dependent(10, 6, 0);
  MakeAsset(t_.path(), "local", "v", Config("<kuid:10:5>", "kestro-build 9.9\n"));
  MakeAsset(t_.path(), "local", "w",
            Config("<kuid:10:6>", "kestro-build 3.5\nkuid-table {\n0 <kuid:10:5>\n}\n"));
  const std::string mended = t_.path() + "/mended";
  const std::string kindless = t_.path() + "/kindless";
  WriteFile(mended + "/config.txt", Config("<kuid:10:5>", "kestro-build 3.5\n"));
  WriteFile(kindless + "/config.txt", "kuid <kuid:10:5>\nkestro-build 3.5\n");
  // Written at another time, as a user's later edits are, the new versions cannot pass for it.
  const timespec earlier[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const std::string& v : {mended, kindless}) {
    ASSERT_EQ(utimensat(AT_FDCWD, (v + "/config.txt").c_str(), earlier, 0), 0);
  }
  std::string error;
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  RawClient c;
  Connect(c);
  u32 id = 0;
  std::vector<u8> reply;

  // The installed version packed as a package, with its build mended.
  ASSERT_TRUE(c.Transact(pp::kOpSaveAssetToCdp, ++id, Bytes().Kuid(checked).U32(3).data, reply));
  Qel::DynamicBuffer buffer;
  buffer.Write(reply.data(), u32(reply.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  ArchivedAsset archived;
  archived.ReadBinarySoup(in);
  archived.soup.SetNamedTag("kestro-build", "3.5");
  Soup package;
  ASSERT_TRUE(AddArchivedAsset(package, archived.soup).IsEmpty());
  const std::string cdp = t_.path() + "/mended.cdp";
  ASSERT_TRUE(SaveContentPackage(package, cdp.c_str()).IsEmpty());

  const auto installFrom = [&](const std::string& folder) {
    return c.Transact(pp::kOpInstallAssetFromFolder, ++id, Bytes().Text(folder).U32(0).U8(0).data,
                      reply) &&
           reply == Bytes().Kuid(checked).U8(0).data;
  };
  const auto openForEdit = [&](u64& handle) {
    if (!c.Transact(pp::kOpOpenAsset, ++id, Bytes().Kuid(checked).U8(1).data, reply) ||
        reply.size() < 8) {
      return false;
    }
    handle = ByteOrder::LoadLE64(reply.data());
    return handle != pp::kNoAssetHandle;
  };
  // Closes an edit that wrote `build` into the configuration, or changed nothing when null.
  const auto closeEdit = [&](u32 opcode, const char* build) {
    u64 handle = 0;
    if (!openForEdit(handle)) return false;
    if (build != nullptr) {
      WriteFile(t_.path() + "/editing/v/config.txt",
                Config("<kuid:10:5>", std::string("kestro-build ") + build + "\n"));
    }
    return c.Transact(opcode, ++id, Bytes().U64(handle).data, reply) && !reply.empty() &&
           reply.front() == 1;
  };
  const std::string same = t_.path() + "/same";
  const auto installInstalled = [&] {
    std::filesystem::remove_all(same);
    // Copied with their times: still files written anew.
    const std::string cp = "cp -a '" + t_.path() + "/local/v' '" + same + "'";
    return std::system(cp.c_str()) == 0 && installFrom(same);
  };
  const struct {
    const char* way;
    std::function<bool()> change;
    bool faulty;  // afterwards
  } ways[] = {
      {"installfrompath", [&] { return installFrom(mended); }, false},
      {"installcdp",
       [&] {
         return c.Transact(pp::kOpInstallCdp, ++id, Bytes().Text(cdp).U32(0).U8(0).data, reply) &&
                reply == Bytes().U32(1).U8(0).data;
       },
       false},
      {"commit of an edit", [&] { return closeEdit(pp::kOpCommitAsset, "3.4"); }, false},
      {"revert of an edit", [&] { return closeEdit(pp::kOpRevertAsset, "3.3"); }, true},
      {"commit of an edit that changed nothing",
       [&] { return closeEdit(pp::kOpCommitAsset, nullptr); }, true},
      {"installfrompath of the installed files", installInstalled, false},
      {"installfrompath without kind", [&] { return installFrom(kindless); }, true},
  };
  const auto flags = [this](const KUID& kuid) {
    AssetRecord r;
    EXPECT_TRUE(store_.GetAsset(kuid, r));
    return std::make_pair(r.HasFlag(PymFilterCodes::kFlagFaulty),
                          r.HasFlag(PymFilterCodes::kFlagHasFaultyDependencies));
  };
  for (const auto& way : ways) {
    ASSERT_TRUE(MarkFaulty(store_, checked, error)) << error;
    ASSERT_TRUE(flags(checked).first) << way.way;
    ASSERT_TRUE(way.change()) << way.way;
    EXPECT_EQ(flags(checked), std::make_pair(way.faulty, false)) << way.way;
    EXPECT_EQ(flags(dependent), std::make_pair(false, way.faulty)) << way.way;
    store_.Close();
    ASSERT_TRUE(store_.Open(t_.path(), &error)) << error;
    EXPECT_EQ(flags(checked).first, way.faulty) << way.way << ", after a restart";
  }
}

// The texts of the results notifications a transaction brought, one a line.
std::string ResultTexts(const std::vector<Message>& notes) {
  std::string texts;
  for (const Message& m : notes) {
    if (m.tag != kNote || m.word != pp::kNoteResults || m.body.size() < 4) continue;
    Qel::DynamicBuffer buffer;
    buffer.Write(m.body.data() + 4, u32(m.body.size() - 4));
    buffer.SetPosition(0);
    TBuffer in(&buffer, false);
    ResultsLog log;
    ResultsLog::Read(in, log);
    for (const ResultsLogEntry& e : log.GetEntries()) texts += std::string(e.text.CStr()) + "\n";
  }
  return texts;
}

// Validations that meet a busy host wait their turn; one the host does not finish is never a
// clean result, and leaves the faulty mark as it was.
TEST_F(DaemonProtocol, ValidationsWaitForTheHostAndOneItDidNotDoSaysSo) {
  MakeAsset(t_.path(), "local", "v", Config("<kuid:10:5>", "kestro-build 3.5\n"));
  std::string error;
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  const KUID checked(10, 5, 0);
  const auto faulty = [&] {
    AssetRecord r;
    EXPECT_TRUE(store_.GetAsset(checked, r));
    return r.HasFlag(PymFilterCodes::kFlagFaulty);
  };
  auto host = std::make_unique<RawClient>();
  Connect(*host);
  std::vector<u8> reply;
  ASSERT_TRUE(host->SendFrame(0x8C, 0, {}));
  ASSERT_TRUE(host->Transact(0, 1, {}, reply));
  const std::vector<u8> request = Bytes().Name("local").Text(t_.path() + "/local/v").data;
  struct Validation {
    RawClient sender;
    std::vector<u8> result;
    std::vector<Message> notes;
  };
  const auto validate = [&](Validation& v) {
    EXPECT_TRUE(v.sender.Transact(0x26, 7, request, v.result, &v.notes));
    return !v.result.empty() && v.result.back() != 0;
  };

  // Three at once: the host answers each in turn, the later ones after they had to wait.
  Validation each[3];
  std::vector<std::unique_ptr<watchdog::Task>> asking;
  for (Validation& v : each) {
    Connect(v.sender);
    asking.push_back(std::make_unique<watchdog::Task>([&] { EXPECT_FALSE(validate(v)); }));
  }
  for (int i = 0; i < 3; ++i) {
    Message note;
    ASSERT_TRUE(host->Read(note));
    // Long enough for the others to find the host busy.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(host->SendFrame(0x8D, 0, HostVerdict("range error", false)));
  }
  for (auto& task : asking) task->Join();
  for (const Validation& v : each) {
    EXPECT_EQ(ResultTexts(v.notes), "range error\n");
  }
  ASSERT_TRUE(faulty());

  // A refusal (an empty reply), then a host that goes mid-validation.
  for (const bool hostGoes : {false, true}) {
    Validation v;
    Connect(v.sender);
    watchdog::Task hostSide([&] {
      Message note;
      if (!host->Read(note)) return;
      if (hostGoes) {
        host.reset();
      } else {
        host->SendFrame(0x8D, 0, {});
      }
    });
    EXPECT_FALSE(validate(v)) << hostGoes;
    hostSide.Join();
    const std::string why = hostGoes ? "the command host's connection ended"
                                     : "the command host refused the command";
    EXPECT_EQ(ResultTexts(v.notes),
              "PymDaemon: the asset was not validated by the command host (" + why + ")\n");
    EXPECT_TRUE(faulty()) << hostGoes;
  }
  // Without a host at all, the daemon's checks are the validation.
  Validation alone;
  Connect(alone.sender);
  EXPECT_TRUE(validate(alone));
  EXPECT_EQ(ResultTexts(alone.notes), "");
}

// A validation judges files, not an asset: its mark stays with the files it judged through an
// editing copy, a commit and a revert, and files written since their last validation carry none,
// even with the bytes judged. A link, pipe or socket in the copy is part of what was judged; an
// entry that cannot be read keeps no verdict, and the validation says so.
// A fake host judges lib.gs as the compiler would: "return 1 +;" does not compile.
TEST_F(DaemonProtocol, TheValidationMarkBelongsToTheFilesItJudged) {
  const std::string good = "return 1;\n";
  const std::string bad = "return 1 +;\n";
  const std::string touched = bad + "// touched\n";
  enum Step {
    kValidate, kEdit, kWriteGood, kWriteBad, kTouch, kLink, kPipe, kSocket, kDeepen, kFlatten,
    kCommit, kRevert
  };
  const struct {
    const char* name;
    bool installedBad;
    std::vector<Step> steps;
    bool faulty;  // at the end
  } cases[] = {
      {"good lib, broken and validated, mended before the commit", false,
       {kValidate, kEdit, kWriteBad, kValidate, kWriteGood, kCommit}, false},
      {"bad lib, mended and validated, broken again before the commit", true,
       {kValidate, kEdit, kWriteGood, kValidate, kWriteBad, kCommit}, false},
      {"good lib, broken and validated, reverted", false,
       {kValidate, kEdit, kWriteBad, kValidate, kRevert}, false},
      {"a broken copy committed right after its validation", false,
       {kValidate, kEdit, kWriteBad, kValidate, kCommit}, true},
      {"a copy changed after its validation", true,
       {kValidate, kEdit, kTouch, kCommit}, false},
      {"a copy with a link, broken and validated, mended and validated", false,
       {kEdit, kWriteBad, kLink, kValidate, kWriteGood, kValidate}, false},
      {"a copy with a pipe and a socket, broken and validated", false,
       {kEdit, kPipe, kSocket, kWriteBad, kValidate}, true},
      {"a copy too deep to read, broken and validated, then flattened and validated", false,
       {kEdit, kWriteBad, kDeepen, kValidate, kFlatten, kValidate}, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string folder = "lib" + std::to_string(i);
    MakeAsset(t_.path(), "local", folder,
              Config("<kuid:10:" + std::to_string(20 + i) + ">", "kestro-build 3.5\n"));
    WriteFile(t_.path() + "/local/" + folder + "/lib.gs", cases[i].installedBad ? bad : good);
  }
  std::string error;
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  RawClient host;
  RawClient c;
  ConnectHost(host);
  Connect(c);
  std::vector<u8> reply;
  u32 id = 10;
  const auto faulty = [this](const KUID& kuid) {
    AssetRecord r;
    EXPECT_TRUE(store_.GetAsset(kuid, r));
    return r.HasFlag(PymFilterCodes::kFlagFaulty);
  };
  i64 written = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const KUID kuid(10, i32(20 + i), 0);
    u64 handle = 0;
    // The files the record names by the write that made them (0: as installed), and the verdict
    // each had at its last validation: the mark the rule gives.
    i64 installed = 0;
    i64 editing = -1;
    std::map<i64, bool> verdicts;
    for (size_t n = 0; n < cases[i].steps.size(); ++n) {
      const Step step = cases[i].steps[n];
      AssetRecord r;
      ASSERT_TRUE(store_.GetAsset(kuid, r));
      const std::string at = store_.FolderPathOf(r);
      if (step == kValidate) {
        const bool compiles = ReadFileText(at + "/lib.gs") != bad;
        const bool readable = !std::filesystem::exists(at + "/deep");
        watchdog::Task hostSide([&] {
          Message note;
          if (host.Read(note)) host.SendFrame(0x8D, 0, HostVerdict("judged", compiles));
        });
        std::vector<Message> notes;
        EXPECT_TRUE(c.Transact(pp::kOpValidateAssetPath, ++id,
                               Bytes().Name(r.folder).Text(at).data, reply, &notes));
        hostSide.Join();
        const std::string texts = ResultTexts(notes);
        EXPECT_EQ(texts.find("PymDaemon: the verdict is not kept: deep/d/d") != std::string::npos,
                  !readable)
            << cases[i].name << ": " << texts;
        if (readable) verdicts[r.folder == "editing" ? editing : installed] = !compiles;
      } else if (step == kEdit) {
        ASSERT_TRUE(c.Transact(pp::kOpOpenAsset, ++id, Bytes().Kuid(kuid).U8(1).data, reply));
        ASSERT_GE(reply.size(), 8u);
        handle = ByteOrder::LoadLE64(reply.data());
        editing = installed;
      } else if (step == kCommit || step == kRevert) {
        ASSERT_TRUE(c.Transact(step == kCommit ? pp::kOpCommitAsset : pp::kOpRevertAsset, ++id,
                               Bytes().U64(handle).data, reply));
        ASSERT_TRUE(!reply.empty() && reply.front() == 1) << cases[i].name;
        if (step == kCommit) installed = editing;
      } else {
        // The daemon hears of files written in an editing copy at the next validation, commit
        // or revert.
        ASSERT_EQ(r.folder, "editing") << cases[i].name;
        editing = ++written;
        if (step == kWriteGood || step == kWriteBad || step == kTouch) {
          // A time of its own for each write: no two writes share a clock tick.
          WriteFile(at + "/lib.gs", step == kWriteGood ? good : step == kWriteBad ? bad : touched);
          const timespec times[2] = {{1000000000 + written, 0}, {1000000000 + written, 0}};
          ASSERT_EQ(utimensat(AT_FDCWD, (at + "/lib.gs").c_str(), times, 0), 0);
        } else if (step == kLink) {
          std::filesystem::create_symlink("config.txt", at + "/link.txt");
        } else if (step == kPipe || step == kSocket) {
          const mode_t type = step == kPipe ? S_IFIFO : S_IFSOCK;
          ASSERT_EQ(mknod((at + (step == kPipe ? "/pipe" : "/socket")).c_str(), type | 0600, 0), 0);
        } else if (step == kDeepen) {
          std::string deep = at + "/deep";
          for (int d = 0; d <= kMaxAssetFolderDepth; ++d) deep += "/d";
          std::filesystem::create_directories(deep);
        } else {
          std::filesystem::remove_all(at + "/deep");
        }
        continue;
      }
      ASSERT_TRUE(store_.GetAsset(kuid, r));
      const i64 now = r.folder == "editing" ? editing : installed;
      EXPECT_EQ(faulty(kuid), verdicts.count(now) != 0 && verdicts[now])
          << cases[i].name << ", step " << n;
    }
    EXPECT_EQ(faulty(kuid), cases[i].faulty) << cases[i].name;
  }
  store_.Close();
  ASSERT_TRUE(store_.Open(t_.path(), &error)) << error;
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(faulty(KUID(10, i32(20 + i), 0)), cases[i].faulty) << cases[i].name << ", restarted";
  }
}

// A validation that a change of the same asset overlaps may have judged files that are gone, even
// when the change put back equal ones: it records nothing, passes none of the host's findings on,
// and says why.
TEST_F(DaemonProtocol, AValidationOverlappedByAChangeOfItsFilesRecordsNothing) {
  const std::string broken = Config("<kuid:10:5>", "kestro-build 3.5\nbroken 1\n");
  const std::string clean = Config("<kuid:10:5>", "kestro-build 3.5\n");
  MakeAsset(t_.path(), "local", "v", broken);
  WriteFile(t_.path() + "/clean/config.txt", clean);
  WriteFile(t_.path() + "/broken/config.txt", broken);
  std::string error;
  ASSERT_TRUE(store_.Rebuild(&error)) << error;
  const KUID kuid(10, 5, 0);
  RawClient host;
  RawClient sender;
  RawClient changer;
  Connect(host);
  Connect(sender);
  Connect(changer);
  std::vector<u8> reply;
  ASSERT_TRUE(host.SendFrame(0x8C, 0, {}));
  ASSERT_TRUE(host.Transact(0, 1, {}, reply));
  u32 id = 10;
  const auto installFrom = [&](const std::string& folder) {
    return changer.Transact(pp::kOpInstallAssetFromFolder, ++id,
                            Bytes().Text(t_.path() + "/" + folder).U32(0).U8(0).data, reply) &&
           reply == Bytes().Kuid(kuid).U8(0).data;
  };
  const auto ok = [&](u32 opcode, const std::vector<u8>& body) {
    return changer.Transact(opcode, ++id, body, reply) && !reply.empty() && reply.front() == 1;
  };
  // Opens an edit and closes it with `opcode`, `config` written anew when it is given.
  const auto edit = [&](u32 opcode, const std::string* config) {
    if (!changer.Transact(pp::kOpOpenAsset, ++id, Bytes().Kuid(kuid).U8(1).data, reply) ||
        reply.size() < 8) {
      return false;
    }
    const u64 handle = ByteOrder::LoadLE64(reply.data());
    if (config != nullptr) WriteFile(t_.path() + "/editing/v/config.txt", *config);
    return ok(opcode, Bytes().U64(handle).data);
  };
  // The files judged, and a change that may put back files equal to them, times and all.
  const struct {
    const char* way;
    const char* judged;
    std::function<bool()> change;
  } ways[] = {
      {"installfrompath", "broken", [&] { return installFrom("clean"); }},
      {"commit", "broken", [&] { return edit(pp::kOpCommitAsset, &clean); }},
      {"installfrompath of other files, then of the judged ones", "clean",
       [&] { return installFrom("broken") && installFrom("clean"); }},
      {"commit of an edit that changed nothing", "clean",
       [&] { return edit(pp::kOpCommitAsset, nullptr); }},
      {"revert", "clean", [&] { return edit(pp::kOpRevertAsset, &broken); }},
      {"delete, then installfrompath of the judged files", "clean",
       [&] {
         return ok(pp::kOpDeleteAsset, Bytes().Kuid(kuid).U8(0).data) && installFrom("clean");
       }},
  };
  for (const auto& way : ways) {
    ASSERT_TRUE(installFrom(way.judged)) << way.way;
    std::vector<u8> result;
    std::vector<Message> notes;
    watchdog::Task asking([&] {
      EXPECT_TRUE(sender.Transact(pp::kOpValidateAssetPath, 7,
                                  Bytes().Name("local").Text(t_.path() + "/local/v").data, result,
                                  &notes));
    });
    Message note;
    ASSERT_TRUE(host.Read(note));
    // The host has the old files in hand when the new ones come in.
    ASSERT_TRUE(way.change()) << way.way;
    const char* stale = "This asset is older than build 2.7 and cannot be validated.";
    ASSERT_TRUE(host.SendFrame(0x8D, 0, HostVerdict(stale, false)));
    asking.Join();
    EXPECT_EQ(result, std::vector<u8>{0}) << way.way;
    EXPECT_EQ(ResultTexts(notes),
              "PymDaemon: the asset changed while it was validated; validate it again\n")
        << way.way;
    AssetRecord r;
    ASSERT_TRUE(store_.GetAsset(kuid, r));
    EXPECT_FALSE(r.HasFlag(PymFilterCodes::kFlagFaulty)) << way.way;
  }
}

// A verdict judges bytes that no later file shares: a lib.gs mended to the broken one's size and
// time (as archives packed with a fixed time, `touch -r`, `mv` or a file system of whole seconds
// leave it) carries none, a mended copy that passed leaves the judged files' verdict alone, and
// files put back while the host judged others record nothing.
TEST_F(DaemonProtocol, AVerdictGoesToNoOtherBytes) {
  enum Step { kEdit, kMend, kMove, kPass, kCommit, kRevert, kInstall, kStop, kRename, kCopy };
  const struct {
    const char* way;
    std::vector<Step> steps;
    bool faulty;
  } cases[] = {
      {"mended in an archive of the same fixed time, installed", {kInstall}, false},
      {"mended in the editing copy, touch -r, committed", {kEdit, kMend, kCommit}, false},
      {"mended in the installed folder while the daemon stopped", {kStop}, false},
      {"a mended file of the same time moved over it, committed", {kEdit, kMove, kCommit}, false},
      {"mended in the editing copy, passed, reverted", {kEdit, kMend, kPass, kRevert}, true},
      {"mended, renamed away and back while judged", {kEdit, kMend, kRename, kCommit}, false},
      {"mended, copied away and back while judged", {kEdit, kMend, kCopy, kCommit}, false},
  };
  const std::string bad = "return 1 +;\n";
  const std::string good = "return 1+1;\n";
  RawClient host;
  RawClient c;
  ConnectHost(host);
  Connect(c);
  std::vector<u8> reply;
  u32 id = 10;
  u64 handle = 0;
  AssetRecord r;
  const auto write = [&](const std::string& path, const std::string& text) {
    WriteFile(path, text);
    const timespec packed[2] = {{1500000000, 0}, {1500000000, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), packed, 0), 0);
  };
  // The host's verdict on the folder `r` names, given once `held` ran; the results' texts.
  const auto validate = [&](bool compiles, const std::function<void()>& held) {
    watchdog::Task hostSide([&] {
      Message note;
      if (!host.Read(note)) return;
      held();
      host.SendFrame(0x8D, 0, HostVerdict("judged", compiles));
    });
    std::vector<Message> notes;
    EXPECT_TRUE(c.Transact(pp::kOpValidateAssetPath, ++id,
                           Bytes().Name(r.folder).Text(store_.FolderPathOf(r)).data, reply,
                           &notes));
    hostSide.Join();
    return ResultTexts(notes);
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].way);
    const KUID kuid(10, i32(40 + i), 0);
    const std::string source = t_.path() + "/source" + std::to_string(i);
    const std::string kept = t_.path() + "/kept.gs";
    write(source + "/config.txt", Config(kuid.ToString().CStr(), "kestro-build 3.5\n"));
    write(source + "/lib.gs", bad);
    const auto install = [&] {
      ASSERT_TRUE(c.Transact(pp::kOpInstallAssetFromFolder, ++id,
                             Bytes().Text(source).U32(0).U8(0).data, reply));
    };
    install();
    ASSERT_TRUE(store_.GetAsset(kuid, r));
    EXPECT_EQ(validate(false, [] {}), "judged\n");
    ASSERT_TRUE(store_.GetAsset(kuid, r) && r.HasFlag(PymFilterCodes::kFlagFaulty));
    for (const Step step : cases[i].steps) {
      const std::string lib = store_.FolderPathOf(r) + "/lib.gs";
      if (step == kEdit) {
        ASSERT_TRUE(c.Transact(pp::kOpOpenAsset, ++id, Bytes().Kuid(kuid).U8(1).data, reply));
        handle = ByteOrder::LoadLE64(reply.data());
      } else if (step == kMend || step == kMove) {
        write(step == kMend ? lib : kept, good);
        if (step == kMove) std::filesystem::rename(kept, lib);
      } else if (step == kPass) {
        EXPECT_EQ(validate(true, [] {}), "judged\n");
      } else if (step == kCommit || step == kRevert) {
        ASSERT_TRUE(c.Transact(step == kCommit ? pp::kOpCommitAsset : pp::kOpRevertAsset, ++id,
                               Bytes().U64(handle).data, reply));
      } else if (step == kInstall) {
        write(source + "/lib.gs", good);
        install();
      } else if (step == kStop) {
        store_.Close();
        write(lib, good);
        std::string error;
        ASSERT_TRUE(store_.Open(t_.path(), &error)) << error;
      } else {
        EXPECT_EQ(validate(false,
                           [&] {
                             step == kRename ? std::filesystem::rename(lib, kept)
                                             : write(kept, good);
                             write(lib, bad);
                             std::filesystem::rename(kept, lib);
                           }),
                  "PymDaemon: the asset changed while it was validated; validate it again\n");
      }
      ASSERT_TRUE(store_.GetAsset(kuid, r));
    }
    EXPECT_EQ(r.HasFlag(PymFilterCodes::kFlagFaulty), cases[i].faulty);
  }
}

// A file timed ahead of the clock (touched ahead, or unpacked from an archive made east of here
// and installed with its times) keeps the verdict like any other: only the clock sets a change
// time, and that is what tells these bytes from any written later.
TEST_F(DaemonProtocol, AFileTimedAheadOfTheClockKeepsItsVerdict) {
  RawClient host;
  RawClient c;
  ConnectHost(host);
  Connect(c);
  // Seconds ahead, and whether the folder is installed so (else touched once installed).
  const std::pair<time_t, bool> cases[] = {
      {3600, false}, {10, false}, {14 * 3600, false}, {366 * 86400, false}, {3600, true}};
  for (u32 i = 0; i < std::size(cases); ++i) {
    const auto [ahead, installed] = cases[i];
    SCOPED_TRACE(std::to_string(ahead) + (installed ? " s ahead, installed" : " s ahead"));
    const KUID kuid(10, i32(60 + i), 0);
    const std::string source = t_.path() + "/ahead" + std::to_string(i);
    WriteFile(source + "/config.txt", Config(kuid.ToString().CStr(), "kestro-build 3.5\n"));
    WriteFile(source + "/readme.txt", "read me\n");
    const timespec later = {time(nullptr) + ahead, 0}, times[2] = {later, later};
    ASSERT_TRUE(!installed || utimensat(AT_FDCWD, (source + "/readme.txt").c_str(), times, 0) == 0);
    std::vector<u8> reply;
    ASSERT_TRUE(c.Transact(pp::kOpInstallAssetFromFolder, 2 * i + 1,
                           Bytes().Text(source).U32(0).U8(0).data, reply));
    AssetRecord r;
    ASSERT_TRUE(store_.GetAsset(kuid, r));
    const std::string readme = store_.FolderPathOf(r) + "/readme.txt";
    ASSERT_TRUE(installed || utimensat(AT_FDCWD, readme.c_str(), times, 0) == 0);
    watchdog::Task hostSide([&] {
      Message note;
      if (host.Read(note)) host.SendFrame(0x8D, 0, HostVerdict("the mesh is missing", false));
    });
    std::vector<Message> notes;
    EXPECT_TRUE(c.Transact(pp::kOpValidateAssetPath, 2 * i + 2,
                           Bytes().Name(r.folder).Text(store_.FolderPathOf(r)).data, reply,
                           &notes));
    hostSide.Join();
    EXPECT_EQ(ResultTexts(notes), "the mesh is missing\n");
    EXPECT_EQ(reply, std::vector<u8>{0});
    EXPECT_TRUE(store_.GetAsset(kuid, r) && r.HasFlag(PymFilterCodes::kFlagFaulty));
  }
}

// A host that stopped reading its socket: the command cannot go out within the limit, so the
// host is dropped and the request answered instead of waiting on the send without bound.
TEST_F(DaemonProtocol, AHostThatCannotTakeACommandInTimeIsDropped) {
  RawClient host;
  RawClient sender;
  Connect(host);
  Connect(sender);
  std::vector<u8> reply;
  ASSERT_TRUE(host.SendFrame(0x8C, 0, {}));
  ASSERT_TRUE(host.Transact(0, 1, {}, reply));
  // Far more than the socket buffers between the daemon and the host hold.
  std::vector<u8> command = Bytes().U32(2).U32(5).data;
  command.resize(size_t(48) << 20);
  const auto run = [&](u32 limitMs, const std::vector<u8>& body) {
    bool answered = false;
    watchdog::Task ask([&] {
      answered = sender.Transact(kOpRunHostCommand, 9, Bytes().U32(limitMs).Append(body).data,
                                 reply);
    });
    ask.Join();
    EXPECT_TRUE(answered);
    return HostCommandOutcome(reply.size() >= 4 ? ByteOrder::LoadLE32(reply.data()) : 99);
  };
  EXPECT_EQ(run(300, command), HostCommandOutcome::kHostGone);
  EXPECT_EQ(run(1, Bytes().U32(2).U32(5).data), HostCommandOutcome::kNoHost);
}

}  // namespace
}  // namespace PymDaemonSrv

namespace PymDaemonSrv {
namespace {

// A request the client sends and the table lost would be answered with an empty body, which
// every caller reads as a failure of its own making.
TEST(RequestTable, EveryClientRequestHasItsHandler) {
  namespace pp = PymProtocol;
  const u32 served[] = {
      pp::kOpKeepAlive, pp::kOpSearchAssets, pp::kOpStartRepair, pp::kOpRepairProgress,
      pp::kOpGetConfigSoup, pp::kOpGetAssetInfo, pp::kOpGetAssetLocation, pp::kOpResolveKuid,
      pp::kOpLatestVersion, pp::kOpGetDescription, pp::kOpGetThumbnailPath, pp::kOpOpenAsset,
      pp::kOpReleaseAsset, pp::kOpGetOpenAssetPath, pp::kOpRevertAsset, pp::kOpCommitAsset,
      pp::kOpCreateAsset, pp::kOpDeleteAsset, pp::kOpValidateAssetPath,
      pp::kOpInstallAssetFromFolder, pp::kOpInstallCdp, pp::kOpDependenciesOfList,
      pp::kOpGetObsoletes, pp::kOpSaveAssetToCdp, pp::kOpSetFavorite, pp::kOpSetKeywords,
      pp::kOpGenerateKuid, pp::kOpPickVnyItems, pp::kOpCreatorName, pp::kOpGetSettingsSoup,
      pp::kOpSetSettingsSoup, pp::kOpGetSettingString, pp::kOpVantryAccess,
      pp::kOpRegisterCommandHost, pp::kOpCommandHostReply, pp::kOpAnswer,
      pp::kOpTextureConvertSetting, pp::kOpStartUrlRequest, pp::kOpCloseUrlRequest,
      pp::kOpUrlRequestStatus, pp::kOpRequestIdle, pp::kOpIsIdleReached, pp::kOpListBuilds,
      pp::kOpPatcherRepairDone, pp::kOpCloseDaemon, kOpRunHostCommand};
  for (const u32 opcode : served) EXPECT_NE(FindRequestHandler(opcode), nullptr) << opcode;
  // The online service is not the daemon's: those requests stay unknown to it.
  for (const u32 opcode : {pp::kOpOnlineProfile, pp::kOpOnlineLoginRejected,
                           pp::kOpOnlineAuthTicket, 0x4242u}) {
    EXPECT_EQ(FindRequestHandler(opcode), nullptr) << opcode;
  }
}

}  // namespace
}  // namespace PymDaemonSrv
