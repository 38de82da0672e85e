#include "platform/named_mutex.h"
#include "platform/runtime_folder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/thread_watchdog.h"

namespace {

std::string UniqueName(const char* tag) {
  return std::string("named-mutex-test/") + tag + "/" + std::to_string(::getpid());
}

class NamedMutexTest : public ::testing::Test {
 protected:
  void TearDown() override { Platform::NamedMutex::Remove(name_); }
  void Use(const char* tag) { name_ = UniqueName(tag); }
  std::string name_;
};

// Runs `body` in a child process and returns its exit code.
template <class Body>
int InChild(Body body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ObjectNameTest, HashIsStableAndShort) {
  // FNV-1a of "a": the names must never change between builds, or a daemon and a client built
  // apart would not meet.
  EXPECT_EQ(Platform::ObjectNameHash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(Platform::ObjectBaseName("a"), "kestro-af63dc4c8601ec8c");
  const std::string longName(5000, 'x');
  EXPECT_EQ(Platform::NamedMutex::LockFilePath(longName),
            Platform::UserRuntimeFolder() + "/" + Platform::ObjectBaseName(longName) + ".lock");
  EXPECT_NE(Platform::ObjectBaseName("a/b"), Platform::ObjectBaseName("a/B"));
}

TEST_F(NamedMutexTest, FirstCreatorIsToldOtherProcessesExcludedAndReleasedWithTheirHolder) {
  Use("process");
  Platform::NamedMutex mine, second;
  bool created = false;
  ASSERT_TRUE(mine.Create(name_, true, &created));
  EXPECT_TRUE(created);
  ASSERT_TRUE(second.Create(name_, false, &created));
  EXPECT_FALSE(created);
  EXPECT_FALSE(mine.Create(name_, false)) << "an open mutex cannot be created again";
  EXPECT_EQ(InChild([&] {
              Platform::NamedMutex theirs;
              return theirs.Create(name_, false) && !theirs.TryLock() ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(mine.Unlock());
  // Asking for ownership of an existing mutex does not take it; a holder that ends without
  // unlocking releases the lock.
  EXPECT_EQ(InChild([&] {
              Platform::NamedMutex theirs;
              bool created = true;
              if (!theirs.Create(name_, true, &created) || created) return 1;
              return theirs.TryLock() ? 0 : 2;
            }),
            0);
  EXPECT_TRUE(mine.TryLock());
  EXPECT_TRUE(mine.Unlock());
}

TEST_F(NamedMutexTest, ReentrantForItsThreadAndExclusiveForOthers) {
  Use("thread");
  Platform::NamedMutex m;
  ASSERT_TRUE(m.Create(name_, false));
  m.Lock();
  EXPECT_TRUE(m.TryLock());
  std::atomic<int> otherTry{-1};
  std::atomic<bool> otherUnlock{true};
  std::thread([&] {
    otherTry = m.TryLock() ? 1 : 0;
    otherUnlock = m.Unlock();
  }).join();
  EXPECT_EQ(otherTry.load(), 0);
  EXPECT_FALSE(otherUnlock.load()) << "a thread that does not hold the lock cannot release it";
  EXPECT_TRUE(m.Unlock());
  EXPECT_TRUE(m.Unlock());
  EXPECT_FALSE(m.Unlock());

  // A waiting thread gets the lock when the holder lets go.
  m.Lock();
  std::atomic<bool> got{false};
  watchdog::Task waiter([&] {
    m.Lock();
    got = true;
    m.Unlock();
  });
  EXPECT_FALSE(got.load());
  m.Unlock();
  waiter.Join();
  EXPECT_TRUE(got.load());
}

}  // namespace
