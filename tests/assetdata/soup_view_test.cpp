#include "assetdata/soup_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

using Bytes = std::string;

Bytes U32(u32 v) {
  Bytes b(4, '\0');
  for (int i = 0; i < 4; ++i) b[i] = char(v >> (8 * i));
  return b;
}

Bytes Chunk(const Bytes& name, u8 type, const Bytes& payload) {
  const Bytes inner = char(name.size() + 1) + name + '\0' + char(type) + payload;
  return U32(u32(inner.size())) + inner;
}

Bytes WithHeader(const Bytes& body, u32 version = 1) {
  return "ACS$" + U32(version) + U32(0) + U32(u32(body.size())) + body;
}

Bytes Write(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, soup);
  return Bytes(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

bool ReadInto(const Bytes& bytes, Soup& soup) {
  Qel::DynamicBuffer buffer;
  if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  return Soup::ReadBinary(soup, in);
}

Soup View(const Bytes& bytes) {
  Soup soup;
  EXPECT_TRUE(ReadInto(bytes, soup));
  return soup;
}

Bytes DataOf(const Soup& soup, const char* name) {
  MPRef<ACSRawDataCore> d = soup.GetNamedTagData(name);
  return d ? Bytes(reinterpret_cast<const char*>(d->GetData()), d->GetSize()) : Bytes();
}

std::vector<std::string> Names(const Soup& s) {
  std::vector<std::string> out;
  for (u32 i = 0; i < s.CountTags(); ++i) out.emplace_back(s.GetIndexedTagName(i).View());
  return out;
}

// Every value of a tree, by index, as "name=kind:bytes" lines, nested containers indented.
void Dump(const ACSChunk* node, const std::string& indent, std::string& out) {
  const u32 count = node->CountChildren();
  for (u32 i = 0; i < count; ++i) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (!node->GetChildAt(i, name, child)) {
      out += indent + "<missing>\n";
      continue;
    }
    out += indent + std::string(name.View()) + "=" + std::to_string(child->GetKind()) + ":";
    if (child->GetDataSize()) {
      out.append(reinterpret_cast<const char*>(child->GetData()), child->GetDataSize());
    }
    out += "\n";
    if (child->GetKind() == kKindContainer) Dump(child.Get(), indent + "  ", out);
  }
}

std::string Dump(const Soup& s) {
  std::string out;
  if (s.GetRoot()) Dump(s.GetRoot().Get(), "", out);
  return out;
}

Soup Sample() {
  Soup s;
  s.SetNamedInt("int", -5);
  s.SetNamedFloat("float", 2.5f);
  s.SetNamedTag("text", "h\xC3\xA9llo");
  s.SetNamedKUID("kuid", KUID(12, 34, 5));
  s.SetNamedNull("null");
  s.SetNamedTag("empty", Qel::PString());
  Soup inner;
  inner.SetNamedTag("deep", "value");
  inner.SetNamedInt("n", 7);
  Soup innermost;
  innermost.SetNamedBool("flag", true);
  inner.SetNamedSoup("more", innermost);
  s.SetNamedSoup("inner", inner);
  Soup box;
  s.SetNamedSoup("box", box);
  return s;
}

TEST(SoupViewReadTest, ResultsAndRoots) {
  const Bytes a = Chunk("a", 1, U32(5));
  struct Case {
    const char* what;
    Bytes bytes;
    bool ok;
    bool hasTag;
  };
  const Case cases[] = {
      {"empty soup", WithHeader(""), true, false},
      {"golden a = 5", WithHeader(a), true, true},
      {"version 0", WithHeader(a, 0), true, true},
      {"version 2", WithHeader(a, 2), true, false},
      {"wrong magic", "ACS#" + WithHeader(a).substr(4), false, false},
      {"short header", "ACS$\x01", true, false},
      {"size past the end", WithHeader(a).substr(0, 20), false, false},
      {"malformed body", WithHeader(a + Bytes(6, 'x')), true, false},
  };
  for (const Case& c : cases) {
    Soup s;
    s.SetNamedInt("old", 1);
    EXPECT_EQ(ReadInto(c.bytes, s), c.ok) << c.what;
    EXPECT_FALSE(s.HasNamedTag("old")) << c.what;
    EXPECT_EQ(s.GetNamedTagAsInt("a", -1), c.hasTag ? 5 : -1) << c.what;
    EXPECT_EQ(s.IsNull(), !c.hasTag) << c.what;
    if (c.hasTag) {
      EXPECT_NE(dynamic_cast<const TDBBinarySoup*>(s.GetRoot().Get()), nullptr) << c.what;
    }
  }
}

