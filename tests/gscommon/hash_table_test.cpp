#include "gscommon/hash_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Table = Utils::HashTable<int>;

std::vector<std::string> Texts(Table& table) {
  std::vector<std::string> out;
  Table::Iterator it;
  for (bool more = table.Begin(&it); more; more = it.Next()) out.push_back(it.Text());
  return out;
}

TEST(HashTableTest, HashStringTakesBytesAsSigned) {
  EXPECT_EQ(Utils::HashString(""), 0u);
  EXPECT_EQ(Utils::HashString("abc"), (97u * 3 + 98) * 3 + 99);
  EXPECT_EQ(Utils::HashString("\xFF"), 0xFFFFFFFFu);
  EXPECT_EQ(Utils::HashString("a\x80"), 97u * 3 - 128);
}

TEST(HashTableTest, CollidingTextKeysStaySortedAsUnsignedBytes) {
  const std::vector<std::string> keys = {"b", "a", "\xE9", "ab", "", "B"};
  const std::vector<std::string> sorted = {"", "B", "a", "ab", "b", "\xE9"};
  std::vector<int> order = {0, 1, 2, 3, 4, 5};
  do {
    Table table(1);
    for (int i : order) ASSERT_TRUE(table.InsertString(keys[i].c_str(), i));
    ASSERT_EQ(Texts(table), sorted);
    Table::Iterator it;
    for (int i = 0; i < 6; ++i) {
      ASSERT_TRUE(table.FindString(keys[i].c_str(), &it));
      ASSERT_EQ(it.Value(), i);
    }
    ASSERT_FALSE(table.FindString("c"));
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(HashTableTest, DuplicateInsertKeepsTheFirstValue) {
  Table texts(61), ints(97), pairs(251);
  std::string sameText = "key";
  EXPECT_TRUE(texts.InsertString("key", 1));
  EXPECT_FALSE(texts.InsertString(sameText.c_str(), 2));
  EXPECT_TRUE(ints.InsertInt(42, 1));
  EXPECT_FALSE(ints.InsertInt(42, 2));
  EXPECT_TRUE(pairs.InsertIdPair(5, 6, 1));
  EXPECT_FALSE(pairs.InsertIdPair(5, 6, 2));
  EXPECT_TRUE(pairs.InsertIdPair(5, 7, 3));
  Table::Iterator a, b, c;
  ASSERT_TRUE(texts.FindString("key", &a) && ints.FindInt(42, &b) && pairs.FindIdPair(5, 6, &c));
  EXPECT_EQ(std::vector<int>({a.Value(), b.Value(), c.Value()}), std::vector<int>({1, 1, 1}));
  EXPECT_EQ(texts.Count() + ints.Count() + pairs.Count(), 4u);
}

TEST(HashTableTest, IntegerAndPairKeysOrderByBucketThenKey) {
  Table ints(7);  // bucket = (key >> 1) % 7: 1 and 14 in bucket 0, 4 and 5 in bucket 2
  for (u64 k : {14u, 5u, 4u, 1u}) ASSERT_TRUE(ints.InsertInt(k, int(k)));
  std::vector<u64> keys;
  Table::Iterator it;
  for (bool more = ints.Begin(&it); more; more = it.Next()) keys.push_back(it.Key());
  EXPECT_EQ(keys, (std::vector<u64>{1, 14, 4, 5}));
  EXPECT_TRUE(ints.InsertInt(0x100000004ull, 9));  // wide enough for host pointers
  EXPECT_TRUE(ints.FindInt(0x100000004ull));
  EXPECT_FALSE(ints.FindInt(0x100000005ull));

  Table pairs(5);  // every first id here lands in bucket 2
  for (auto [a, b] : {std::pair{7u, 3u}, {2u, 9u}, {7u, 1u}, {12u, 0u}, {2u, 1u}}) {
    ASSERT_TRUE(pairs.InsertIdPair(a, b, 0));
  }
  std::vector<std::pair<u32, u32>> order;
  for (bool more = pairs.Begin(&it); more; more = it.Next()) {
    order.push_back({it.FirstId(), it.SecondId()});
  }
  EXPECT_EQ(order, (std::vector<std::pair<u32, u32>>{{2, 1}, {2, 9}, {7, 1}, {7, 3}, {12, 0}}));
}

TEST(HashTableTest, RefusesMixedKeyKindsNullTextsAndMissingBuckets) {
  Table table(7), none;
  ASSERT_TRUE(table.InsertInt(3, 1));
  EXPECT_FALSE(table.InsertString("x", 2));
  EXPECT_FALSE(table.FindString("x"));  // must not read the integer entry as a text
  EXPECT_FALSE(table.InsertString(nullptr, 2));
  table.Clear();
  EXPECT_TRUE(table.InsertString("x", 2));  // an empty table takes any kind
  EXPECT_FALSE(none.InsertString("x", 1));
  EXPECT_TRUE(none.Init(3));
  EXPECT_TRUE(none.InsertString("x", 1));
}

TEST(HashTableTest, IterationRunsBucketByBucketAndEraseAdvances) {
  Table table(7), other(7);  // "b" in bucket 0, "c" in 1, "a", "h" and "o" in 6
  for (const char* k : {"h", "c", "b", "a", "o"}) ASSERT_TRUE(table.InsertString(k, 0));
  EXPECT_EQ(Texts(table), (std::vector<std::string>{"b", "c", "a", "h", "o"}));
  Table::Iterator it;
  ASSERT_TRUE(table.FindString("c", &it));
  ASSERT_TRUE(table.Erase(&it));  // end of a chain: on to the next bucket
  EXPECT_STREQ(it.Text(), "a");
  ASSERT_TRUE(it.Next());
  ASSERT_TRUE(table.Erase(&it));  // middle of a chain
  EXPECT_STREQ(it.Text(), "o");
  ASSERT_TRUE(table.Erase(&it));  // the last entry
  EXPECT_FALSE(it.Valid());
  EXPECT_FALSE(table.Erase(&it));
  EXPECT_EQ(Texts(table), (std::vector<std::string>{"b", "a"}));
  ASSERT_TRUE(other.InsertString("b", 0));
  ASSERT_TRUE(other.Begin(&it));
  EXPECT_FALSE(table.Erase(&it));  // another table's position
  EXPECT_EQ(table.Count() + other.Count(), 3u);
}

// Ordered like the compiler's symbols: by name, then the deeper level first; level -1 in a key
// equals any level.
struct Named : Utils::IHashNode {
  Named(const char* n, int l) : name(n), level(l) {}
  u32 Hash() const override { return Utils::HashString(name.c_str()); }
  int Compare(const IHashNode& other) const override {
    const Named& o = static_cast<const Named&>(other);
    if (int c = name.compare(o.name)) return c < 0 ? -1 : 1;
    if (level == -1 || o.level == -1 || level == o.level) return 0;
    return level > o.level ? -1 : 1;
  }
  std::string name;
  int level;
};

std::vector<std::string> Nodes(const Utils::HashNodeTable& table) {
  std::vector<std::string> out;
  for (Utils::IHashNode* n = table.First(); n != nullptr; n = table.Next(n)) {
    const Named* named = static_cast<const Named*>(n);
    out.push_back(named->name + std::to_string(named->level));
  }
  return out;
}

TEST(HashNodeTableTest, ChainsSortedAndFindsTheInnermostFirst) {
  Named x0("x", 0), x1("x", 1), x2("x", 2), a0("a", 0), h0("h", 0), again("x", 1);
  Utils::HashNodeTable table(7), other(1), none;  // "x" in bucket 1; "a", "h" in bucket 6
  for (Named* n : {&x1, &h0, &x0, &a0, &x2}) ASSERT_TRUE(table.Insert(n));
  EXPECT_FALSE(table.Insert(&again));
  EXPECT_EQ(Nodes(table), (std::vector<std::string>{"x2", "x1", "x0", "a0", "h0"}));
  EXPECT_EQ(table.Find(Named("x", -1)), &x2);
  EXPECT_EQ(table.Find(Named("x", 0)), &x0);
  EXPECT_EQ(table.Find(Named("y", -1)), nullptr);
  EXPECT_TRUE(table.Remove(&x2));
  EXPECT_FALSE(table.Remove(&x2));
  EXPECT_FALSE(table.Remove(&again));
  EXPECT_EQ(table.Find(Named("x", -1)), &x1);

  // Cleared nodes may join another table, and the cleared table stays usable.
  table.Clear();
  EXPECT_EQ(table.First(), nullptr);
  for (Named* n : {&x0, &x1, &a0}) EXPECT_TRUE(other.Insert(n));
  EXPECT_EQ(Nodes(other), (std::vector<std::string>{"a0", "x1", "x0"}));
  EXPECT_TRUE(table.Insert(&h0));
  EXPECT_FALSE(none.Insert(&again));
  EXPECT_EQ(none.Find(again), nullptr);
}

}  // namespace

namespace {

// Init keeps the buckets of an empty table of the same size: whatever came before, the table
// that results holds nothing, has the size asked for and takes nodes again.
TEST(HashNodeTableTest, InitAfterAnyHistoryGivesAnEmptyTable) {
  struct Case {
    const char* name;
    int inserted;
    bool forgetFirst;
    bool removeAll;
    u32 size;
  };
  const Case cases[] = {
      {"fresh, same size", 0, false, false, 7},
      {"fresh, other size", 0, false, false, 11},
      {"filled", 3, false, false, 7},
      {"filled then forgotten", 3, true, false, 7},
      {"filled then emptied one by one", 3, false, true, 7},
  };
  for (const Case& c : cases) {
    Utils::HashNodeTable table(7);
    std::vector<std::unique_ptr<Named>> nodes;
    for (int i = 0; i < c.inserted; ++i) {
      nodes.push_back(std::make_unique<Named>(("n" + std::to_string(i)).c_str(), 0));
      ASSERT_TRUE(table.Insert(nodes.back().get())) << c.name;
    }
    if (c.forgetFirst) table.Forget();
    if (c.removeAll) {
      for (auto& node : nodes) ASSERT_TRUE(table.Remove(node.get())) << c.name;
    }
    ASSERT_TRUE(table.Init(c.size)) << c.name;
    EXPECT_EQ(table.Count(), 0u) << c.name;
    EXPECT_EQ(table.BucketCount(), c.size) << c.name;
    EXPECT_EQ(table.First(), nullptr) << c.name;
    Named again("n0", 0);
    EXPECT_EQ(table.Find(again), nullptr) << c.name;
    EXPECT_TRUE(table.Insert(&again)) << c.name;
    EXPECT_EQ(table.First(), &again) << c.name;
    table.Clear();
  }
}

}  // namespace
