#include "core/chunked_list.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/kuid.h"

namespace {

using KUIDList = ChunkedList<KUID, 128>;
using SmallList = ChunkedList<int, 13>;

KUID K(i32 n) { return KUID(n, n, 0); }

template <class List>
auto Contents(const List& list) {
  std::vector<std::remove_cvref_t<decltype(*list.Begin())>> out;
  for (auto it = list.Begin(); !it.IsEnd(); it.Next()) out.push_back(*it);
  return out;
}

TEST(ChunkedListTest, GrowsAndShrinksByBlocks) {
  KUIDList list;
  EXPECT_TRUE(list.Begin().IsEnd());
  for (i32 i = 1; i <= 129; ++i) list.PushBack(K(i));
  EXPECT_EQ(list.Count(), 129u);
  EXPECT_EQ(list.BlockCount(), 2u);
  EXPECT_EQ(*list.IteratorAt(128), K(129));
  EXPECT_TRUE(list.Erase(list.IteratorAt(128)).IsEnd());
  EXPECT_EQ(list.BlockCount(), 1u);
  EXPECT_EQ(list.Count(), 128u);
}

TEST(ChunkedListTest, EraseKeepsOrderAndEraseUnorderedMovesTheLast) {
  KUIDList ordered;
  KUIDList unordered;
  for (i32 i = 1; i <= 5; ++i) {
    ordered.PushBack(K(i));
    unordered.PushBack(K(i));
  }
  EXPECT_EQ(*ordered.Erase(ordered.IteratorAt(2)), K(4));
  EXPECT_EQ(Contents(ordered), (std::vector<KUID>{K(1), K(2), K(4), K(5)}));
  EXPECT_EQ(*unordered.EraseUnordered(unordered.IteratorAt(2)), K(5));
  EXPECT_EQ(Contents(unordered), (std::vector<KUID>{K(1), K(2), K(5), K(4)}));

  // Entries move only inside their block; erasing a block's last entry gives the next block's
  // first, and an emptied block goes.
  SmallList small;
  for (int i = 0; i < 27; ++i) small.PushBack(i);  // blocks 13, 13, 1
  EXPECT_EQ(*small.Erase(small.IteratorAt(12)), 13);
  EXPECT_EQ(*small.EraseUnordered(small.IteratorAt(11)), 13);
  EXPECT_EQ(*small.EraseUnordered(small.IteratorAt(0)), 10);  // the block's last
  EXPECT_TRUE(small.Erase(small.IteratorAt(small.Count() - 1)).IsEnd());
  EXPECT_EQ(small.BlockCount(), 2u);
  while (!small.IsEmpty()) small.Erase(small.IteratorAt(0));
  EXPECT_EQ(small.BlockCount(), 0u);
  small.PushBack(7);
  EXPECT_EQ(Contents(small), std::vector<int>{7});
}

TEST(ChunkedListTest, IteratorAtAndAdvance) {
  KUIDList kuids;
  for (i32 i = 0; i < 150; ++i) kuids.PushBack(K(i));
  EXPECT_TRUE(kuids.IteratorAt(200).IsEnd());
  EXPECT_TRUE(kuids.IteratorAt(150).IsEnd());
  EXPECT_TRUE(kuids.IteratorAt(-1).IsEnd());
  EXPECT_EQ(*kuids.IteratorAt(149), K(149));

  SmallList list;
  for (int i = 0; i < 40; ++i) list.PushBack(i);  // blocks 13, 13, 13, 1
  struct Case {
    int start;
    i32 step;
    int expect;  // -1 for end
  };
  const Case cases[] = {
      {0, 13, 13},   {12, 28, -1},  {39, -1, 38},       {39, -39, 0},
      {39, -40, -1}, {26, -14, 12}, {0, INT32_MIN, -1}, {0, INT32_MAX, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << " + " << c.step);
    SmallList::Iterator it = list.IteratorAt(c.start);
    it.Advance(c.step);
    EXPECT_EQ(it.IsEnd() ? -1 : *it, c.expect);
  }
}

TEST(ChunkedListTest, AddUniqueIgnoresTheNullKuid) {
  KUIDList list;
  list.AddUnique(KUID::Null());
  list.AddUnique(K(1));
  list.AddUnique(KUID(1, 1, 2));  // differs only in version
  list.AddUnique(K(1));
  EXPECT_EQ(Contents(list), (std::vector<KUID>{K(1), KUID(1, 1, 2)}));
  EXPECT_TRUE(list.Find(KUID::Null()).IsEnd());
  for (i32 i = 0; i < 300; ++i) list.AddUnique(K(i % 200));  // found across blocks too
  EXPECT_EQ(list.Count(), 201u);
}

// Counts live instances so leaks and double destruction show up as a wrong count.
struct Tracked {
  static int live;
  std::string text;
  explicit Tracked(std::string t) : text(std::move(t)) { ++live; }
  Tracked(const Tracked& o) : text(o.text) { ++live; }
  Tracked(Tracked&& o) noexcept : text(std::move(o.text)) { ++live; }
  Tracked& operator=(const Tracked&) = default;
  Tracked& operator=(Tracked&&) noexcept = default;
  ~Tracked() { --live; }
  bool operator==(const Tracked& o) const { return text == o.text; }
};
int Tracked::live = 0;

std::string Long(int i) {
  return "a text long enough to live on the heap, number " + std::to_string(i);
}

TEST(ChunkedListTest, NonTrivialEntriesAreConstructedAndDestroyedOnce) {
  {
    ChunkedList<Tracked, 13> list;
    for (int i = 0; i < 30; ++i) list.PushBack(Tracked(Long(i)));
    list.Erase(list.IteratorAt(5));
    list.EraseUnordered(list.IteratorAt(0));
    list.Erase(list.IteratorAt(27));
    EXPECT_EQ(Tracked::live, 27);
    EXPECT_EQ(list.IteratorAt(0)->text, Long(12));
    EXPECT_EQ(list.IteratorAt(5)->text, Long(6));

    ChunkedList<Tracked, 13> copy;
    copy.AppendAll(list);
    copy.AppendAll(copy);  // appends what it held before
    ASSERT_EQ(copy.Count(), 54u);
    EXPECT_EQ(copy.IteratorAt(27)->text, Long(12));
    EXPECT_EQ(Tracked::live, 81);
    copy.Clear();
    EXPECT_EQ(Tracked::live, 27);

    ChunkedList<Tracked, 13> moved(std::move(list));
    EXPECT_TRUE(list.IsEmpty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.Count(), 27u);
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(ChunkedListTest, ThrowingCopyLeavesTheListAsItWas) {
  struct Fussy {
    bool refuseCopy;
    explicit Fussy(bool refuse) : refuseCopy(refuse) {}
    Fussy(const Fussy& o) : refuseCopy(o.refuseCopy) {
      if (refuseCopy) throw std::runtime_error("no copy");
    }
  };
  for (int before : {0, 5, 13}) {
    SCOPED_TRACE(before);
    ChunkedList<Fussy, 13> list;
    for (int i = 0; i < before; ++i) list.PushBack(Fussy(false));
    const u32 blocks = list.BlockCount();
    EXPECT_THROW(list.PushBack(Fussy(true)), std::runtime_error);
    EXPECT_EQ(list.Count(), u32(before));
    EXPECT_EQ(list.BlockCount(), blocks);
  }
}

}  // namespace
