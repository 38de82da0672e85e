// Online access end to end: the stand-in daemon answers the online requests from ROOT/online.txt,
// oapeer answers as the service, and oaclient logs in through both.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/networking.h"
#include "online/oapeer_process.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_online_data.h"
#include "support/command_run.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

using kestro_test::InstallRoot;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class OnlineLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root_->IsReady()) << root_->Error();
  }

  // Starts oapeer as the service and writes online.txt naming it, with the given ticket lines.
  void StartService(const std::string& ticketLines, std::vector<std::string> settings = {}) {
    settings.insert(settings.begin(), {"--service", "1", "--ticket", "ticket-1"});
    peer_ = std::make_unique<OapeerProcess>(folder_.path(), settings);
    const u16 port = peer_->WaitForPort();
    ASSERT_NE(0, port);
    root_->WriteFile("online.txt", "profile-name \"alice\"\nservice-host \"127.0.0.1\"\n"
                                   "service-port " + std::to_string(port) + "\n" + ticketLines);
  }

  kestro_test::CommandRun Client(const std::string& extra = "") {
    return kestro_test::RunCommand(std::string(KESTRO_BINARY_DIR) + "/oaclient --root " +
                                   kestro_test::ShellWord(root_->Root()) + " --seconds 60 " +
                                   extra + " 2>&1");
  }

  std::string DaemonLog() const { return scratch::ReadAll(root_->Root() + "/UserData/pymdaemon.log"); }

  // The daemon log once it holds `line`: the daemon writes it on its own thread, which may come
  // after the client has ended.
  std::string DaemonLogWith(const std::string& line) const {
    std::string log;
    watchdog::Eventually([&] { return (log = DaemonLog()).find(line) != std::string::npos; });
    return log;
  }

  scratch::Folder folder_;
  std::unique_ptr<InstallRoot> root_;
  std::unique_ptr<OapeerProcess> peer_;
};

TEST_F(OnlineLoginTest, LogsInAndThePeerLogsEachStep) {
  StartService("auth-ticket \"ticket-1\"\n");
  const kestro_test::CommandRun run = Client();
  EXPECT_EQ(0, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("state 6 (connecting)")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("final state 7 (online)")) << run.out;
  peer_->Stop();
  const std::string log = peer_->Log();
  for (const char* step :
       {"service: login (31) profile=\"alice\" application=\"", "challenge (1) sent",
        "service: ticket (2) \"ticket-1\" accepted", "ends in state online", "disconnect notice"})
    EXPECT_NE(std::string::npos, log.find(step)) << step << "\n" << log;
}

TEST_F(OnlineLoginTest, HandOffGivesTheTicket) {
  // No ticket yet: the daemon's hand-off logs the user in, and the login goes on with its ticket.
  StartService("login-ticket \"ticket-1\"\n");
  const kestro_test::CommandRun run = Client();
  EXPECT_EQ(0, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("not yet authenticated")) << run.out;
  EXPECT_NE(std::string::npos, DaemonLog().find("hand-off for profile \"alice\": logged in"));
}

TEST_F(OnlineLoginTest, RefusedHandOffIsItsStateAndOneRejection) {
  StartService("");
  const kestro_test::CommandRun run = Client();
  EXPECT_EQ(1, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("final state 3 (refused)")) << run.out;
  const std::string log = DaemonLogWith("online login rejected (0xf1)");
  EXPECT_EQ(1u, Count(log, "online login rejected (0xf1)")) << log;
  EXPECT_EQ(1u, Count(log, "hand-off for profile \"alice\": refused")) << log;
}

TEST_F(OnlineLoginTest, RefusedTicketIsOneRejectionInTheDaemonLog) {
  StartService("auth-ticket \"stolen\"\n");
  const kestro_test::CommandRun run = Client();
  EXPECT_EQ(1, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("final state 3 (refused)")) << run.out;
  const std::string log = DaemonLogWith("online login rejected (0xf1)");
  EXPECT_EQ(1u, Count(log, "online login rejected (0xf1)")) << log;
  peer_->Stop();
  EXPECT_NE(std::string::npos, peer_->Log().find("\"stolen\" refused"));
}

TEST_F(OnlineLoginTest, MessagesForThreeUsersAreStoredAndReplayedAfterReconnect) {
  StartService("auth-ticket \"ticket-1\"\n",
               {"--send-to", "501:1", "--send-to", "502:2:3", "--send-to", "503:3"});
  const kestro_test::CommandRun run = Client("--clients 501:1,502:2,503:3");
  EXPECT_EQ(0, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("stored messages: 3")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("state 1 (offline)")) << run.out;
  for (const char* kuid : {"<kuid:501:1>", "<kuid:502:2>", "<kuid:503:3>"}) {
    EXPECT_NE(std::string::npos,
              run.out.find(std::string("replaying stored message for ") + kuid))
        << kuid << "\n" << run.out;
    EXPECT_NE(std::string::npos, run.out.find(std::string("client ") + kuid + " received"))
        << kuid;
  }
}

TEST_F(OnlineLoginTest, NoProfileFileIsNoProfile) {
  const kestro_test::CommandRun run = Client();
  EXPECT_EQ(1, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("final state 0 (no online profile)")) << run.out;
}

// The daemon's side, asked in process: the profile's fields and the per-asset values.
class OnlineDaemonRequests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetMainThread();
    InitNetworking();
  }
  void SetUp() override {
    root_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root_->IsReady()) << root_->Error();
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_->Root().c_str())));
    ASSERT_TRUE(PymOpenDatabase(PymClientOptions()));
  }
  void TearDown() override {
    PymCloseDatabase();
    ClearInstallPaths();
  }
  std::unique_ptr<InstallRoot> root_;
};

