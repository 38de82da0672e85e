#include <gtest/gtest.h>

#include <vector>

#include "gscompiler/parse_node.h"
#include "platform/asan_poison.h"

namespace GSCompiler {
namespace {

// Enough nodes to fill the first block and start a second, so that a rewind spans blocks.
constexpr int kNodes = 1500;

std::vector<ParseNode*> TakeNodes(ParseNodeArena& arena, int count) {
  std::vector<ParseNode*> nodes;
  for (int i = 0; i < count; ++i) {
    auto* node = static_cast<ParseNode*>(arena.Take());
    if (node == nullptr) break;
    node->line = i;
    nodes.push_back(node);
  }
  return nodes;
}

// The rewound arena hands its blocks out again from the start, and a node of the class before
// cannot be read unnoticed while its place is not taken again.
TEST(ParseNodeArenaTest, RewoundNodesAreReusedAndPoisonedUntilTakenAgain) {
  ParseNodeArena arena;
  const std::vector<ParseNode*> first = TakeNodes(arena, kNodes);
  ASSERT_EQ(first.size(), size_t(kNodes));
  arena.Rewind();
#if defined(KESTRO_ASAN_POISONING)
  for (const ParseNode* node : {first.front(), first[kNodes / 2], first.back()}) {
    EXPECT_TRUE(__asan_address_is_poisoned(node));
    EXPECT_TRUE(__asan_address_is_poisoned(&node->line));
  }
  EXPECT_DEATH((void)*static_cast<volatile i32*>(&first.back()->line), "use-after-poison");
#endif
  const std::vector<ParseNode*> second = TakeNodes(arena, kNodes);
  ASSERT_EQ(second, first);
  for (int i = 0; i < kNodes; ++i) EXPECT_EQ(second[size_t(i)]->line, i);
#if defined(KESTRO_ASAN_POISONING)
  EXPECT_FALSE(__asan_region_is_poisoned(second.back(), sizeof(ParseNode)));
#endif
  arena.FreeAll();
  EXPECT_EQ(TakeNodes(arena, 1).size(), 1u);
}

}  // namespace
}  // namespace GSCompiler
