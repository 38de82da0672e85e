#include "qel/multi_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qel/semaphore.h"
#include "qel/thread.h"

namespace {

using Qel::MultiLock;
using Qel::Mutex;
using Qel::Semaphore;

TEST(SemaphoreTest, CountsAndRefusesPastItsMaximum) {
  Semaphore semaphore(1, 2);
  EXPECT_TRUE(semaphore.TryAcquire());
  EXPECT_FALSE(semaphore.TryAcquire());
  EXPECT_FALSE(semaphore.Acquire(1));
  EXPECT_TRUE(semaphore.Release(2));
  EXPECT_FALSE(semaphore.Release(1));
  EXPECT_FALSE(semaphore.Release(0));
  EXPECT_EQ(2, semaphore.GetCount());
}

TEST(SemaphoreTest, ReleaseWakesAWaiter) {
  Semaphore semaphore;
  std::atomic<bool> acquired{false};
  std::thread waiter([&] { acquired = semaphore.Acquire(); });
  semaphore.Release();
  waiter.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(0, semaphore.GetCount());
}

TEST(MultiLockTest, TakesEverythingOrNothing) {
  Semaphore work;
  Mutex a;
  Mutex b;
  {
    MultiLock all({&work}, {&a, &b});
    EXPECT_FALSE(all.Lock(0));  // no count: the locks stay free
  }
  std::thread([&] {
    EXPECT_TRUE(a.TryLock());
    EXPECT_TRUE(a.Unlock());
  }).join();

  work.Release();
  std::atomic<bool> holdB{true};
  std::atomic<bool> bHeld{false};
  std::thread other([&] {
    b.Lock();
    bHeld = true;
    while (holdB) Qel::Sleep(1);
    b.Unlock();
  });
  while (!bHeld) Qel::Sleep(1);
  {
    MultiLock all({&work}, {&a, &b});
    EXPECT_FALSE(all.Lock(5));  // b is taken: the count and a are left alone
    EXPECT_EQ(1, work.GetCount());
    holdB = false;
    EXPECT_TRUE(all.Lock());  // succeeds once b is free
    EXPECT_EQ(0, work.GetCount());
    EXPECT_TRUE(all.IsHeld(a));
    all.Unlock(a);
    EXPECT_FALSE(all.IsHeld(a));
    EXPECT_TRUE(all.IsHeld(b));
  }
  other.join();
  std::thread([&] {  // the destructor gave b back
    EXPECT_TRUE(b.TryLock());
    b.Unlock();
  })
      .join();
}

// Several takers over overlapping sets never deadlock and never run two holders of one lock.
TEST(MultiLockTest, OverlappingSetsMakeProgress) {
  Semaphore work(0);
  Mutex a;
  Mutex b;
  std::atomic<int> inA{0};
  std::atomic<int> served{0};
  constexpr int kItems = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (served.load() < kItems) {
        MultiLock lock({&work}, t % 2 ? std::initializer_list<Qel::RecursiveLock*>{&a, &b}
                                      : std::initializer_list<Qel::RecursiveLock*>{&b, &a});
        if (!lock.Lock(10)) continue;
        EXPECT_EQ(1, ++inA);
        --inA;
        ++served;
      }
    });
  }
  for (int i = 0; i < kItems; ++i) work.Release();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(kItems, served.load());
  EXPECT_EQ(0, work.GetCount());
}

}  // namespace
