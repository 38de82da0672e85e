#include "qel/shared_memory.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

class SharedMemoryTest : public ::testing::Test {
 protected:
  void TearDown() override { Qel::SharedMemory::Remove(name_); }
  std::string name_ = "shared-memory-test/" + std::to_string(::getpid());
};

TEST_F(SharedMemoryTest, NewBlockIsZeroAndSharedWithOtherProcesses) {
  Qel::SharedMemory first;
  bool created = false;
  ASSERT_TRUE(first.Create(name_, 36, &created));
  EXPECT_TRUE(created);
  EXPECT_EQ(first.GetSize(), 36u);
  const u8 zero[36] = {};
  EXPECT_EQ(std::memcmp(first.GetData(), zero, 36), 0);

  const pid_t child = ::fork();
  if (child == 0) {
    Qel::SharedMemory theirs;
    bool made = true;
    if (!theirs.Create(name_, 36, &made) || made) ::_exit(1);
    static_cast<u8*>(theirs.GetData())[35] = 0x5A;
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(static_cast<u8*>(first.GetData())[35], 0x5A);
}

TEST_F(SharedMemoryTest, SmallerObjectGrowsLargerStaysWholeRemovedNameStartsAfresh) {
  Qel::SharedMemory small;
  ASSERT_TRUE(small.Create(name_, 8));
  static_cast<u8*>(small.GetData())[7] = 7;
  Qel::SharedMemory big;
  bool created = true;
  ASSERT_TRUE(big.Create(name_, 4096, &created));
  EXPECT_FALSE(created);
  EXPECT_EQ(static_cast<u8*>(big.GetData())[7], 7);
  static_cast<u8*>(big.GetData())[4095] = 1;  // the whole view is usable
  Qel::SharedMemory again;
  ASSERT_TRUE(again.Create(name_, 8));
  EXPECT_EQ(static_cast<u8*>(again.GetData())[7], 7);

  EXPECT_TRUE(Qel::SharedMemory::Remove(name_));
  EXPECT_EQ(static_cast<u8*>(small.GetData())[7], 7) << "an attached view outlives the name";
  Qel::SharedMemory fresh;
  ASSERT_TRUE(fresh.Create(name_, 8, &created));
  EXPECT_TRUE(created);
  EXPECT_EQ(static_cast<u8*>(fresh.GetData())[7], 0);
}

}  // namespace
