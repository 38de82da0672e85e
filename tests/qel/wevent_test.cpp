#include "qel/wevent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/thread_watchdog.h"

namespace {

using watchdog::Eventually;

// `n` threads that each wait on the event without limit and count their releases.
class Waiters {
 public:
  Waiters(Qel::WEvent& ev, int n) : ev_(ev) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { released += ev_.Wait(); });
  }
  ~Waiters() {
    for (auto& t : threads_) t.join();
  }
  bool AllBlocked() {
    return Eventually([this] { return ev_.GetWaiterCount() == threads_.size(); });
  }
  std::atomic<int> released{0};

 private:
  Qel::WEvent& ev_;
  std::vector<std::thread> threads_;
};

TEST(WEventTest, SingleThreadSemantics) {
  for (bool manual : {true, false}) {
    Qel::WEvent initially(manual, true);
    EXPECT_TRUE(initially.Wait(0));
    EXPECT_EQ(initially.Wait(0), manual) << "only a manual event stays set";

    Qel::WEvent ev(manual);
    EXPECT_FALSE(ev.Wait(20));
    EXPECT_EQ(ev.GetWaiterCount(), 0u) << "a timed-out waiter leaves the queue";
    ev.Pulse();
    EXPECT_FALSE(ev.Wait(0)) << "a pulse with nobody waiting leaves nothing behind";
    ev.Set();
    ev.Pulse();
    EXPECT_FALSE(ev.Wait(0)) << "a pulse leaves the event reset";
    ev.Set();
    ev.Set();
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_EQ(ev.Wait(0), manual) << "auto-reset sets do not accumulate";
  }
}

// A manual set releases every waiter, even if reset at once; an automatic one a waiter per set.
TEST(WEventTest, SetReleasesEveryWaiterOrOnePerSet) {
  for (bool manual : {true, false}) {
    Qel::WEvent ev(manual);
    Waiters w(ev, 3);
    ASSERT_TRUE(w.AllBlocked());
    ev.Set();
    if (manual) ev.Reset();
    EXPECT_EQ(ev.GetWaiterCount(), manual ? 0u : 2u);
    EXPECT_TRUE(Eventually([&] { return w.released == (manual ? 3 : 1); }));
    EXPECT_FALSE(ev.Wait(0)) << "reset, or the set was used up by the waiter";
    ev.Set();
    ev.Set();
    EXPECT_TRUE(Eventually([&] { return w.released == 3; }));
    ev.Reset();
  }
}

TEST(WEventTest, PulseReleasesPresentWaitersOnly) {
  for (bool manual : {true, false}) {
    Qel::WEvent ev(manual);
    Waiters w(ev, 3);
    ASSERT_TRUE(w.AllBlocked());
    ev.Pulse();
    const u32 left = manual ? 0 : 2;
    EXPECT_EQ(ev.GetWaiterCount(), left);
    EXPECT_TRUE(Eventually([&] { return w.released == int(3 - left); }));
    EXPECT_FALSE(ev.Wait(20)) << "a later waiter is not released by the pulse";
    // Back to back, before the released threads run: each pulse takes a different waiter.
    ev.Pulse();
    ev.Pulse();
    EXPECT_TRUE(Eventually([&] { return w.released == 3; }));
  }
}

TEST(WEventTest, PingPongLosesNoWakeUp) {
  Qel::WEvent ping(false), pong(false);
  constexpr int kRounds = 5000;
  std::thread partner([&] {
    for (int i = 0; i < kRounds && ping.Wait(20000); ++i) pong.Set();
  });
  int completed = 0;
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    if (!pong.Wait(20000)) break;
    ++completed;
  }
  partner.join();
  EXPECT_EQ(completed, kRounds);
}

TEST(WEventTest, ReleasedWaiterMayDestroyTheEvent) {
  // A caller waiting on its own done event, set by a worker.
  for (int i = 0; i < 200; ++i) {
    auto* ev = new Qel::WEvent(true);
    std::thread setter([ev] { ev->Set(); });
    EXPECT_TRUE(ev->Wait(20000));
    delete ev;
    setter.join();
  }
}

}  // namespace
