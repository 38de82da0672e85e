#include "core/read_write_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "core/app_globals.h"
#include "core/core_statics.h"
#include "core/tcx_dispatcher.h"
#include "qel/thread.h"
#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

using watchdog::Eventually;
using watchdog::Task;

constexpr u32 kA = 101, kB = 102, kC = 103;

// A worker hands a call to the main thread while the main thread waits for a lock that a third
// thread holds until that call has run: the wait must keep serving main-thread calls.
TEST(ReadWriteLockTest, MainThreadServesCallsWhileItWaits) {
  const u32 main_id = SetMainThread();
  ReadWriteLock lock;
  struct Call {
    std::atomic<bool> ran{false};
    std::atomic<u32> thread{0};
    void Run(intptr_t) {
      thread = Qel::Thread::CurrentId();
      ran = true;
    }
  } call;

  std::atomic<bool> holding{false};
  Task holder([&] {
    ASSERT_TRUE(lock.Acquire(true));
    holding = true;
    // Released either way, so that a failure cannot hang the suite.
    EXPECT_TRUE(Eventually([&] { return call.ran.load(); }));
    lock.Release();
  });
  ASSERT_TRUE(Eventually([&] { return holding.load(); }));
  std::atomic<int> dispatched{-1};
  Task worker([&] {
    dispatched =
        GetDispatcher().Dispatch(0, TCXDispatcher::kMainThreadOnly | TCXDispatcher::kExclusionB,
                                 TCXCallback(&call, &Call::Run));
  });

  EXPECT_TRUE(lock.Acquire(false));
  EXPECT_TRUE(call.ran);
  EXPECT_EQ(call.thread, main_id);
  EXPECT_TRUE(lock.Release());
  holder.Join();
  ASSERT_TRUE(Eventually([&] {
    GetDispatcher().RunNextCall(0);
    return worker.Done();
  }));
  EXPECT_EQ(dispatched, 1);
}

TEST(ReadWriteLockTest, WaitingWriterHoldsBackNewReadersButNotReentry) {
  ReadWriteLock lock;
  ASSERT_TRUE(lock.Acquire(kA, false));
  std::atomic<bool> writer_in{false};
  std::atomic<bool> writer_may_leave{false};
  Task writer([&] {
    EXPECT_TRUE(lock.Acquire(kB, true));
    writer_in = true;
    EXPECT_TRUE(Eventually([&] { return writer_may_leave.load(); }));
    EXPECT_TRUE(lock.Release(kB));
  });
  ASSERT_TRUE(Eventually([&] { return lock.GetExclusiveWaiters() == 1; }));
  EXPECT_FALSE(lock.TryAcquire(kC, false)) << "a new reader waits behind the writer";
  EXPECT_TRUE(lock.Acquire(kA, false)) << "a reader that holds the lock re-enters";
  EXPECT_FALSE(lock.Release(kA));
  EXPECT_TRUE(lock.Release(kA));
  ASSERT_TRUE(Eventually([&] { return writer_in.load(); }));
  EXPECT_FALSE(lock.TryAcquire(kC, false));
  writer_may_leave = true;
  writer.Join();
  EXPECT_TRUE(lock.TryAcquire(kC, false));
}

TEST(ReadWriteLockTest, ReleaseByAThreadThatHoldsNothingChangesNothing) {
  for (int held : {0, 1, 2}) {
    SCOPED_TRACE(held);
    ReadWriteLock lock;
    if (held != 0) {
      ASSERT_TRUE(lock.TryAcquire(kA, held == 2));
    }
    EXPECT_FALSE(lock.Release(kB));
    EXPECT_EQ(lock.GetHolderCount(), held ? 1u : 0u);
    EXPECT_EQ(lock.IsExclusive(), held == 2);
    EXPECT_EQ(lock.CountHolds(kA), held ? 1u : 0u);
  }
}

// Requests that cannot be granted end with false and a line in the log rather than a wait for
// ever: a shared holder asking for the lock exclusively at once, any other at the wait limit.
TEST(ReadWriteLockTest, RequestsThatCannotBeGrantedAreRefusedAndLogged) {
  const struct {
    const char* what;
    u32 holder;
    bool heldExclusively;
    bool askExclusively;
    const char* logged;
  } cases[] = {
      {"shared holder asks for exclusive", kA, false, true, "may not take it exclusively"},
      {"holder that never lets go, shared ask", kB, true, false, "gave up"},
      {"holder that never lets go, exclusive ask", kB, false, true, "gave up"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    ReadWriteLock lock(100);
    ASSERT_TRUE(lock.Acquire(k.holder, k.heldExclusively));
    std::atomic<int> result{-1};
    const std::string log = scratch::CaptureLog([&] {
      Task asker([&] { result = lock.Acquire(kA, k.askExclusively); });
      asker.Join();  // stops the suite if the request waits for ever
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(lock.GetExclusiveWaiters(), 0u) << "a refused request leaves no waiter behind";
    EXPECT_EQ(lock.CountHolds(k.holder), 1u);
    EXPECT_EQ(lock.CountHolds(kA), k.holder == kA ? 1u : 0u);
    EXPECT_NE(log.find(k.logged), std::string::npos) << log;
  }
}

}  // namespace
