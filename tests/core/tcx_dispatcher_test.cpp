#include "core/tcx_dispatcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/app_globals.h"
#include "core/core_statics.h"
#include "core/crash_guard.h"
#include "qel/thread.h"
#include "support/thread_watchdog.h"

namespace {

using watchdog::Eventually;
using watchdog::Task;

constexpr u32 kMainWait = 3;  // main thread, caller waits
constexpr u32 kMainPost = 9;  // main thread, no wait

// Counts its runs and remembers the thread and argument of the last one.
struct Probe {
  std::atomic<int> runs{0};
  std::atomic<u32> thread{0};
  std::atomic<intptr_t> argument{-1};
  void Run(intptr_t arg) {
    thread.store(Qel::Thread::CurrentId());
    argument.store(arg);
    runs.fetch_add(1);
  }
  TCXCallback Call() { return TCXCallback(this, &Probe::Run); }
};

class TCXDispatcherTest : public testing::Test {
 protected:
  void SetUp() override { main_id_ = SetMainThread(); }
  u32 main_id_ = 0;
  TCXDispatcher dispatcher_{"test"};
};

TEST_F(TCXDispatcherTest, PostedCallsReturnAtOnceAndRunAtTheNextService) {
  Probe probe;
  EXPECT_TRUE(dispatcher_.Dispatch(1, kMainPost, probe.Call()));
  Task other([&] { EXPECT_TRUE(dispatcher_.Dispatch(2, kMainPost, probe.Call())); });
  other.Join();  // stops the suite if the post waited
  EXPECT_EQ(probe.runs, 0);
  EXPECT_EQ(dispatcher_.RunNextCall(0), 1u) << "two queued, one taken";
  EXPECT_EQ(probe.argument, 1) << "first in, first out";
  EXPECT_EQ(dispatcher_.RunNextCall(0), 0u);
  EXPECT_EQ(probe.runs, 2);
  EXPECT_EQ(probe.thread, main_id_);
}

// A waiting caller whose call will never run is released and told so.
TEST_F(TCXDispatcherTest, CancelledOrRefusedCallsReleaseTheirWaiter) {
  Probe probe;
  std::atomic<int> cancelled{-1};
  Task caller([&] { cancelled = dispatcher_.Dispatch(42, kMainWait, probe.Call()); });
  ASSERT_TRUE(Eventually([&] { return dispatcher_.HasPendingCalls(); }));
  EXPECT_FALSE(caller.Done()) << "the caller waits for the main thread";
  dispatcher_.CancelCalls(42, false);
  caller.Join();
  EXPECT_EQ(cancelled, 0);

  std::atomic<int> stopped{-1};
  Task waiter([&] { stopped = dispatcher_.Dispatch(43, kMainWait, probe.Call()); });
  ASSERT_TRUE(Eventually([&] { return dispatcher_.HasPendingCalls(); }));
  dispatcher_.Shutdown();
  waiter.Join();
  EXPECT_EQ(stopped, 0);
  std::atomic<int> late{-1};
  Task latecomer([&] { late = dispatcher_.Dispatch(44, kMainWait, probe.Call()); });
  latecomer.Join();
  EXPECT_EQ(late, 0) << "refused once stopped, since nothing would run it";
  EXPECT_EQ(probe.runs, 0);
}

// Records the order of the steps and whether two ever overlapped.
struct ChainSteps {
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  void Step(int n) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    {
      std::lock_guard<std::mutex> guard(mutex);
      order.push_back(n);
    }
    inside.fetch_sub(1);
  }
  void One(intptr_t) { Step(1); }
  void Two(intptr_t) { Step(2); }
  void Three(intptr_t) { Step(3); }
};

TEST_F(TCXDispatcherTest, ChainRunsItsStepsInOrderAndLeavesNothingBehind) {
  ChainSteps steps;
  KestroWorkerCallChain chain;
  const intptr_t self = reinterpret_cast<intptr_t>(&chain);
  chain.AddCall(kMainWait, self, TCXCallback(&steps, &ChainSteps::One));
  chain.AddCall(kMainWait, self, TCXCallback(&steps, &ChainSteps::Two));
  chain.AddCall(kMainWait, self, TCXCallback(&steps, &ChainSteps::Three));
  chain.Start();
  EXPECT_TRUE(steps.order.empty()) << "starting does not wait for the steps";
  EXPECT_TRUE(chain.WaitUntilDone());
  EXPECT_EQ(steps.order, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(steps.overlapped);
  EXPECT_TRUE(chain.IsDone());

  // A chain destroyed before its steps ran must not leave a call to itself queued.
  ChainSteps unused;
  {
    KestroWorkerCallChain doomed;
    doomed.AddCall(kMainWait, 0, TCXCallback(&unused, &ChainSteps::One));
    doomed.Start();
    EXPECT_TRUE(GetDispatcher().HasPendingCalls());
  }
  EXPECT_FALSE(GetDispatcher().HasPendingCalls());
  EXPECT_TRUE(unused.order.empty());
}

// Each fault runs in a child process that the death test starts afresh.
class CrashGuardTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override { SetCrashGuardArmed(false); }
};

int RaiseSignal(intptr_t sig) { return std::raise(int(sig)); }
int ThrowError(intptr_t) { throw std::runtime_error("guarded"); }
int Harmless(intptr_t argument) { return int(argument); }
void ExitWith42(int) { _exit(42); }

TEST_F(CrashGuardTest, FaultsInsideAnArmedGuardEndTheProcessWith156) {
  // Faults and escaping exceptions on the calling thread are the diagnostics and front-end
  // suites' cases; here a worker thread and a handler installed later.
  EXPECT_EXIT(
      {
        SetMainThread();
        SetCrashGuardArmed(true);
        TCXDispatcher dispatcher("crash");
        dispatcher.Dispatch(SIGSEGV, TCXDispatcher::kWorkerOnly, TCXCallback(&RaiseSignal));
      },
      testing::ExitedWithCode(156), "")
      << "on a worker thread";
  // A fault handler that another part of the program installs later without passing faults on.
  EXPECT_EXIT(
      {
        SetCrashGuardArmed(true);
        CrashGuardedInvoke(TCXCallback(&Harmless), 1);
        signal(SIGSEGV, ExitWith42);
        CrashGuardedInvoke(TCXCallback(&RaiseSignal), SIGSEGV);
      },
      testing::ExitedWithCode(156), "");
  EXPECT_THROW(CrashGuardedInvoke(TCXCallback(&ThrowError), 0), std::runtime_error)
      << "an unarmed guard lets the exception travel on";
}

}  // namespace