TEST_F(OnlineDaemonRequests, ProfileComesFromOnlineTxtWithTheDefaultPort) {
  PymOnlineProfile p = PymGetOnlineProfile();
  EXPECT_TRUE(p.profileName.IsEmpty());
  EXPECT_TRUE(PymGetOnlineAuthTicket().IsEmpty());
  root_->WriteFile("online.txt", "profile-name \"bob\"\nauth-ticket \"t\"\n");
  p = PymGetOnlineProfile();
  EXPECT_EQ("bob", std::string(p.profileName.View()));
  EXPECT_EQ("127.0.0.1", std::string(p.secondText.View()));
  EXPECT_EQ(5251, p.firstPort);
  EXPECT_EQ("t", std::string(PymGetOnlineAuthTicket().View()));
  root_->WriteFile("online.txt", "profile-name \"bob\"\nservice-host \"example.test\"\n"
                                 "service-port 99999\n");
  p = PymGetOnlineProfile();
  EXPECT_EQ("example.test", std::string(p.secondText.View()));
  EXPECT_EQ(5251, p.firstPort);  // no port: the default
}

// A refused ticket is forgotten while online.txt still holds it; a mended one counts at once.
TEST_F(OnlineDaemonRequests, ARefusedTicketIsForgottenUntilOnlineTxtChangesIt) {
  const struct {
    const char* ticketLine;
    bool refused;  // the login with the ticket fails before it is asked for
    const char* ticket;
  } steps[] = {
      {"auth-ticket \"t-1\"\n", false, "t-1"},
      {"auth-ticket \"t-1\"\n", true, ""},
      {"auth-ticket \"t-1\"\nservice-port 5252\n", false, ""},
      {"auth-ticket \"t-2\"\n", false, "t-2"},
      {"auth-ticket \"t-2\"\n", true, ""},
  };
  for (const auto& step : steps) {
    root_->WriteFile("online.txt", std::string("profile-name \"bob\"\n") + step.ticketLine);
    // The post is served before the transaction that follows it on the same connection.
    if (step.refused) PymPostOnlineLoginRejected();
    EXPECT_EQ(step.ticket, std::string(PymGetOnlineAuthTicket().View())) << step.ticketLine;
  }
}

// A refusal belongs to the ticket that login was given: a ticket written into online.txt while
// the refused login was under way is still handed out, at once and later.
TEST_F(OnlineDaemonRequests, ARefusalCountsAgainstTheTicketItsLoginCarried) {
  const struct {
    const char* given;   // online.txt's ticket when the login asks for it
    const char* edited;  // its ticket when the refusal arrives
    const char* after;
  } cases[] = {
      {"t-old", "t-new", "t-new"},
      {"t-same", "t-same", ""},
  };
  for (const auto& c : cases) {
    root_->WriteFile("online.txt", std::string("profile-name \"bob\"\nauth-ticket \"") + c.given +
                                       "\"\n");
    EXPECT_EQ(c.given, std::string(PymGetOnlineAuthTicket().View()));
    root_->WriteFile("online.txt", std::string("profile-name \"bob\"\nauth-ticket \"") +
                                       c.edited + "\"\n");
    PymPostOnlineLoginRejected();
    for (int ask = 0; ask < 2; ++ask) {
      EXPECT_EQ(c.after, std::string(PymGetOnlineAuthTicket().View())) << c.given << " " << ask;
    }
  }
}

// A named pipe in its place is no profile, and the daemon goes on answering.
TEST_F(OnlineDaemonRequests, APipeForOnlineTxtIsNoProfileAndStopsNothing) {
  const std::string pipe = root_->Root() + "/online.txt";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  auto asked = std::async(std::launch::async, [] { return PymGetOnlineProfile(); });
  if (asked.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Lets the daemon's read go before the test fails.
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    FAIL() << "the daemon waited on the pipe";
  }
  EXPECT_TRUE(asked.get().profileName.IsEmpty());
  std::filesystem::remove(root_->Root() + "/online.txt");
  root_->WriteFile("online.txt", "profile-name \"carol\"\n");
  EXPECT_EQ("carol", std::string(PymGetOnlineProfile().profileName.View()));
}

TEST_F(OnlineDaemonRequests, LocalDataIsKeptByAssetAndLowerCasedKey) {
  const KUID a(600, 1, 0), b(600, 2, 0);
  Soup value;
  value.SetNamedTag(Qel::PString("score"), Qel::PString("42"));
  ASSERT_TRUE(PymSetOnlineLocalData(a, Qel::PString("Best"), value));
  Soup other;
  other.SetNamedTag(Qel::PString("score"), Qel::PString("7"));
  ASSERT_TRUE(PymSetOnlineLocalData(b, Qel::PString("best"), other));
  // Refused quietly: an empty key, a key too long to name a value, a null asset.
  PymSetOnlineLocalData(a, Qel::PString(""), other);
  PymSetOnlineLocalData(a, Qel::PString(std::string(300, 'k').c_str()), other);
  PymSetOnlineLocalData(KUID::Null(), Qel::PString("best"), other);

  EXPECT_EQ("42", std::string(PymGetOnlineLocalData(a, Qel::PString("BEST")).GetNamedTag(Qel::PString("score")).View()));
  EXPECT_EQ("7", std::string(PymGetOnlineLocalData(b, Qel::PString("best")).GetNamedTag(Qel::PString("score")).View()));
  EXPECT_EQ(0u, PymGetOnlineLocalData(a, Qel::PString("other")).CountTags());
  EXPECT_EQ(0u, PymGetOnlineLocalData(a, Qel::PString("")).CountTags());
  EXPECT_EQ(0u, PymGetOnlineLocalData(KUID::Null(), Qel::PString("best")).CountTags());
}

}  // namespace
