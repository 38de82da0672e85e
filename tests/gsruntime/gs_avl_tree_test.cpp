#include "gsruntime/gs_avl_tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

struct Key : Utils::GSIAVLNode {
  explicit Key(int v) : value(v) {}
  int Compare(const GSIAVLNode& other) const override {
    const int o = static_cast<const Key&>(other).value;
    return value < o ? -1 : value > o ? 1 : 0;
  }
  int value;
};

// The subtree's height, checking each node's balance word against its subtrees.
int Height(const Utils::GSIAVLNode* node) {
  if (node == nullptr) return 0;
  const int l = Height(node->left), r = Height(node->right);
  EXPECT_EQ(node->balance, u32(r - l + 1)) << static_cast<const Key*>(node)->value;
  return 1 + std::max(l, r);
}

TEST(GSIAVLTreeTest, MatchesAnOrderedSetAfterEveryStep) {
  std::mt19937 random(7);
  std::vector<std::unique_ptr<Key>> nodes;
  for (int v = 0; v < 300; ++v) nodes.push_back(std::make_unique<Key>(v));
  Utils::GSIAVLTree tree;
  std::set<int> model;
  Utils::GSIAVLTree::Walk walk;
  walk.Begin(tree);
  EXPECT_EQ(walk.Current(), nullptr);
  for (int step = 0; step < 3000 && !HasFailure(); ++step) {
    const int v = int(random() % nodes.size());
    if (random() % 3 != 0) {
      EXPECT_EQ(tree.Insert(nodes[size_t(v)].get()), model.insert(v).second);
    } else {
      Key key(v);
      EXPECT_EQ(tree.Remove(key) == nodes[size_t(v)].get(), model.erase(v) == 1);
    }
    Key probe(int(random() % nodes.size()));
    EXPECT_EQ(tree.Find(probe) != nullptr, model.count(probe.value) == 1);
    ASSERT_EQ(tree.count, model.size());
    Height(tree.root);
    std::vector<int> walked;
    for (walk.Begin(tree); walk.Current() != nullptr; walk.Next()) {
      walked.push_back(static_cast<Key*>(walk.Current())->value);
    }
    ASSERT_EQ(walked, std::vector<int>(model.begin(), model.end()));
  }
}

}  // namespace
