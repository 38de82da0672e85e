#include "core/chunked_list.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/kuid.h"
#include "core/make_string.h"
#include "qel/string.h"

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

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

void Fill(SmallList& list, int count) {
  for (int i = 0; i < count; ++i) list.PushBack(i);
}

TEST(ChunkedListTest, GrowsAndShrinksByBlocks) {
  KUIDList list;
  EXPECT_TRUE(list.Begin().IsEnd());
  EXPECT_EQ(list.Count(), 0u);
  for (i32 i = 1; i <= 129; ++i) list.PushBack(K(i));
  EXPECT_EQ(list.Count(), 129u);
  EXPECT_EQ(list.BlockCount(), 2u);
  EXPECT_EQ(*list.IteratorAt(127), K(128));
  EXPECT_EQ(*list.IteratorAt(128), K(129));

  KUIDList::Iterator next = list.Erase(list.IteratorAt(128));
  EXPECT_TRUE(next.IsEnd());
  EXPECT_EQ(list.BlockCount(), 1u);
  EXPECT_EQ(list.Count(), 128u);

  SmallList small;
  Fill(small, 27);
  EXPECT_EQ(small.BlockCount(), 3u);
  EXPECT_EQ(Contents(small), Range(0, 27));
}

TEST(ChunkedListTest, EraseKeepsOrderAndEraseUnorderedMovesTheLast) {
  KUIDList ordered;
  KUIDList unordered;
  for (i32 i = 1; i <= 5; ++i) {
    ordered.PushBack(K(i));
    unordered.PushBack(K(i));
  }
  KUIDList::Iterator a = ordered.Erase(ordered.IteratorAt(2));
  EXPECT_EQ(*a, K(4));
  EXPECT_EQ(Contents(ordered), (std::vector<KUID>{K(1), K(2), K(4), K(5)}));

  KUIDList::Iterator b = unordered.EraseUnordered(unordered.IteratorAt(2));
  EXPECT_EQ(*b, K(5));
  EXPECT_EQ(Contents(unordered), (std::vector<KUID>{K(1), K(2), K(5), K(4)}));

  // Erasing a block's last entry continues at the next block, or ends.
  KUIDList::Iterator c = unordered.EraseUnordered(unordered.IteratorAt(3));
  EXPECT_TRUE(c.IsEnd());
  EXPECT_EQ(Contents(unordered), (std::vector<KUID>{K(1), K(2), K(5)}));
}

