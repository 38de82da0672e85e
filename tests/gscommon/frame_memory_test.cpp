#include "gscommon/frame_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(FrameMemoryTest, AlignsAndChainsNewBlocksKeepingOldContents) {
  Utils::FrameMemory pool(64);
  for (u32 alignment : {2u, 8u, 16u}) {
    ASSERT_NE(pool.Alloc(1, 1), nullptr);  // knock the position off alignment
    void* p = pool.Alloc(3, alignment);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << alignment;
  }
  pool.Reset();
  char* a = pool.StrDup(std::string(39, 'a').c_str());
  char* b = pool.StrDup(std::string(29, 'b').c_str());  // 24 bytes left: a new block
  char* c = static_cast<char*>(pool.Alloc(20, 1));      // fits behind b
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(c, b + 30);
  EXPECT_EQ(std::string(a), std::string(39, 'a'));
  EXPECT_EQ(std::string(b), std::string(29, 'b'));
  EXPECT_EQ(pool.AllocCount(), 3u);
  EXPECT_EQ(pool.BytesUsed(), 90u);
}

TEST(FrameMemoryTest, LongTextsResetFreeAllAndNewBlockSizeLeaveThePoolUsable) {
  Utils::FrameMemory pool(32);
  EXPECT_EQ(pool.StrDup(nullptr), nullptr);
  for (size_t length : {0, 31, 32, 3000}) {
    std::string text(length, 'k');
    EXPECT_EQ(pool.StrDup(text.c_str()), text) << length;
  }
  pool.Reset();
  EXPECT_EQ(pool.AllocCount(), 0u);
  EXPECT_EQ(pool.BytesUsed(), 0u);
  char* a = static_cast<char*>(pool.Alloc(4, 1));
  ASSERT_NE(pool.StrDup(std::string(100, 'k').c_str()), nullptr);  // longer than a block
  EXPECT_EQ(pool.Alloc(4, 1), a + 4);  // the current block is undisturbed
  EXPECT_EQ(pool.BytesUsed(), 109u);
  pool.Reset();
  EXPECT_EQ(pool.Alloc(8, 1), a);

  pool.FreeAll();
  EXPECT_EQ(pool.BlockSize(), 32u);
  EXPECT_STREQ(pool.StrDup("after"), "after");
  pool.SetBlockSize(256);
  EXPECT_EQ(pool.AllocCount(), 0u);
  EXPECT_NE(pool.Alloc(256, 1), nullptr);
  EXPECT_EQ(pool.Alloc(257, 1), nullptr);

  Utils::FrameMemory none(0);
  EXPECT_EQ(none.Alloc(0, 1), nullptr);
  EXPECT_EQ(none.StrDup("x"), nullptr);
}

}  // namespace
