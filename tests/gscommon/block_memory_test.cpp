#include "gscommon/block_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

u8* Bytes(void* p) { return static_cast<u8*>(p); }

std::vector<u8*> Take(Utils::BlockMemory& pool, int n) {
  std::vector<u8*> out;
  for (int i = 0; i < n; ++i) out.push_back(Bytes(pool.Alloc()));
  return out;
}

TEST(BlockMemoryTest, InitRoundsAndRefusesEmptyShapes) {
  const u32 cases[][4] = {
      // size, slots, stride, slots per block (0: refused)
      {5, 33, 8, 64}, {1, 1, 4, 32}, {0, 32, 0, 0}, {4, 0, 0, 0}, {0x40000000u, 64, 0, 0},
  };
  for (const auto& c : cases) {
    Utils::BlockMemory pool;
    EXPECT_EQ(pool.Init(c[0], c[1], 0), c[3] != 0);
    EXPECT_EQ(pool.Stride(), c[2]);
    EXPECT_EQ(pool.SlotsPerBlock(), c[3]);
    EXPECT_EQ(pool.Alloc() != nullptr, c[3] != 0);
  }
}

TEST(BlockMemoryTest, DoubleFreeAndForeignPointersAreRefusedHarmlessly) {
  Utils::BlockMemory pool, other;
  ASSERT_TRUE(pool.Init(16, 32, 0));
  ASSERT_TRUE(other.Init(16, 32, 0));
  u8* a = Bytes(pool.Alloc());
  u8* b = Bytes(pool.Alloc());
  u8* stranger = Bytes(other.Alloc());
  int onStack = 0;
  ASSERT_TRUE(pool.Free(a));
  void* refused[] = {a,        nullptr,
                     b + 4,    stranger,
                     &onStack, reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(b) + 64 * 16)};
  for (void* p : refused) {
    EXPECT_FALSE(pool.Free(p)) << p;
    EXPECT_EQ(pool.UsedCount(), 1u);
  }
  EXPECT_EQ(Bytes(pool.Alloc()), a);  // the freed slot comes back once
  EXPECT_NE(Bytes(pool.Alloc()), a);
  EXPECT_TRUE(other.Free(stranger));
  EXPECT_FALSE(Utils::BlockMemory().Free(a));
}

TEST(BlockMemoryTest, EmptyBlockIsReleasedBeyondTheSpareLimit) {
  for (const u32 spareLimit : {0u, 1u}) {
    SCOPED_TRACE(spareLimit);
    Utils::BlockMemory pool;
    ASSERT_TRUE(pool.Init(4, 32, spareLimit));
    std::vector<u8*> x = Take(pool, 32), y = Take(pool, 32);
    ASSERT_TRUE(pool.Free(x[0]));  // one spare slot in x
    for (u8* p : y) ASSERT_TRUE(pool.Free(p));
    EXPECT_EQ(pool.BlockCount(), spareLimit == 0 ? 1u : 2u);
    EXPECT_FALSE(pool.Free(y[0]));  // released or already free: refused either way
    EXPECT_EQ(pool.UsedCount(), 31u);
  }
}

TEST(BlockMemoryTest, ResetKeepsTheFirstBlockAndFreeAllNeedsInit) {
  Utils::BlockMemory pool;
  ASSERT_TRUE(pool.Init(8, 32, 1000));
  std::vector<u8*> got = Take(pool, 100);
  ASSERT_EQ(pool.BlockCount(), 4u);
  u8* lowest = got[0];
  for (u8* p : got) lowest = p < lowest ? p : lowest;
  pool.Reset();
  EXPECT_EQ(pool.BlockCount(), 1u);
  EXPECT_EQ(pool.UsedCount(), 0u);
  EXPECT_EQ(Bytes(pool.Alloc()), lowest);  // slot 0 of the lowest block

  pool.FreeAll();
  EXPECT_EQ(pool.SlotsPerBlock(), 0u);
  EXPECT_EQ(pool.Alloc(), nullptr);
  ASSERT_TRUE(pool.Init(8, 32, 0));
  EXPECT_NE(pool.Alloc(), nullptr);
}

}  // namespace
