#include "daemon/command_host_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "daemon/note_channel.h"

namespace PymDaemonSrv {
namespace {

using Clock = NoteChannel::Clock;

// A host whose notes go nowhere once their deadline has passed, as a socket send gives up.
struct CountingHost {
  std::atomic<int> notes{0};
  std::shared_ptr<NoteChannel> Channel() {
    return std::make_shared<NoteChannel>(NoteChannel::TimedSender(
        [this](u32, const u8*, size_t, Clock::time_point deadline) {
          if (Clock::now() > deadline) return false;
          ++notes;
          return true;
        }));
  }
};

// A sender whose limit is spent before the note goes out (a loaded machine, a limit of a few
// milliseconds) times out; the host, which did nothing wrong, is kept and takes the next command.
TEST(CommandHostRegistry, ALimitSpentBeforeTheSendTimesOutAndKeepsTheHost) {
  CommandHostRegistry registry;
  CountingHost host;
  registry.Register(7, host.Channel());
  std::vector<u8> reply;
  EXPECT_EQ(registry.Run({1}, reply, 0, 1), HostCommandOutcome::kTimedOut);
  EXPECT_EQ(host.notes.load(), 1);

  // The late answer belongs to the command that timed out.
  const u8 late = 7;
  EXPECT_FALSE(registry.Deliver(7, &late, 1));
  std::thread answer([&] {
    // Bounded: a dropped host never gets the note.
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (host.notes.load() < 2 && Clock::now() < limit) std::this_thread::yield();
    const u8 body = 42;
    registry.Deliver(7, &body, 1);
  });
  EXPECT_EQ(registry.Run({2}, reply, 5000, 1), HostCommandOutcome::kAnswered);
  answer.join();
  EXPECT_EQ(reply, std::vector<u8>{42});
}

}  // namespace
}  // namespace PymDaemonSrv
