#include "assetdata/soup_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_bytes.h"
#include "support/scratch_folder.h"

namespace {

using namespace soupbytes;

MPRef<TDBBinaryFile> ReadFile(const Bytes& bytes) {
  Qel::DynamicBuffer buffer;
  buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  MPRef<TDBBinaryFile> file = MakeMP<TDBBinaryFile>();
  file->Read(in);
  return file;
}

Soup View(const Bytes& bytes) { return ReadValid(bytes, true); }

TEST(SoupViewReadTest, FileOrderAndNames) {
  Soup s = View(WithHeader(Chunk("b", 1, U32(1)) + Chunk("a", 1, U32(2)) + Chunk("b", 1, U32(3)) +
                           Chunk("", 1, U32(9))));
  s.GetRoot()->SortChildren();
  EXPECT_EQ(NamesOf(s), (Names{"b", "a", "b", ""}));
  EXPECT_EQ(s.GetNamedTagAsInt("b", 0), 1);
  // The empty name, written as a lone NUL, is found by name.
  EXPECT_EQ(s.GetNamedTagAsInt(Qel::PString(), 0), 9);
  // Asked backwards after a forward walk: the remembered walk position is only a shortcut.
  EXPECT_EQ(s.GetIndexedTagName(1).View(), "a");
  EXPECT_EQ(s.GetIndexedTagName(0).View(), "b");
  Qel::PString name;
  MPRef<ACSChunk> node;
  EXPECT_FALSE(s.GetRoot()->GetChildAt(4, name, node));
  EXPECT_TRUE(ACSChunk::IsNullChunk(node.Get()));
}

TEST(SoupViewReadTest, ValuesOfEveryType) {
  // A chunk with a one-byte name has 8 bytes before its payload; offsets are in the body.
  const Bytes body = Chunk("i", 1, U32(7)) +                       // payload at 8
                     Chunk("f", 2, Bytes("\0\0\x20\x40", 4)) +     // 20: 2.5f
                     Chunk("t", 3, "abc") +                        // 32: no final NUL
                     Chunk("r", 4, "xyz") +                        // 43
                     Chunk("n", 7, "ignored") +                    // 54: reads as null
                     Chunk("k", 13, U32(0x0A00000C) + U32(34)) +   // 69: not a multiple of 4
                     Chunk("p", 12, Bytes(11, 'P') + "aligned") +  // 85: 11 bytes of padding
                     Chunk("c", 0, Chunk("x", 1, U32(1)));
  Soup s = View(WithHeader(body));
  EXPECT_EQ(Describe(s),
            "i=i(7);f=f(2.5);t='abc';r=r'xyz';n=~;k=<kuid2:12:34:5>;p=r'aligned';c={x=i(1);};");
  EXPECT_EQ(uintptr_t(s.GetRoot()->GetChild("p")->GetData()) % 16, 0u);
  // Aligned numbers are the body's bytes; misaligned ones are aligned copies of them.
  MPRef<ACSChunk> k = s.GetRoot()->GetChild("k");
  EXPECT_NE(k->GetData(), s.GetRoot()->GetChild("k")->GetData());
  EXPECT_EQ(uintptr_t(k->GetData()) % 4, 0u);
  // A null-kind chunk is written back as type 5, and the rest as read.
  EXPECT_EQ(Write(View(Write(s))), Write(s));
  EXPECT_NE(Write(s).find(Chunk("n", 5, "")), Bytes::npos);
}

// Stored values that the view copies (no final NUL, version 0, type 12 padding) and those it
// shows in place must all give way to a new value set under their name.
TEST(SoupViewEditTest, SetNeverLeavesTheOldValueReadable) {
  const struct {
    Bytes chunk;
    u32 version;
  } cases[] = {
      {Chunk("v", 1, U32(1)), 1},
      {Chunk("v", 3, Bytes("old\0", 4)), 1},
      {Chunk("v", 3, "old"), 1},
      {Chunk("v", 3, "\xE9old"), 0},
      {Chunk("v", 12, Bytes(8, 'P') + "old"), 1},
      {Chunk("v", 0, Chunk("x", 1, U32(1))), 1},
      {Chunk("v", 9, "old"), 1},
  };
  for (const auto& c : cases) {
    Soup s = View(WithHeader(Chunk("a", 1, U32(1)) + c.chunk + Chunk("z", 1, U32(2)), c.version));
    s.SetNamedTag("v", "new");
    EXPECT_EQ(s.GetNamedTag("v").View(), "new");
    EXPECT_EQ(NamesOf(s), (Names{"a", "z", "v"}));
    Soup back = View(Write(s));
    EXPECT_EQ(NamesOf(back), (Names{"a", "z", "v"}));
    EXPECT_EQ(back.GetNamedTag("v").View(), "new");
  }
}

TEST(SoupViewEditTest, RemovalsMatchFileAndPosition) {
  const Bytes bytes = WithHeader(Chunk("a", 1, U32(1)) + Chunk("c", 0, Chunk("x", 1, U32(1))));
  Soup one = View(bytes);
  Soup two = View(bytes);  // the same positions in another file
  MPRef<ACSChunk> a = one.GetRoot()->GetChild("a");
  Soup c = one.GetNamedSoup("c");
  one.GetRoot()->RemoveChild(two.GetRoot()->GetChild("a"));
  one.RemoveTag(two.GetNamedSoup("c"));
  // A copy of the value, a node of another region, the null node: none is a child here.
  one.GetRoot()->RemoveChild(
      MakeMP<TDBDataTag>(kKindInt, ACSRawDataCore::CreateChunkView(a.Get())));
  one.GetRoot()->RemoveChild(c.GetRoot()->GetChild("x"));
  one.GetRoot()->RemoveChild(ACSChunk::GetNullChunk());
  EXPECT_EQ(Write(one), bytes);

  const u8* bytesOfA = a->GetData();
  one.RemoveTag(c);
  one.GetRoot()->RemoveChild(a);
  one.GetRoot()->RemoveChild(a);  // a second time changes nothing
  EXPECT_EQ(one.CountTags(), 0u);
  EXPECT_TRUE(ACSChunk::IsNullChunk(one.GetRoot()->GetChild("a").Get()));
  EXPECT_EQ(std::memcmp(bytesOfA, U32(1).data(), 4), 0);  // the body is untouched
  EXPECT_EQ(Write(two), bytes);
}

TEST(SoupViewEditTest, ChangesThroughOneViewAreSeenThroughEveryOther) {
  Soup s = View(Write(Sample()));
  Soup first = s.GetNamedSoup("inner");
  Soup second = s.GetNamedSoup("inner");
  ASSERT_NE(first.GetRoot().Get(), second.GetRoot().Get());
  // The first view counts and walks before the second one changes the region.
  EXPECT_EQ(first.CountTags(), 3u);
  EXPECT_EQ(first.GetIndexedTagName(1).View(), "n");
  second.SetNamedInt("added", 11);
  EXPECT_EQ(first.GetNamedTagAsInt("added", 0), 11);
  second.RemoveNamedTag("deep");
  EXPECT_EQ(NamesOf(first), (Names{"n", "more", "added"}));
  first.SetNamedInt("n", 8);
  EXPECT_EQ(NamesOf(second), (Names{"more", "added", "n"}));
  EXPECT_EQ(NamesOf(s.GetNamedSoup("inner")), NamesOf(second));

  // One node, or one region through two views, is added once.
  MPRef<ACSChunk> tag = first.GetRoot()->CreateTag(kKindInt, nullptr);
  first.GetRoot()->AddChild("once", tag);
  second.GetRoot()->AddChild("once", tag);
  Soup box = s.GetNamedSoup("box");
  first.SetNamedSoup("shared", box);
  first.GetRoot()->AddChild("shared", s.GetNamedSoup("box").GetRoot());
  EXPECT_EQ(NamesOf(second), (Names{"more", "added", "n", "once", "shared"}));
  // A shared region shows its changes wherever it appears and is removed by any view of it.
  box.SetNamedInt("inside", 3);
  EXPECT_EQ(second.GetNamedSoup("shared").GetNamedTagAsInt("inside", 0), 3);
  second.RemoveTag(s.GetNamedSoup("box"));
  first.GetRoot()->RemoveChild(tag);
  EXPECT_EQ(NamesOf(second), (Names{"more", "added", "n"}));
}

TEST(SoupViewEditTest, RefusedCyclesChangeNothing) {
  Soup s = View(Write(Sample()));
  Soup inner = s.GetNamedSoup("inner");
  Soup more = inner.GetNamedSoup("more");
  // Every lookup makes new view objects, so a cycle shows only by what the views show.
  Soup holder;  // an in-memory soup holding a view of the root
  holder.SetNamedSoup("root", s);
  struct Case {
    const char* what;
    Soup target;
    const char* name;
    Soup child;
  };
  const Case cases[] = {
      {"root under a child", inner, "n", s},
      {"region under a grandchild", more, "flag", inner},
      {"fresh view of the region under itself", more, "flag", inner.GetNamedSoup("more")},
      {"in-memory soup holding the root", more, "flag", holder},
  };
  for (const Case& c : cases) {
    Soup target = c.target;
    Soup child = c.child;
    const u32 kind = target.GetNamedTagKind(c.name);
    const u32 count = target.CountTags();
    EXPECT_FALSE(target.SetNamedSoup(c.name, child)) << c.what;
    EXPECT_EQ(target.GetNamedTagKind(c.name), kind) << c.what;
    EXPECT_EQ(target.CountTags(), count) << c.what;
  }
  EXPECT_EQ(inner.GetNamedTagAsInt("n", 0), 7);
  EXPECT_TRUE(more.GetNamedTagAsBool("flag", false));

  // A sibling is no cycle: the tag is replaced.
  Soup box = s.GetNamedSoup("box");
  EXPECT_TRUE(more.SetNamedSoup("flag", box));
  EXPECT_EQ(more.GetNamedTagKind("flag"), u32(kKindContainer));
  EXPECT_EQ(View(Write(s)).GetNamedSoup("inner").GetNamedSoup("more").CountTags(), 1u);
}

TEST(SoupViewEditTest, PartsPutBackDoNotKeepTheFileAlive) {
  MPRef<TDBBinaryFile> file = ReadFile(Write(Sample()));
  {
    MPRef<ACSChunk> root;
    file->GetRoot(root);
    Soup s = Soup::FromChunk(root);
    Soup copy;
    copy.Copy(s.GetNamedSoup("inner"));
    s.SetNamedSoup("copy", copy);
    Soup region = s.GetNamedSoup("inner");
    s.SetNamedSoup("alias", region);
    s.GetRoot()->AddChild("value", s.GetRoot()->GetChild("int"));
    MPRef<ACSChunk> container = s.GetRoot()->CreateTag(kKindContainer, nullptr);
    container->AddChild("v", s.GetRoot()->GetChild("float"));
    s.GetRoot()->AddChild("holder", container);
    EXPECT_EQ(s.GetNamedSoup("alias").GetNamedTag("deep").View(), "value");
    EXPECT_EQ(s.GetNamedSoup("copy").GetNamedTag("deep").View(), "value");
    EXPECT_TRUE(file->IsChanged());
  }
  EXPECT_EQ(file->GetReferenceCount(), 1);
}

TEST(SoupViewEditTest, ViewsOfAFileReadAgainShowNothing) {
  MPRef<TDBBinaryFile> file = ReadFile(Write(Sample()));
  MPRef<ACSChunk> old;
  file->GetRoot(old);
  MPRef<ACSChunk> value = old->GetChild("int");
  Qel::DynamicBuffer buffer;
  const Bytes small = WithHeader(Chunk("a", 1, U32(1)));
  buffer.Write(small.data(), u32(small.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  ASSERT_TRUE(file->Read(in));
  old->AddChild("x", value);
  EXPECT_EQ(old->CountChildren(), 0u);
  EXPECT_TRUE(ACSChunk::IsNullChunk(old->GetChild("inner").Get()));
  EXPECT_EQ(std::memcmp(value->GetData(), U32(u32(-5)).data(), 4), 0);
  MPRef<ACSChunk> fresh;
  file->GetRoot(fresh);
  fresh->RemoveChild(value);
  EXPECT_EQ(fresh->CountChildren(), 1u);
}

TEST(SoupViewFileTest, EditsOfALoadedFileSaveAndReload) {
  scratch::Folder dir;
  const std::string path = dir.At("config.chump");
  ASSERT_TRUE(Sample().SaveFile(nullptr, path.c_str(), nullptr));
  Soup s;
  ASSERT_TRUE(s.LoadFile(nullptr, path.c_str(), nullptr));
  ASSERT_NE(dynamic_cast<const TDBBinarySoup*>(s.GetRoot().Get()), nullptr);
  s.SetNamedInt("int", 99);
  s.RemoveNamedTag("null");
  Soup first = s.GetNamedSoup("inner");
  first.CountTags();  // counted before the second view adds
  Soup second = s.GetNamedSoup("inner");
  second.SetNamedTag("added", "yes");
  second.GetNamedSoup("more").SetNamedFloat("f", 1.5f);
  first.RemoveNamedTag("n");
  ASSERT_TRUE(s.SaveFile(nullptr, path.c_str(), nullptr));  // over the file it views

  Soup back;
  ASSERT_TRUE(back.LoadFile(nullptr, path.c_str(), nullptr));
  EXPECT_EQ(Describe(back),
            "float=f(2.5);text='h\xC3\xA9llo';kuid=<kuid2:12:34:5>;"
            "inner={deep='value';more={flag=i(1);f=f(1.5);};added='yes';};box={};"
            "int=i(99);");
  EXPECT_EQ(Write(back), Write(s));
}

}  // namespace
