#include "qel/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr u32 kWatchdogMs = 20000;

TEST(ThreadTest, SuspendedUntilStartThenRunsOnce) {
  std::atomic<int> runs{0};
  u32 seen_id = 0;
  Qel::Thread t([&](Qel::Thread&) {
    ++runs;
    seen_id = Qel::Thread::CurrentId();
    return 42;
  });
  EXPECT_TRUE(t.Join()) << "joining a thread that never started returns at once";
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.GetId(), 0u);
  EXPECT_EQ(runs, 0);

  ASSERT_TRUE(t.Start());
  EXPECT_FALSE(t.Start()) << "a thread object starts once";
  ASSERT_TRUE(t.Join(kWatchdogMs));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(t.GetExitCode(), 42);
  EXPECT_EQ(seen_id, t.GetId());
  EXPECT_NE(seen_id, 0u);
}

TEST(ThreadTest, EndRequestAndTimedJoin) {
  std::atomic<bool> looping{false};
  std::atomic<int> self_join{-1};
  Qel::Thread t([&](Qel::Thread& self) {
    self_join = self.Join(kWatchdogMs);  // would never return if not refused
    looping = true;
    while (!self.IsEndRequested()) Qel::Sleep(1);
    return 7;
  });
  ASSERT_TRUE(t.Start());
  while (!looping) Qel::Sleep(1);
  EXPECT_EQ(self_join, 0);
  EXPECT_TRUE(t.IsRunning());
  EXPECT_FALSE(t.Join(0));
  EXPECT_FALSE(t.Join(20));
  t.RequestEnd();
  ASSERT_TRUE(t.Join(kWatchdogMs));
  EXPECT_EQ(t.GetExitCode(), 7);
}

class LoopingThread : public Qel::Thread {
 public:
  explicit LoopingThread(std::atomic<int>& ended) : ended_(ended) {}
  ~LoopingThread() override { Join(); }

 protected:
  i32 Run() override {
    while (!IsEndRequested()) Qel::Sleep(1);
    return ++ended_;
  }

 private:
  std::atomic<int>& ended_;
};

TEST(ThreadTest, DestroyingARunningThreadEndsAndJoinsIt) {
  std::atomic<int> ended{0};
  {
    Qel::Thread t([&](Qel::Thread& self) {
      while (!self.IsEndRequested()) Qel::Sleep(1);
      return ++ended;
    });
    ASSERT_TRUE(t.Start());
  }
  EXPECT_EQ(ended, 1);
  {
    LoopingThread t(ended);
    ASSERT_TRUE(t.Start());
    t.RequestEnd();
  }
  EXPECT_EQ(ended, 2);
}

TEST(ThreadTest, CurrentIdIsStableDistinctAndNeverZero) {
  std::vector<u32> ids(8);
  std::vector<std::thread> plain;
  for (size_t i = 0; i < ids.size(); ++i) {
    plain.emplace_back([&ids, i] {
      const u32 id = Qel::Thread::CurrentId();
      ids[i] = Qel::Thread::CurrentId() == id ? id : 0;
    });
  }
  for (auto& t : plain) t.join();
  Qel::Thread engine;
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(engine.Join(kWatchdogMs));
  ids.push_back(engine.GetId());
  ids.push_back(Qel::Thread::CurrentId());
  const std::set<u32> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), ids.size());
  EXPECT_EQ(distinct.count(0u), 0u);
}

}  // namespace
