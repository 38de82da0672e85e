// The memory of a load's containers and tags, and the tag values that become text only when
// asked: what the tree shows must not depend on either.
#include "validation/node_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_text.h"
#include "validation/tag.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define NODE_ARENA_TEST_ASAN 1
#endif

namespace {

using TETLib::AllocateNode;
using TETLib::FreeNode;
using TETLib::NodeArena;
using TETLib::Tag;
using TETLib::TagValue;

bool Inside(const void* p, const std::vector<void*>& blocks) {
  for (void* b : blocks) {
    if (b == p) return true;
  }
  return false;
}

TEST(NodeArenaTest, ScopesChooseWhereNodesComeFromAndNest) {
  EXPECT_EQ(NodeArena::Current(), nullptr);
  void* heap = AllocateNode(40);
  std::vector<void*> fromArena;
  {
    NodeArena outer;
    const NodeArena::Scope outerScope(outer);
    {
      NodeArena inner;
      const NodeArena::Scope innerScope(inner);
      EXPECT_EQ(NodeArena::Current(), &inner);
      FreeNode(AllocateNode(16));
    }
    EXPECT_EQ(NodeArena::Current(), &outer);
    // Past the first block, and objects larger than a block: each aligned, none overlapping.
    std::vector<std::uintptr_t> starts;
    for (size_t size : {24u, 300u, 9000u, 8u, 100000u, 500u}) {
      for (int i = 0; i < 20; ++i) {
        void* p = AllocateNode(size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
        ASSERT_FALSE(Inside(p, fromArena));
        fromArena.push_back(p);
      }
    }
    for (void* p : fromArena) FreeNode(p);
#if defined(NODE_ARENA_TEST_ASAN)
    // A freed node stays the arena's but cannot be read unnoticed.
    EXPECT_TRUE(__asan_address_is_poisoned(fromArena.front()));
#endif
  }
  EXPECT_EQ(NodeArena::Current(), nullptr);
  // Heap nodes go back to the heap, also after the arena that was current meanwhile has gone.
  FreeNode(heap);
  FreeNode(nullptr);
}

TEST(NodeArenaTest, TagsMadeInAScopeAreDeletedLikeAnyOther) {
  NodeArena arena;
  Tag* inArena = nullptr;
  {
    const NodeArena::Scope scope(arena);
    inArena = new Tag(0, nullptr, "a");
  }
  auto* onHeap = new Tag(1, nullptr, "b");
  const i64 live = Tag::LiveCount();
  delete inArena;
  delete onHeap;
  EXPECT_EQ(Tag::LiveCount(), live - 2);
}

// A release stands for the arena that owns an object, and only while it is in force.
TEST(NodeArenaTest, AReleaseCoversOnlyItsArenasObjects) {
  NodeArena arena;
  NodeArena other;
  void* inArena = nullptr;
  void* inOther = nullptr;
  {
    const NodeArena::Scope scope(arena);
    inArena = AllocateNode(32);
  }
  {
    const NodeArena::Scope scope(other);
    inOther = AllocateNode(32);
  }
  void* onHeap = AllocateNode(32);
  int onStack = 0;
  EXPECT_TRUE(arena.Owns(inArena));
  EXPECT_FALSE(arena.Owns(inOther));
  EXPECT_FALSE(arena.Owns(onHeap));
  EXPECT_FALSE(arena.Owns(&onStack));
  EXPECT_FALSE(NodeArena::IsReleasing(inArena));
  {
    const NodeArena::Release release(arena);
    EXPECT_TRUE(NodeArena::IsReleasing(inArena));
    EXPECT_FALSE(NodeArena::IsReleasing(inOther));
    EXPECT_FALSE(NodeArena::IsReleasing(onHeap));
    {
      const NodeArena::Release nested(other);
      EXPECT_TRUE(NodeArena::IsReleasing(inOther));
      EXPECT_FALSE(NodeArena::IsReleasing(inArena));
    }
    EXPECT_TRUE(NodeArena::IsReleasing(inArena));
  }
  EXPECT_FALSE(NodeArena::IsReleasing(inArena));
  FreeNode(inArena);
  FreeNode(inOther);
  FreeNode(onHeap);
}

// A value read from its node reads as the soup's text getter gives it, and answers whether it is
// set without becoming text first.
TEST(TagValueTest, ReadsAsTheSoupTextOfItsNode) {
  Soup config;
  ParseSoupText(config,
                "i 42\nn -7\nf 2.5\nv 1,2.25,3\nt \"text\"\ne \"\"\nk <kuid:400100:5>\n"
                "k2 <kuid2:400100:5:2>\nsub\n{\n}\n",
                false);
  int seen = 0;
  ForEachChild(config.GetRoot().Get(), [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    TagValue value;
    value.SetNode(node.Get());
    const Qel::PString expected = config.GetNamedTag(name);
    EXPECT_EQ(value.IsSet(), expected.IsSet()) << name.CStr();
    EXPECT_EQ(value.Text(), expected) << name.CStr();
    EXPECT_EQ(std::string(value.View()), std::string(expected.View())) << name.CStr();
    // Compared and lowered without the text, and still the same text.
    TagValue peeked;
    peeked.SetNode(node.Get());
    peeked.WithView([&](std::string_view text) { EXPECT_EQ(text, expected.View()) << name.CStr(); });
    EXPECT_EQ(peeked.Lower(), expected.Lower()) << name.CStr();
    ++seen;
  });
  EXPECT_EQ(seen, 9);

  TagValue value;
  value.SetNode(config.GetNamedSoup("sub").GetRoot().Get());
  EXPECT_TRUE(value.IsEmpty());
  value.SetNode(nullptr);
  EXPECT_TRUE(value.IsEmpty());
  // Setting a text drops the node.
  ForEachChild(config.GetRoot().Get(), [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    if (name != Qel::PString("i")) return;
    value.SetNode(node.Get());
    value = Qel::PString("other");
  });
  EXPECT_EQ(value, Qel::PString("other"));
  value = Qel::PString();
  EXPECT_FALSE(value.IsSet());
}

bool Clears(Tag* tag, Soup* parameters) {
  *parameters = Soup();
  tag->index += 10;
  return true;
}
bool NeedsParameters(Tag* tag, Soup* parameters) {
  tag->index += 1;
  return !parameters->IsNull();
}

// Shared rules run after the tag's own, each with its own copy of its parameters.
TEST(TagTest, SharedRulesRunAfterItsOwnOnCopiesOfTheirParameters) {
  Soup parameters;
  parameters.SetNamedInt("min", 1);
  const std::vector<TETLib::TagRuleFunction> functions = {Clears, NeedsParameters};
  const std::vector<Soup> shared = {parameters, parameters};
  Tag tag(0, nullptr, "t");
  tag.ShareRules(functions, shared);
  EXPECT_TRUE(tag.RunTagRules());
  EXPECT_TRUE(tag.RunTagRules());
  EXPECT_EQ(tag.index, 22);
  EXPECT_FALSE(shared[0].IsNull());
  tag.ruleFunctions = {NeedsParameters};
  tag.ruleParameters.resize(1);
  EXPECT_FALSE(tag.RunTagRules());
  EXPECT_EQ(tag.index, 34);
}

}  // namespace