TEST(ChunkedListTest, EraseAcrossBlockBoundaries) {
  struct Case {
    const char* name;
    int erase;  // index to erase from a list of 27 (blocks of 13, 13, 1)
    bool unordered;
    int expectNext;  // value the returned iterator points at, -1 for end
    u32 blocks;
  };
  const Case cases[] = {
      {"last of head block", 12, false, 13, 3},
      {"last of middle block", 25, false, 26, 3},
      {"only entry of last block", 26, false, -1, 2},
      {"unordered last of head block", 12, true, 13, 3},
      {"unordered inside head block", 3, true, 12, 3},
      {"unordered only entry of last block", 26, true, -1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallList list;
    Fill(list, 27);
    std::vector<int> model = Range(0, 27);
    SmallList::Iterator it = list.IteratorAt(c.erase);
    SmallList::Iterator next = c.unordered ? list.EraseUnordered(it) : list.Erase(it);
    if (c.unordered && c.erase % 13 != 12 && c.erase != 26) {
      int blockLast = (c.erase / 13) * 13 + 12;
      model[c.erase] = model[blockLast];
      model.erase(model.begin() + blockLast);
    } else {
      model.erase(model.begin() + c.erase);
    }
    EXPECT_EQ(Contents(list), model);
    EXPECT_EQ(list.BlockCount(), c.blocks);
    if (c.expectNext < 0) {
      EXPECT_TRUE(next.IsEnd());
    } else {
      ASSERT_FALSE(next.IsEnd());
      EXPECT_EQ(*next, c.expectNext);
    }
  }
}

TEST(ChunkedListTest, EmptyingTheHeadBlockMovesTheHead) {
  SmallList list;
  Fill(list, 14);  // blocks of 13 and 1
  list.Erase(list.IteratorAt(13));
  list.PushBack(100);
  // Empty the head block from the front; the second block becomes the head.
  SmallList::Iterator it = list.Begin();
  for (int i = 0; i < 13; ++i) it = list.Erase(it);
  ASSERT_FALSE(it.IsEnd());
  EXPECT_EQ(*it, 100);
  EXPECT_EQ(list.BlockCount(), 1u);
  EXPECT_EQ(Contents(list), std::vector<int>{100});
  EXPECT_TRUE(list.EraseUnordered(list.Begin()).IsEnd());
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_TRUE(list.Begin().IsEnd());
  // The list is usable again after it became empty.
  list.PushBack(7);
  EXPECT_EQ(Contents(list), std::vector<int>{7});
}

TEST(ChunkedListTest, IteratorAtAndAdvance) {
  KUIDList kuids;
  for (i32 i = 0; i < 150; ++i) kuids.PushBack(K(i));
  EXPECT_TRUE(kuids.IteratorAt(200).IsEnd());
  EXPECT_TRUE(kuids.IteratorAt(150).IsEnd());
  EXPECT_TRUE(kuids.IteratorAt(-1).IsEnd());
  EXPECT_EQ(*kuids.IteratorAt(149), K(149));

  SmallList list;
  Fill(list, 40);  // blocks 13, 13, 13, 1
  struct Case {
    int start;
    i32 step;
    int expect;  // -1 for end
  };
  const Case cases[] = {
      {0, 0, 0},    {0, 12, 12},   {0, 13, 13},        {5, 30, 35},
      {12, 27, 39}, {12, 28, -1},  {39, 1, -1},        {39, -1, 38},
      {39, -39, 0}, {39, -40, -1}, {13, -1, 12},       {26, -14, 12},
      {20, -7, 13}, {0, -1, -1},   {0, INT32_MIN, -1}, {0, INT32_MAX, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << " + " << c.step);
    SmallList::Iterator it = list.IteratorAt(c.start);
    it.Advance(c.step);
    if (c.expect < 0) {
      EXPECT_TRUE(it.IsEnd());
    } else {
      ASSERT_FALSE(it.IsEnd());
      EXPECT_EQ(*it, c.expect);
    }
  }
}

TEST(ChunkedListTest, FindAndAddUnique) {
  KUIDList list;
  list.AddUnique(KUID::Null());
  EXPECT_EQ(list.Count(), 0u);
  list.AddUnique(K(1));
  list.AddUnique(KUID(1, 1, 2));  // differs only in version
  list.AddUnique(K(1));
  list.AddUnique(KUID::Null());
  EXPECT_EQ(Contents(list), (std::vector<KUID>{K(1), KUID(1, 1, 2)}));
  EXPECT_TRUE(list.Find(KUID::Null()).IsEnd());
  // A null KUID pushed on purpose is still found.
  list.PushBack(KUID::Null());
  EXPECT_EQ(*list.Find(KUID::Null()), KUID::Null());

  KUIDList many;
  for (i32 i = 0; i < 300; ++i) many.AddUnique(K(i % 200));
  EXPECT_EQ(many.Count(), 200u);
  EXPECT_EQ(*many.Find(K(199)), K(199));
  EXPECT_TRUE(many.Find(K(200)).IsEnd());
}

TEST(ChunkedListTest, RandomErasesMatchAVector) {
  SmallList list;
  std::vector<int> model;
  u32 seed = 12345;
  auto rnd = [&seed](u32 n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  for (int round = 0; round < 2000; ++round) {
    if (model.empty() || rnd(3) != 0) {
      list.PushBack(round);
      model.push_back(round);
    } else {
      u32 index = rnd(u32(model.size()));
      SmallList::Iterator next = list.Erase(list.IteratorAt(i32(index)));
      model.erase(model.begin() + index);
      if (index < model.size()) {
        ASSERT_FALSE(next.IsEnd());
        ASSERT_EQ(*next, model[index]);
      } else {
        ASSERT_TRUE(next.IsEnd());
      }
    }
    ASSERT_EQ(list.Count(), model.size());
  }
  EXPECT_EQ(Contents(list), model);
  for (size_t i = 0; i < model.size(); i += 7) EXPECT_EQ(*list.IteratorAt(i32(i)), model[i]);
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
    EXPECT_EQ(Tracked::live, 30);
    list.Erase(list.IteratorAt(5));
    list.EraseUnordered(list.IteratorAt(0));
    list.Erase(list.IteratorAt(27));
    EXPECT_EQ(Tracked::live, 27);
    EXPECT_EQ(list.IteratorAt(0)->text, Long(12));
    EXPECT_EQ(list.IteratorAt(5)->text, Long(6));

    ChunkedList<Tracked, 13> copy;
    copy.AppendAll(list);
    EXPECT_EQ(Tracked::live, 54);
    EXPECT_EQ(Contents(copy), Contents(list));
    copy.AppendAll(copy);
    ASSERT_EQ(copy.Count(), 54u);
    EXPECT_EQ(copy.IteratorAt(27)->text, Long(12));
    EXPECT_EQ(Tracked::live, 81);
    copy.Clear();
    EXPECT_EQ(Tracked::live, 27);
    EXPECT_TRUE(copy.IsEmpty());

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
    u32 blocks = list.BlockCount();
    EXPECT_THROW(list.PushBack(Fussy(true)), std::runtime_error);
    EXPECT_EQ(list.Count(), u32(before));
    EXPECT_EQ(list.BlockCount(), blocks);
    u32 seen = 0;
    for (const Fussy& f : list) seen += f.refuseCopy ? 100 : 1;
    EXPECT_EQ(seen, u32(before));
  }
}

TEST(ChunkedListTest, MessageTextRecords) {
  ChunkedList<Qel::String, 13> list;
  for (int i = 0; i < 20; ++i) list.PushBack(MakeString(Long(i).c_str()));
  list.PushBack(MakeString(Qel::String("last")));
  list.PushBack(MakeString(static_cast<const char*>(nullptr)));
  list.EraseUnordered(list.IteratorAt(1));
  ChunkedList<Qel::String, 13> copy;
  copy.AppendAll(list);
  // The head block's last entry filled the gap; the second block is untouched.
  ASSERT_EQ(copy.Count(), 21u);
  EXPECT_EQ(*copy.IteratorAt(1), Long(12).c_str());
  EXPECT_EQ(*copy.IteratorAt(12), Long(13).c_str());
  EXPECT_EQ(*copy.IteratorAt(19), "last");
  EXPECT_EQ(*copy.IteratorAt(20), "");
}

}  // namespace
