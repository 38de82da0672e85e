#include "qel/critical_section.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

template <typename Fn>
bool OnOtherThread(Fn fn) {
  bool result = false;
  std::thread([&] { result = fn(); }).join();
  return result;
}

template <typename T>
class RecursiveLockTest : public testing::Test {};
using LockTypes = testing::Types<Qel::CriticalSection, Qel::Mutex>;
TYPED_TEST_SUITE(RecursiveLockTest, LockTypes);

TYPED_TEST(RecursiveLockTest, ReentersAndRefusesForeignUnlock) {
  TypeParam lock;
  EXPECT_FALSE(lock.Unlock());
  lock.Lock();
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
  EXPECT_FALSE(OnOtherThread([&] { return lock.Unlock(); }));
  EXPECT_TRUE(lock.Unlock());
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); })) << "one hold is left";
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(lock.IsLockedByCurrentThread());
  EXPECT_FALSE(lock.Unlock());
  EXPECT_TRUE(OnOtherThread([&] { return lock.TryLock() && lock.Unlock(); }));
}

TYPED_TEST(RecursiveLockTest, ExcludesOtherThreads) {
  TypeParam lock;
  long counter = 0;  // not atomic: only the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock.Lock();
        lock.Lock();
        ++counter;
        lock.Unlock();
        lock.Unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(SingleLockTest, ScopedEarlyAndDeferredHolds) {
  Qel::Mutex m;
  m.Lock();
  {
    Qel::SingleLock guard(m);
    guard.Lock();  // already held by this guard: no second hold
    guard.Unlock();
    guard.Unlock();  // a second early unlock must not touch the lock
    EXPECT_FALSE(guard.IsLocked());
    guard.Lock();
  }
  EXPECT_TRUE(m.IsLockedByCurrentThread()) << "the guard released only its own hold";
  EXPECT_FALSE(OnOtherThread([&] {
    Qel::SingleLock guard(m, false);
    return guard.TryLock();
  }));
  m.Unlock();
  EXPECT_FALSE(m.IsLockedByCurrentThread());
}

}  // namespace
