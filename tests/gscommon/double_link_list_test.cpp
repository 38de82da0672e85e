#include "gscommon/double_link_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item : Utils::IDoubleLinkListNode {
  explicit Item(int v, int* deaths = nullptr) : value(v), deaths(deaths) {}
  ~Item() override {
    if (deaths != nullptr) ++*deaths;
  }
  int value;
  int* deaths;
};

// Forward, then backward, so a broken back link shows.
std::vector<int> Walk(const Utils::DoubleLinkList& list) {
  std::vector<int> out;
  for (auto* n = list.First(); n; n = list.Next(n)) out.push_back(static_cast<Item*>(n)->value);
  for (auto* n = list.Last(); n; n = list.Previous(n)) out.push_back(static_cast<Item*>(n)->value);
  return out;
}

TEST(DoubleLinkListTest, InsertsAndRemovesKeepBothDirectionsInStep) {
  Item a(1), b(2), c(3), d(4), loose(5);
  Utils::DoubleLinkList list;
  Utils::DoubleLinkList other;
  ASSERT_TRUE(list.PushBack(&b));
  ASSERT_TRUE(list.PushFront(&a));
  ASSERT_TRUE(list.PushBack(&d));
  ASSERT_TRUE(list.InsertBefore(&d, &c));
  EXPECT_EQ(Walk(list), (std::vector<int>{1, 2, 3, 4, 4, 3, 2, 1}));
  // Misuse is refused without touching either list.
  EXPECT_FALSE(other.PushFront(&a));
  EXPECT_FALSE(list.PushBack(nullptr));
  EXPECT_FALSE(list.InsertBefore(&loose, &b));
  EXPECT_FALSE(list.Remove(&loose));
  EXPECT_EQ(list.Count(), 4u);
  EXPECT_EQ(other.Count(), 0u);

  ASSERT_TRUE(list.Remove(&b));
  EXPECT_EQ(Walk(list), (std::vector<int>{1, 3, 4, 4, 3, 1}));
  ASSERT_TRUE(list.Remove(&a));
  ASSERT_TRUE(list.Remove(&d));
  EXPECT_EQ(Walk(list), (std::vector<int>{3, 3}));
  ASSERT_TRUE(list.Remove(&c));
  EXPECT_FALSE(c.IsLinked());
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.First(), nullptr);
}

TEST(DoubleLinkListTest, DeleteAllDeletesAndDestructionReleasesNodes) {
  int deaths = 0;
  Item kept(7);
  Utils::DoubleLinkList owner;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(owner.PushBack(new Item(i, &deaths)));
  owner.DeleteAll();
  EXPECT_EQ(deaths, 3);
  EXPECT_TRUE(owner.IsEmpty());
  {
    Utils::DoubleLinkList shortLived;
    ASSERT_TRUE(shortLived.PushBack(&kept));
  }
  EXPECT_TRUE(owner.PushBack(&kept));  // free to join another list
  EXPECT_EQ(Walk(owner), (std::vector<int>{7, 7}));
  EXPECT_TRUE(owner.Remove(&kept));
}

}  // namespace