TEST(SoupViewReadTest, FileOrderIsKeptAndNotSorted) {
  Soup s = View(WithHeader(Chunk("b", 1, U32(1)) + Chunk("a", 1, U32(2)) + Chunk("b", 1, U32(3))));
  s.GetRoot()->SortChildren();
  EXPECT_EQ(Names(s), (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_EQ(s.GetNamedTagAsInt("b", 0), 1);  // the first of a repeated name
  Qel::PString name;
  MPRef<ACSChunk> node;
  EXPECT_FALSE(s.GetRoot()->GetChildAt(3, name, node));
  EXPECT_TRUE(ACSChunk::IsNullChunk(node.Get()));
  EXPECT_TRUE(name.IsEmpty());
  // Asked backwards, then forwards again: the walk position is only a shortcut.
  EXPECT_EQ(s.GetIndexedTagName(2).View(), "b");
  EXPECT_EQ(s.GetIndexedTagName(0).View(), "b");
  EXPECT_EQ(s.GetIndexedTagName(1).View(), "a");
  // The empty name, stored as a lone NUL, is found by name.
  Soup e = View(WithHeader(Chunk("", 1, U32(9))));
  EXPECT_EQ(e.GetNamedTagAsInt(Qel::PString(), 0), 9);
}

TEST(SoupViewReadTest, ValuesOfEveryType) {
  // A chunk with a one-byte name has 8 bytes before its payload; offsets are in the body.
  Bytes body;
  body += Chunk("i", 1, U32(7));                      // payload at 8
  body += Chunk("f", 2, Bytes("\0\0\x20\x40", 4));    // 20: 2.5f
  body += Chunk("t", 3, "abc");                       // 32: no final NUL
  body += Chunk("r", 4, "xyz");                       // 43
  body += Chunk("n", 7, "ignored");                   // 54: a type that reads as null
  body += Chunk("k", 13, U32(0x0A00000C) + U32(34));  // 69: not a multiple of 4
  body += Chunk("g", 1, "");                          // 85: no value bytes
  body += Chunk("p", 12, Bytes(7, 'P') + "aligned");  // 93: 3 bytes of padding
  body += Chunk("c", 0, Chunk("x", 1, U32(1)));
  Soup s = View(WithHeader(body));
  ASSERT_EQ(s.CountTags(), 9u);
  EXPECT_EQ(s.GetNamedTagAsInt("i", 0), 7);
  EXPECT_EQ(s.GetNamedTagAsFloat("f", 0), 2.5f);
  EXPECT_EQ(DataOf(s, "t"), Bytes("abc\0", 4));
  EXPECT_EQ(s.GetNamedTag("t").View(), "abc");
  EXPECT_EQ(s.GetNamedTagKind("r"), kKindRaw);
  EXPECT_EQ(DataOf(s, "r"), "xyz");
  EXPECT_EQ(s.GetRoot()->GetChild("n")->GetKind(), kKindNull);
  EXPECT_FALSE(s.HasNamedTag("n"));
  EXPECT_EQ(s.GetNamedTagAsKUID("k", KUID()), KUID(12, 34, 5));
  EXPECT_EQ(s.GetRoot()->GetChild("g")->GetDataSize(), 0u);
  EXPECT_EQ(s.GetNamedSoup("c").GetNamedTagAsInt("x", 0), 1);

  // Aligned numbers are views of the body; misaligned ones are aligned copies of the same bytes.
  MPRef<ACSChunk> k = s.GetRoot()->GetChild("k");
  EXPECT_EQ(s.GetRoot()->GetChild("i")->GetData(), s.GetRoot()->GetChild("i")->GetData());
  EXPECT_NE(k->GetData(), s.GetRoot()->GetChild("k")->GetData());
  EXPECT_EQ(uintptr_t(k->GetData()) % 4, 0u);
  EXPECT_EQ(Bytes(reinterpret_cast<const char*>(k->GetData()), 8), U32(0x0A00000C) + U32(34));

  // A type-12 value starts at a 16-byte boundary of the body; it is removable like any other.
  EXPECT_EQ(DataOf(s, "p"), "PPPPaligned");
  EXPECT_EQ(uintptr_t(s.GetRoot()->GetChild("p")->GetData()) % 16, 0u);
  s.RemoveNamedTag("p");
  EXPECT_FALSE(s.HasNamedTag("p"));
  EXPECT_EQ(s.CountTags(), 8u);

  // An unknown type is written back as a null tag.
  Soup back = View(Write(s));
  EXPECT_EQ(back.GetRoot()->GetChild("n")->GetKind(), kKindNull);
  EXPECT_EQ(Write(back), Write(s));
}

TEST(SoupViewReadTest, VersionZeroTextIsConverted) {
  Soup s = View(WithHeader(Chunk("t", 3, "caf\xE9") + Chunk("u", 3, Bytes("ok\0", 3)), 0));
  EXPECT_EQ(DataOf(s, "t"), Bytes("caf\xC3\xA9\0", 6));
  EXPECT_EQ(DataOf(s, "u"), Bytes("ok\0", 3));
  Soup v1 = View(WithHeader(Chunk("t", 3, Bytes("caf\xE9\0", 5))));
  EXPECT_EQ(DataOf(v1, "t"), Bytes("caf\xE9\0", 5));
}

// Stored values that the view copies (text without a final NUL, version 0 text) and those it
// shows in place must all give way to a new value set under their name.
TEST(SoupViewEditTest, SetNeverLeavesTheOldValueReadable) {
  struct Case {
    const char* what;
    Bytes chunk;
    u32 version;
  };
  const Case cases[] = {
      {"int", Chunk("v", 1, U32(1)), 1},
      {"text in place", Chunk("v", 3, Bytes("old\0", 4)), 1},
      {"text without NUL", Chunk("v", 3, "old"), 1},
      {"version 0 text", Chunk("v", 3, "\xE9old"), 0},
      {"padded raw", Chunk("v", 12, Bytes(8, 'P') + "old"), 1},
      {"container", Chunk("v", 0, Chunk("x", 1, U32(1))), 1},
      {"unknown type", Chunk("v", 9, "old"), 1},
  };
  for (const Case& c : cases) {
    Soup s = View(WithHeader(Chunk("a", 1, U32(1)) + c.chunk + Chunk("z", 1, U32(2)), c.version));
    s.SetNamedTag("v", "new");
    EXPECT_EQ(s.GetNamedTag("v").View(), "new") << c.what;
    EXPECT_EQ(Names(s), (std::vector<std::string>{"a", "z", "v"})) << c.what;
    for (u32 i = 0; i < s.CountTags(); ++i) {
      Qel::PString name;
      MPRef<ACSChunk> node;
      ASSERT_TRUE(s.GetRoot()->GetChildAt(i, name, node)) << c.what;
      if (name == Qel::PString("v")) {
        EXPECT_EQ(node->GetKind(), kKindText) << c.what;
      }
    }
    // And the same after a round trip.
    Soup back = View(Write(s));
    EXPECT_EQ(Names(back), (std::vector<std::string>{"a", "z", "v"})) << c.what;
    EXPECT_EQ(back.GetNamedTag("v").View(), "new") << c.what;
  }
}

TEST(SoupViewEditTest, RemovingAStoredChildLeavesTheBodyAlone) {
  const Bytes bytes = WithHeader(Chunk("a", 1, U32(1)) + Chunk("b", 1, U32(2)));
  Soup s = View(bytes);
  MPRef<ACSChunk> b = s.GetRoot()->GetChild("b");
  const u8* bData = b->GetData();
  s.RemoveNamedTag("a");
  EXPECT_TRUE(ACSChunk::IsNullChunk(s.GetRoot()->GetChild("a").Get()));
  EXPECT_EQ(s.CountTags(), 1u);
  EXPECT_EQ(s.GetIndexedTagName(0).View(), "b");
  EXPECT_EQ(std::memcmp(bData, "\2\0\0\0", 4), 0);
  // Removing it again, or removing the null node, changes nothing.
  s.RemoveNamedTag("a");
  s.GetRoot()->RemoveChild(ACSChunk::GetNullChunk());
  s.GetRoot()->RemoveChild(nullptr);
  EXPECT_EQ(s.CountTags(), 1u);
  // A node that was never a child of this region is not removed even when it is a view.
  Soup other = View(WithHeader(Chunk("c", 0, Chunk("b", 1, U32(2)))));
  s.GetRoot()->RemoveChild(other.GetNamedSoup("c").GetRoot()->GetChild("b"));
  EXPECT_EQ(s.CountTags(), 1u);
  EXPECT_EQ(Write(s), WithHeader(Chunk("b", 1, U32(2))));
}

TEST(SoupViewEditTest, RemovalsMatchTheFileNotJustThePosition) {
  // Two files with the same bytes: their children sit at the same positions.
  const Bytes bytes = WithHeader(Chunk("a", 1, U32(1)) + Chunk("c", 0, Chunk("x", 1, U32(1))));
  Soup one = View(bytes);
  Soup two = View(bytes);
  one.GetRoot()->RemoveChild(two.GetRoot()->GetChild("a"));
  one.RemoveTag(two.GetNamedSoup("c"));
  EXPECT_EQ(one.CountTags(), 2u);
  EXPECT_EQ(Write(one), bytes);
  // A value copied out of its file (an in-memory node over the same bytes) is not the child.
  MPRef<ACSChunk> copy = MakeMP<TDBDataTag>(
      kKindInt, ACSRawDataCore::CreateChunkView(one.GetRoot()->GetChild("a").Get()));
  one.GetRoot()->RemoveChild(copy);
  EXPECT_EQ(one.CountTags(), 2u);
  // Its own views remove it, whichever lookup made them.
  one.RemoveTag(one.GetNamedSoup("c"));
  one.GetRoot()->RemoveChild(one.GetRoot()->GetChild("a"));
  EXPECT_EQ(one.CountTags(), 0u);
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
  EXPECT_EQ(first.CountTags(), 4u);
  EXPECT_EQ(first.GetNamedTagAsInt("added", 0), 11);
  second.RemoveNamedTag("deep");
  EXPECT_EQ(first.CountTags(), 3u);
  EXPECT_EQ(first.GetIndexedTagName(0).View(), "n");
  EXPECT_EQ(first.GetIndexedTagName(1).View(), "more");
  EXPECT_EQ(first.GetIndexedTagName(2).View(), "added");
  first.SetNamedInt("n", 8);
  EXPECT_EQ(second.GetNamedTagAsInt("n", 0), 8);
  EXPECT_EQ(Names(second), (std::vector<std::string>{"more", "added", "n"}));
  // A fresh lookup from the root sees the same.
  EXPECT_EQ(Names(s.GetNamedSoup("inner")), Names(second));

  // Adding one node twice, or the same region through two views, adds it once.
  MPRef<ACSChunk> tag = first.GetRoot()->CreateTag(kKindInt, nullptr);
  first.GetRoot()->AddChild("once", tag);
  second.GetRoot()->AddChild("once", tag);
  Soup box = s.GetNamedSoup("box");
  first.SetNamedSoup("shared", box);
  first.GetRoot()->AddChild("shared", s.GetNamedSoup("box").GetRoot());
  EXPECT_EQ(Names(second), (std::vector<std::string>{"more", "added", "n", "once", "shared"}));
  // A shared region shows its changes wherever it appears, and is removed by any view of it.
  box.SetNamedInt("inside", 3);
  EXPECT_EQ(second.GetNamedSoup("shared").GetNamedTagAsInt("inside", 0), 3);
  second.RemoveTag(s.GetNamedSoup("box"));
  EXPECT_FALSE(first.HasNamedTag("shared"));
  first.GetRoot()->RemoveChild(tag);
  EXPECT_EQ(Names(second), (std::vector<std::string>{"more", "added", "n"}));
}

TEST(SoupViewEditTest, NoSoupBecomesItsOwnDescendant) {
  Soup s = View(Write(Sample()));
  Soup inner = s.GetNamedSoup("inner");
  Soup more = inner.GetNamedSoup("more");
  const u32 before = more.CountTags();
  // The root, the region itself through a fresh view, and in-memory containers holding either.
  more.GetRoot()->AddChild("loop", s.GetRoot());
  more.GetRoot()->AddChild("loop", inner.GetNamedSoup("more").GetRoot());
  more.GetRoot()->AddChild("loop", more.GetRoot());
  Soup holder;
  holder.SetNamedSoup("inner", inner);
  more.GetRoot()->AddChild("loop", holder.GetRoot());
  Soup outer;
  Soup middle;
  middle.SetNamedSoup("h", holder);
  outer.SetNamedSoup("m", middle);
  more.GetRoot()->AddChild("loop", outer.GetRoot());
  // Asserted: a walk of a soup that holds itself would never end.
  ASSERT_EQ(more.CountTags(), before);
  // A sibling region is no cycle, but it becomes one once it holds the region it was added to.
  Soup box = s.GetNamedSoup("box");
  more.SetNamedSoup("box", box);
  EXPECT_TRUE(more.HasNamedTag("box"));
  box.SetNamedSoup("up", inner);
  ASSERT_FALSE(box.HasNamedTag("up"));
  // Through the handle the soup stays finite too.
  more.SetNamedSoup("loop", s);
  ASSERT_FALSE(more.HasNamedTag("loop"));
  Write(s);  // finite
}

TEST(SoupViewEditTest, FileIsReleasedWhenItsViewsGo) {
  Qel::DynamicBuffer buffer;
  const Bytes bytes = Write(Sample());
  buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  MPRef<TDBBinaryFile> file = MakeMP<TDBBinaryFile>();
  ASSERT_TRUE(file->Read(in));
  {
    MPRef<ACSChunk> root;
    file->GetRoot(root);
    Soup s;
    s.SetRoot(root);
    // Parts of the file put back into it: a region, a copied subtree and single values.
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
  Qel::DynamicBuffer buffer;
  const Bytes bytes = Write(Sample());
  buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  MPRef<TDBBinaryFile> file = MakeMP<TDBBinaryFile>();
  ASSERT_TRUE(file->Read(in));
  MPRef<ACSChunk> old;
  file->GetRoot(old);
  MPRef<ACSChunk> value = old->GetChild("int");
  Qel::DynamicBuffer smallBuffer;
  const Bytes small = WithHeader(Chunk("a", 1, U32(1)));
  smallBuffer.Write(small.data(), u32(small.size()));
  smallBuffer.SetPosition(0);
  TBuffer smallIn(&smallBuffer, false);
  ASSERT_TRUE(file->Read(smallIn));
  EXPECT_EQ(old->CountChildren(), 0u);
  EXPECT_TRUE(ACSChunk::IsNullChunk(old->GetChild("inner").Get()));
  old->AddChild("x", value);
  EXPECT_EQ(old->CountChildren(), 0u);
  // Values taken before keep their bytes.
  EXPECT_EQ(std::memcmp(value->GetData(), U32(u32(-5)).data(), 4), 0);
  MPRef<ACSChunk> fresh;
  file->GetRoot(fresh);
  EXPECT_EQ(fresh->CountChildren(), 1u);
  fresh->RemoveChild(value);
  EXPECT_EQ(fresh->CountChildren(), 1u);
}

TEST(SoupViewEditTest, CopiesOfViewsAreIndependent) {
  Soup s = View(Write(Sample()));
  Soup copy;
  copy.Copy(s);
  EXPECT_EQ(Dump(copy), Dump(s));
  copy.GetNamedSoup("inner").SetNamedInt("n", 100);
  EXPECT_EQ(s.GetNamedSoup("inner").GetNamedTagAsInt("n", 0), 7);
  // Copying into a view replaces its children.
  Soup target = View(WithHeader(Chunk("gone", 1, U32(1))));
  target.GetRoot()->CopyFrom(Sample().GetRoot().Get());
  EXPECT_EQ(Dump(target), Dump(Sample()));
}

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/soup_view_test_XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(SoupViewFileTest, EditsOfALoadedFileSaveAndReload) {
  TempFolder dir;
  const std::string path = dir / "config.chump";
  ASSERT_TRUE(Sample().SaveFile(nullptr, path.c_str(), nullptr));

  Soup s;
  ASSERT_TRUE(s.LoadFile(nullptr, path.c_str(), nullptr));
  ASSERT_NE(dynamic_cast<const TDBBinarySoup*>(s.GetRoot().Get()), nullptr);
  s.SetNamedInt("int", 99);  // set
  s.RemoveNamedTag("null");  // remove
  Soup first = s.GetNamedSoup("inner");
  first.CountTags();  // a count cached before the other view adds
  Soup second = s.GetNamedSoup("inner");
  second.SetNamedTag("added", "yes");  // add through a second view
  second.GetNamedSoup("more").SetNamedFloat("f", 1.5f);
  first.RemoveNamedTag("n");
  ASSERT_TRUE(s.SaveFile(nullptr, path.c_str(), nullptr));  // over the file it views

  Soup back;
  ASSERT_TRUE(back.LoadFile(nullptr, path.c_str(), nullptr));
  EXPECT_EQ(Names(back),
            (std::vector<std::string>{"float", "text", "kuid", "empty", "inner", "box", "int"}));
  EXPECT_EQ(back.GetNamedTagAsInt("int", 0), 99);
  EXPECT_EQ(back.GetNamedTag("text").View(), "h\xC3\xA9llo");
  EXPECT_EQ(back.GetNamedTagAsKUID("kuid", KUID()), KUID(12, 34, 5));
  Soup inner = back.GetNamedSoup("inner");
  EXPECT_EQ(Names(inner), (std::vector<std::string>{"deep", "more", "added"}));
  EXPECT_EQ(inner.GetNamedTag("added").View(), "yes");
  EXPECT_EQ(inner.GetNamedSoup("more").GetNamedTagAsFloat("f", 0), 1.5f);
  EXPECT_TRUE(inner.GetNamedSoup("more").GetNamedTagAsBool("flag", false));
  EXPECT_EQ(Dump(back), Dump(s));
  // Saved as text and read back, the same tree.
  const std::string text = dir / "config.txt";
  ASSERT_TRUE(back.SaveFile(nullptr, text.c_str(), nullptr));
  Soup fromText;
  ASSERT_TRUE(fromText.LoadFile(nullptr, text.c_str(), nullptr));
  EXPECT_EQ(Names(fromText), Names(back));
}

// Reads, walks every tag and changes a few; nothing may crash or leak, and what is written must
// read back to the same bytes.
void Exercise(const Bytes& bytes) {
  Soup s;
  ReadInto(bytes, s);
  std::vector<Soup> pending{s};
  u32 visited = 0;
  while (!pending.empty() && visited < 10000) {
    Soup at = pending.back();
    pending.pop_back();
    for (u32 i = 0; i < at.CountTags(); ++i, ++visited) {
      const Qel::PString name = at.GetIndexedTagName(i);
      at.GetNamedTag(name);
      at.GetNamedTagAsInt(name, 0);
      at.GetNamedTagAsFloat(name, 0);
      at.GetNamedTagAsKUID(name, KUID());
      Soup child = at.GetIndexedSoup(i);
      if (!child.IsNull()) pending.push_back(child);
    }
    if (at.CountTags()) {
      at.SetNamedInt(at.GetIndexedTagName(0), 1);
      at.RemoveNamedTag(at.GetIndexedTagName(0));
    }
  }
  const Bytes written = Write(s);
  ASSERT_TRUE(
      ValidateSoupBody(reinterpret_cast<const u8*>(written.data()) + 16, u32(written.size() - 16)));
  EXPECT_EQ(Write(View(written)), written);
}

TEST(SoupViewHostileTest, TruncationsAndByteChanges) {
  const Bytes valid = Write(Sample());
  for (size_t n = 0; n <= valid.size(); ++n) {
    Soup s;
    const bool ok = ReadInto(valid.substr(0, n), s);
    if (n >= 16 && n < valid.size()) {
      EXPECT_FALSE(ok) << n;
    }
    if (n < valid.size()) {
      EXPECT_TRUE(s.IsNull()) << n;
    }
    Exercise(valid.substr(0, n));
  }
  std::mt19937 rng(4321);
  for (int i = 0; i < 3000; ++i) {
    Bytes bad = valid;
    const size_t at = 16 + rng() % (bad.size() - 16);
    bad[at] = char(i % 2 ? bad[at] ^ (1 << (rng() % 8)) : rng());
    Exercise(bad);
  }
  // A body claiming far more than the stream holds allocates nothing.
  Soup s;
  EXPECT_FALSE(ReadInto("ACS$" + U32(1) + U32(0) + U32(0x7FFFFFF0u) + "abc", s));
}

TEST(SoupViewHostileTest, DeepNestingReadsAsEmpty) {
  const u32 levels = 100000;
  Bytes body = Chunk("v", 1, U32(1));
  Bytes hostile(size_t(levels) * 8, '\0');
  for (u32 i = 0; i < levels; ++i) {
    const size_t at = size_t(i) * 8;
    const Bytes size = U32(u32(hostile.size() - at - 4));
    std::memcpy(&hostile[at], size.data(), 4);
    hostile[at + 4] = 2;
    hostile[at + 5] = 'd';
  }
  Soup s;
  EXPECT_TRUE(ReadInto(WithHeader(hostile), s));
  EXPECT_TRUE(s.IsNull());
  // The deepest accepted nesting is walked and written without trouble.
  for (u32 i = 0; i < kMaxSoupDepth; ++i) body = Chunk("d", 0, body);
  Soup deep = View(WithHeader(body));
  Soup at = deep;
  u32 depth = 0;
  while (at.HasNamedTag("d")) {
    at = at.GetNamedSoup("d");
    ++depth;
  }
  EXPECT_EQ(depth, kMaxSoupDepth);
  EXPECT_EQ(at.GetNamedTagAsInt("v", 0), 1);
  EXPECT_EQ(Write(deep), WithHeader(body));
}

}  // namespace
