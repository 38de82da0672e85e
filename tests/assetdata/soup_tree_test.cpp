#include "assetdata/soup_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/soup_bytes.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SOUP_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define SOUP_TEST_ASAN 1
#endif
#endif

namespace {

// Counts its destructions so that tests can see when the last reference went.
class Probe : public ReferenceCountMP {
 public:
  explicit Probe(int* destroyed) : destroyed_(destroyed) {}

 protected:
  ~Probe() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

MPRef<ACSChunk> Int(i32 v) {
  return MakeMP<TDBDataTag>(kKindInt, ACSRawDataCore::CreateCopy(&v, 4));
}

MPRef<ACSChunk> Container() { return MakeMP<TDBContainerTag>(); }

std::string Describe(const ACSChunk* node) { return soupbytes::DescribeNode(node); }

i32 IntOf(const ACSChunk* node) {
  i32 v = 0;
  if (node->GetDataSize() == 4) std::memcpy(&v, node->GetData(), 4);
  return v;
}

TEST(ReferenceCountTest, HandlesShareAndReleaseOnce) {
  int destroyed = 0;
  MPRef<Probe> a = MakeMP<Probe>(&destroyed);
  MPRef<Probe> b = a;
  b = b;
  MPRef<ReferenceCountMP> base = std::move(b);
  EXPECT_EQ(a->GetReferenceCount(), 2);
  a = nullptr;
  EXPECT_EQ(destroyed, 0);
  base = nullptr;
  EXPECT_EQ(destroyed, 1);

  // Assigning a child of the only holder of its parent: the new object is taken first.
  MPRef<ACSChunk> holder = Container();
  holder->AddChild("c", Int(1));
  holder = holder->GetChild(Qel::PString("c"));
  EXPECT_EQ(IntOf(holder.Get()), 1);
}

TEST(RawDataTest, CopiesViewsAndOwners) {
  EXPECT_FALSE(ACSRawDataCore::CreateCopy("x", 0));
  EXPECT_FALSE(ACSRawDataCore::CreateOwned(std::malloc(8), 0));  // freed, no block
  EXPECT_FALSE(ACSRawDataCore::CreateView(nullptr, 3, nullptr));
  char source[] = "abc";
  MPRef<ACSRawDataCore> copy = ACSRawDataCore::CreateCopy(source, 4);
  int destroyed = 0;
  MPRef<Probe> owner = MakeMP<Probe>(&destroyed);
  MPRef<ACSRawDataCore> view = ACSRawDataCore::CreateView(source, 2, owner);
  source[0] = 'z';
  EXPECT_STREQ(reinterpret_cast<const char*>(copy->GetData()), "abc");
  owner = nullptr;
  EXPECT_EQ(destroyed, 0);  // the view keeps its owner alive
  view = nullptr;
  EXPECT_EQ(destroyed, 1);

  // A view of a node's value stays valid after the node's value is replaced.
  MPRef<ACSChunk> node = Int(41);
  MPRef<ACSRawDataCore> chunkView = ACSRawDataCore::CreateChunkView(node.Get());
  node->SetData(kKindInt, ACSRawDataCore::CreateCopy("\x07\0\0\0", 4));
  node = nullptr;
  i32 v = 0;
  std::memcpy(&v, chunkView->GetData(), 4);
  EXPECT_EQ(v, 41);
}

TEST(NullChunkTest, FailedLookupsGiveTheSharedNullNode) {
  MPRef<ACSChunk> c = Container();
  MPRef<ACSChunk> missing = c->GetChild(Qel::PString("nope"));
  ASSERT_TRUE(missing);
  EXPECT_TRUE(ACSChunk::IsNullChunk(missing.Get()));
  EXPECT_EQ(missing, ACSChunk::GetNullChunk());
  EXPECT_EQ(missing->GetKind(), kKindNull);

  // The null node ignores every change.
  missing->AddChild("x", Int(1));
  missing->SetData(kKindInt, ACSRawDataCore::CreateCopy("abcd", 4));
  EXPECT_EQ(missing->CountChildren(), 0u);
  EXPECT_EQ(missing->GetData(), nullptr);
  EXPECT_TRUE(ACSChunk::IsNullChunk(missing->CreateTag(kKindInt, nullptr).Get()));
}

TEST(ContainerTest, LookupOrderAndDuplicates) {
  MPRef<ACSChunk> c = Container();
  MPRef<ACSChunk> first = Int(1);
  c->AddChild("x", first);
  c->AddChild("y", Int(2));
  c->AddChild("x", Int(3));
  EXPECT_EQ(IntOf(c->GetChild(Qel::PString("x")).Get()), 1);
  c->RemoveChild(first);
  EXPECT_EQ(Describe(c.Get()), "y=i(2);x=i(3);");

  // Names compare exactly.
  EXPECT_TRUE(ACSChunk::IsNullChunk(c->GetChild(Qel::PString("X")).Get()));

  Qel::PString name("set");
  MPRef<ACSChunk> node = Int(9);
  EXPECT_FALSE(c->GetChildAt(2, name, node));
  EXPECT_TRUE(name.IsEmpty());
  EXPECT_TRUE(ACSChunk::IsNullChunk(node.Get()));

  c->AddChild("z", nullptr);
  c->RemoveChild(Int(7));  // not a child
  c->RemoveChild(nullptr);
  EXPECT_EQ(c->CountChildren(), 2u);
}

TEST(ContainerTest, RemovalAcrossBlocksKeepsOrder) {
  MPRef<ACSChunk> c = Container();
  std::vector<MPRef<ACSChunk>> nodes;
  for (int i = 0; i < 40; ++i) {
    nodes.push_back(Int(i));
    c->AddChild(Qel::PString(std::to_string(i)), nodes.back());
  }
  // Empties the second block of 13 entirely, and thins the others.
  for (int i = 13; i < 26; ++i) c->RemoveChild(nodes[i]);
  for (int i = 0; i < 40; i += 3) c->RemoveChild(nodes[i]);
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    if ((i < 13 || i >= 26) && i % 3 != 0)
      expected += std::to_string(i) + "=i(" + std::to_string(i) + ");";
  }
  EXPECT_EQ(Describe(c.Get()), expected);
}

TEST(ContainerTest, SortsByUnsignedBytes) {
  MPRef<ACSChunk> c = Container();
  for (const char* n : {"b", "a", "B"}) c->AddChild(n, Int(0));
  c->SortChildren();
  EXPECT_EQ(Describe(c.Get()), "B=i(0);a=i(0);b=i(0);");

  // Long enough for the partitioning, with repeats, prefixes and bytes above 0x7F.
  std::mt19937 rng(7);
  std::vector<std::string> names;
  const std::string alphabet = "aAbz\xE9_0";
  for (int i = 0; i < 500; ++i) {
    std::string s;
    const int len = int(rng() % 4);
    for (int k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
    names.push_back(s);
  }
  MPRef<ACSChunk> big = Container();
  for (const std::string& n : names) {
    big->AddChild(n.empty() ? Qel::PString() : Qel::PString(n), Int(i32(n.size())));
  }
  big->SortChildren();
  std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned
  std::string expected;                   // each name still holding its own value
  for (const std::string& n : names) expected += n + "=i(" + std::to_string(n.size()) + ");";
  EXPECT_EQ(Describe(big.Get()), expected);
}

TEST(CopyFromTest, CopyIsIndependentAndSharesBytes) {
  MPRef<ACSChunk> src = Container();
  MPRef<ACSChunk> inner = Container();
  src->AddChild("n", Int(5));
  src->AddChild("inner", inner);
  inner->AddChild("t", MakeMP<TDBDataTag>(kKindText, ACSRawDataCore::CreateCopy("v", 2)));
  src->AddChild("null", MakeMP<TDBDataTag>(kKindNull, nullptr));

  MPRef<ACSChunk> copy = Container();
  copy->AddChild("old", Int(1));
  EXPECT_TRUE(copy->CopyFrom(src.Get()));
  EXPECT_EQ(Describe(copy.Get()), "n=i(5);inner={t='v';};null=~;");
  MPRef<ACSChunk> copiedInner = copy->GetChild(Qel::PString("inner"));
  EXPECT_NE(copiedInner, inner);
  EXPECT_EQ(copiedInner->GetChild(Qel::PString("t"))->GetData(),
            inner->GetChild(Qel::PString("t"))->GetData());

  copiedInner->AddChild("extra", Int(2));
  copy->RemoveChild(copy->GetChild(Qel::PString("n")));
  EXPECT_EQ(inner->CountChildren(), 1u);
  EXPECT_EQ(src->CountChildren(), 3u);

  // Copying a value node copies its value.
  MPRef<ACSChunk> value = MakeMP<TDBDataTag>(kKindNull, nullptr);
  value->CopyFrom(Int(8).Get());
  EXPECT_EQ(soupbytes::DescribeValue(value.Get(), 0), "i(8)");
}

TEST(CopyFromTest, CopyIntoItselfOrFromAnAncestor) {
  MPRef<ACSChunk> root = Container();
  MPRef<ACSChunk> child = Container();
  root->AddChild("a", Int(1));
  root->AddChild("child", child);
  child->AddChild("b", Int(2));

  EXPECT_TRUE(root->CopyFrom(root.Get()));
  EXPECT_EQ(Describe(root.Get()), "a=i(1);child={b=i(2);};");

  // The child becomes a copy of the tree as it was, holding a copy of its old self.
  EXPECT_TRUE(child->CopyFrom(root.Get()));
  EXPECT_EQ(Describe(child.Get()), "a=i(1);child={b=i(2);};");
  EXPECT_FALSE(ACSChunk::Reaches(child.Get(), root.Get()));
}

TEST(CopyFromTest, DepthIsBounded) {
  MPRef<ACSChunk> root = Container();
  ACSChunk* at = root.Get();
  for (u32 i = 0; i < kMaxSoupDepth + 500; ++i) {
    MPRef<ACSChunk> next = Container();
    at->AddChild("d", next);
    at->AddChild("v", Int(i32(i)));
    at = next.Get();
  }
  MPRef<ACSChunk> copy = Container();
  EXPECT_FALSE(copy->CopyFrom(root.Get()));
  u32 depth = 0;
  const ACSChunk* walk = copy.Get();
  for (;;) {
    MPRef<ACSChunk> next = walk->GetChild(Qel::PString("d"));
    if (ACSChunk::IsNullChunk(next.Get())) break;
    walk = next.Get();
    ++depth;
  }
  EXPECT_EQ(depth, kMaxSoupDepth);
  EXPECT_EQ(IntOf(walk->GetChild(Qel::PString("v")).Get()), i32(kMaxSoupDepth));
}

// A chain of containers each holding the next one twice: 2^levels paths, levels + 1 nodes.
MPRef<ACSChunk> Diamonds(u32 levels, MPRef<ACSChunk>* bottom) {
  MPRef<ACSChunk> top = Container();
  MPRef<ACSChunk> at = top;
  for (u32 i = 0; i < levels; ++i) {
    MPRef<ACSChunk> next = Container();
    at->AddChild("l", next);
    at->AddChild("r", next);
    at = next;
  }
  at->AddChild("v", Int(1));
  *bottom = at;
  return top;
}

TEST(ReachesTest, SharedSubtreesAreWalkedOnce) {
  MPRef<ACSChunk> bottom;
  // Walked path by path, this would never end.
  MPRef<ACSChunk> top = Diamonds(80, &bottom);
  MPRef<ACSChunk> stranger = Container();
  EXPECT_FALSE(ACSChunk::Reaches(top.Get(), stranger.Get()));
  EXPECT_TRUE(ACSChunk::Reaches(top.Get(), bottom.Get()));
  EXPECT_TRUE(ACSChunk::Reaches(top.Get(), top.Get()));
  EXPECT_FALSE(ACSChunk::Reaches(bottom.Get(), top.Get()));
  // Adding to the bottom what holds it, or anything above it, is refused; a stranger is not.
  bottom->AddChild("top", top);
  bottom->AddChild("self", bottom);
  bottom->AddChild("stranger", stranger);
  EXPECT_EQ(Describe(bottom.Get()), "v=i(1);stranger={};");
}

// Values and containers of every size a parse makes, named by their index.
MPRef<ACSChunk> MakeMany(SoupSlabMaker& maker, u32 count) {
  MPRef<ACSChunk> root = maker.MakeContainer();
  for (u32 i = 0; i < count; ++i) {
    const std::string text = std::to_string(i) + std::string(i % 3000, 'x');
    u8* bytes = nullptr;
    MPRef<ACSChunk> value;
    // Every other one made in one piece with its bytes.
    if (i % 2) {
      value = maker.MakeFilledValue(kKindText, u32(text.size() + 1), &bytes);
    } else {
      value = maker.MakeValue(kKindText, maker.MakeBlock(u32(text.size() + 1), &bytes));
    }
    std::memcpy(bytes, text.c_str(), text.size() + 1);
    if (i % 10 == 0) {
      MPRef<ACSChunk> box = maker.MakeContainer();
      box->AddChild("v", value);
      root->AddChild(Qel::PString(std::to_string(i)), box);
    } else {
      root->AddChild(Qel::PString(std::to_string(i)), value);
    }
  }
  return root;
}

std::string TextOf(const ACSChunk* node) {
  if (node->GetKind() == kKindContainer) node = node->GetChild(Qel::PString("v")).Get();
  return node->GetDataSize() ? reinterpret_cast<const char*>(node->GetData()) : "";
}

TEST(SlabMakerTest, PartsOutliveTheMakerTheTreeAndEachOther) {
  constexpr u32 kCount = 4000;
  std::vector<MPRef<ACSChunk>> kept;
  std::vector<MPRef<ACSRawDataCore>> blocks;
  {
    SoupSlabMaker maker;
    MPRef<ACSChunk> root = MakeMany(maker, kCount);
    u8* none = reinterpret_cast<u8*>(1);
    EXPECT_FALSE(maker.MakeBlock(0, &none));
    EXPECT_EQ(none, nullptr);
    for (u32 i = 0; i < kCount; i += 7) {
      kept.push_back(root->GetChild(Qel::PString(std::to_string(i))));
    }
    // A kept block outlives its node, and a replaced one goes while the node stays.
    MPRef<ACSChunk> five = root->GetChild(Qel::PString("5"));
    blocks.push_back(ACSRawDataCore::CreateChunkView(five.Get()));
    MPRef<ACSChunk> six = root->GetChild(Qel::PString("6"));
    six->SetData(kKindInt, ACSRawDataCore::CreateCopy("\1\0\0\0", 4));
    kept.push_back(six);
    // Parts shared into an ordinary tree.
    MPRef<ACSChunk> other = Container();
    other->AddChild("shared", root->GetChild(Qel::PString("20")));
    kept.push_back(other);
    // The maker goes first, then the root with everything not kept.
  }
  for (size_t k = 0; k + 2 < kept.size(); ++k) {
    EXPECT_EQ(TextOf(kept[k].Get()).substr(0, std::to_string(7 * k).size()), std::to_string(7 * k));
  }
  EXPECT_EQ(IntOf(kept[kept.size() - 2].Get()), 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(blocks[0]->GetData()),
               ("5" + std::string(5, 'x')).c_str());
  EXPECT_EQ(TextOf(kept.back()->GetChild(Qel::PString("shared")).Get()).substr(0, 2), "20");
  // Released in a shuffled order, the last of each slab frees it (the leak check sees the rest).
  std::shuffle(kept.begin(), kept.end(), std::mt19937(7));
  kept.clear();
  blocks.clear();
}

// A node made with its bytes, at sizes around what fits in a slab, keeps them through every way
// its parts are shared, replaced and released.
TEST(SlabMakerTest, FilledValuesOfEverySize) {
  for (const u32 size : {0u, 1u, 7u, 8u, 900u, 951u, 952u, 953u, 1024u, 5000u}) {
    SCOPED_TRACE(size);
    std::string expected(size, '\0');
    for (u32 i = 0; i < size; ++i) expected[i] = char('a' + i % 26);
    const auto bytesOf = [](const u8* data, u32 length) {
      return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
    };
    MPRef<ACSRawDataCore> kept;
    MPRef<ACSChunk> replaced;
    MPRef<ACSChunk> root;
    {
      SoupSlabMaker maker;
      root = maker.MakeContainer();
      for (int copy = 0; copy < 4; ++copy) {
        u8* bytes = reinterpret_cast<u8*>(1);
        MPRef<ACSChunk> node = maker.MakeFilledValue(kKindRaw, size, &bytes);
        ASSERT_EQ(bytes == nullptr, size == 0);
        if (size) std::memcpy(bytes, expected.data(), size);
        EXPECT_EQ(node->GetKind(), u32(kKindRaw));
        EXPECT_EQ(node->GetDataSize(), size);
        EXPECT_EQ(bytesOf(node->GetData(), node->GetDataSize()), expected);
        // The first one's block is held apart from it, the second is given another value, the
        // third is set again to its own block, the fourth is held by the tree alone.
        if (copy == 0) kept = ACSRawDataCore::CreateChunkView(node.Get());
        if (copy == 1) {
          node->SetData(kKindInt, ACSRawDataCore::CreateCopy("\2\0\0\0", 4));
          replaced = node;
        }
        if (copy == 2) {
          MPRef<ACSRawDataCore> own = ACSRawDataCore::CreateChunkView(node.Get());
          node->SetData(kKindRaw, std::move(own));
          EXPECT_EQ(bytesOf(node->GetData(), node->GetDataSize()), expected);
        }
        root->AddChild("v", std::move(node));
      }
    }
    root = nullptr;
    EXPECT_EQ(kept ? bytesOf(kept->GetData(), kept->GetSize()) : std::string(), expected);
    EXPECT_EQ(IntOf(replaced.Get()), 2);
  }
}

#if defined(SOUP_TEST_ASAN)
// What a tree's release gives back stays poisoned while its slab lives on; what is held elsewhere
// stays usable.
TEST(SlabMakerTest, ReleasedPartsArePoisoned) {
  struct Case {
    u32 size;
    bool holdNode;
    bool holdBlock;
  };
  for (const Case c : {Case{0, false, false}, Case{4, false, false}, Case{4, true, false},
                       Case{4, false, true}, Case{900, false, false}, Case{2000, false, false}}) {
    SCOPED_TRACE(testing::Message() << c.size << c.holdNode << c.holdBlock);
    SoupSlabMaker maker;
    // Keeps the slab alive after the tree goes.
    MPRef<ACSChunk> neighbour = maker.MakeValue(kKindNull, nullptr);
    MPRef<ACSChunk> root = maker.MakeContainer();
    u8* bytes = nullptr;
    MPRef<ACSChunk> node = maker.MakeFilledValue(kKindRaw, c.size, &bytes);
    if (c.size) std::memset(bytes, 7, c.size);
    const void* nodeAt = node.Get();
    MPRef<ACSChunk> heldNode = c.holdNode ? node : nullptr;
    MPRef<ACSRawDataCore> heldBlock =
        c.holdBlock ? ACSRawDataCore::CreateChunkView(node.Get()) : nullptr;
    root->AddChild("v", std::move(node));
    root = nullptr;
    EXPECT_EQ(__asan_address_is_poisoned(nodeAt) != 0, !c.holdNode);
    // A block too large for a slab has its own allocation, which is freed rather than poisoned.
    if (bytes && c.size < 1000) {
      EXPECT_EQ(__asan_address_is_poisoned(bytes) != 0, !c.holdNode && !c.holdBlock);
    }
    if (heldBlock) {
      EXPECT_EQ(heldBlock->GetData()[c.size - 1], 7);
    }
    if (heldNode) {
      EXPECT_EQ(heldNode->GetData()[c.size - 1], 7);
    }
  }
}
#endif

TEST(SlabMakerTest, DeepTreesGoWithoutRecursion) {
  MPRef<ACSChunk> root;
  {
    SoupSlabMaker maker;
    root = maker.MakeContainer();
    ACSChunk* at = root.Get();
    for (u32 i = 0; i < 200000; ++i) {
      MPRef<ACSChunk> next = maker.MakeContainer();
      at->AddChild("d", maker.MakeValue(kKindNull, nullptr));
      at->AddChild("d", next);
      at = next.Get();
    }
  }
  root = nullptr;
}

}  // namespace
