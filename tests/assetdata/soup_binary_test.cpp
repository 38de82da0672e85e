#include "assetdata/soup_binary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_convert.h"
#include "core/buffer_stream.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"

namespace {

using Bytes = std::string;

Bytes U32(u32 v) {
  Bytes b;
  ByteOrder::AppendLE32(b, v);
  return b;
}

Bytes Header(u32 bodySize, u32 version = 1) {
  return "ACS$" + U32(version) + U32(0) + U32(bodySize);
}

Bytes Chunk(const Bytes& name, u8 type, const Bytes& payload) {
  const Bytes inner = char(name.size() + 1) + name + '\0' + char(type) + payload;
  return U32(u32(inner.size())) + inner;
}

Bytes WithHeader(const Bytes& body, u32 version = 1) {
  return Header(u32(body.size()), version) + body;
}

Bytes Write(const Soup& soup, bool* complete = nullptr) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  const bool done = WriteSoup(out, soup);
  if (complete) *complete = done;
  EXPECT_EQ(out.GetError(), 0u);
  return Bytes(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

struct ReadResult {
  bool ok;
  Soup soup;
};

ReadResult Read(const Bytes& bytes) {
  Qel::DynamicBuffer buffer;
  buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  ReadResult r;
  r.ok = ReadSoupTree(in, r.soup);
  return r;
}

Soup ReadValid(const Bytes& bytes) {
  ReadResult r = Read(bytes);
  EXPECT_TRUE(r.ok);
  return r.soup;
}

Bytes DataOf(const Soup& soup, const char* name) {
  MPRef<ACSRawDataCore> d = soup.GetNamedTagData(name);
  return d ? Bytes(reinterpret_cast<const char*>(d->GetData()), d->GetSize()) : Bytes();
}

TEST(SoupBinaryWriteTest, EmptySoupAndGoldenChunk) {
  EXPECT_EQ(Write(Soup()), Header(0));
  Soup empty;
  empty.EnsureContainer();
  EXPECT_EQ(Write(empty), Header(0));
  ReadResult r = Read(Header(0));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.soup.IsNull());
  EXPECT_EQ(r.soup.CountTags(), 0u);

  Soup a;
  a.SetNamedInt("a", 5);
  const Bytes chunk("\x08\0\0\0\x02\x61\0\x01\x05\0\0\0", 12);
  EXPECT_EQ(Write(a), Header(12) + chunk);
  EXPECT_EQ(ReadValid(Header(12) + chunk).GetNamedTagAsInt("a", 0), 5);
}

TEST(SoupBinaryWriteTest, TypeCodesForEveryKind) {
  struct Case {
    u32 kind;
    Bytes value;
    u8 type;
  };
  const Case cases[] = {
      {kKindNull, "", 5},
      {kKindRaw, "xyz", 4},
      {kKindFloat, "abcd", 2},
      {kKindText, Bytes("t\0", 2), 3},
      {kKindTextAlt, Bytes("u\0", 2), 3},
      {kKindInt, "1234", 1},
      {kKindKUID, "12345678", 13},
      {9, "qq", 5},  // unknown kinds keep their bytes behind a null type
  };
  for (const Case& c : cases) {
    Soup s;
    s.EnsureContainer();
    s.GetRoot()->AddChild(
        "k", s.GetRoot()->CreateTag(
                 c.kind, ACSRawDataCore::CreateCopy(c.value.data(), u32(c.value.size()))));
    const Bytes payload = c.kind == kKindNull ? Bytes() : c.value;
    EXPECT_EQ(Write(s), WithHeader(Chunk("k", c.type, payload))) << "kind " << c.kind;
  }
  Soup nested;
  Soup child;
  nested.SetNamedSoup("c", child);
  EXPECT_EQ(Write(nested), WithHeader(Chunk("c", 0, "")));
  Soup back = ReadValid(Write(nested));
  EXPECT_EQ(back.GetNamedTagKind("c"), kKindContainer);
  EXPECT_EQ(back.GetNamedSoup("c").CountTags(), 0u);
}

TEST(SoupBinaryWriteTest, NameLengths) {
  Soup s;
  s.SetNamedInt(Qel::PString(std::string(254, 'n')), 1);
  s.SetNamedInt(Qel::PString(std::string(255, 'm')), 2);
  s.SetNamedInt(Qel::PString(std::string(300, 'o')), 3);
  const Bytes bytes = Write(s);
  ASSERT_EQ(bytes.size(), 16u + 4 + 1 + 255 + 1 + 4);
  EXPECT_EQ(u8(bytes[20]), 255);
  Soup back = ReadValid(bytes);
  EXPECT_EQ(back.CountTags(), 1u);
  EXPECT_EQ(back.GetNamedTagAsInt(Qel::PString(std::string(254, 'n')), 0), 1);

  // The empty name is a lone NUL, which reads back as the empty name.
  Soup e;
  e.SetNamedInt(Qel::PString(), 7);
  const Bytes empty = Write(e);
  EXPECT_EQ(empty, WithHeader(Chunk("", 1, U32(7))));
  Soup eb = ReadValid(empty);
  ASSERT_EQ(eb.CountTags(), 1u);
  EXPECT_TRUE(eb.GetIndexedTagName(0).IsEmpty());
  EXPECT_EQ(eb.GetNamedTagAsInt(Qel::PString(), 0), 7);
}

TEST(SoupBinaryWriteTest, DepthBeyondTheLimitIsLeftOut) {
  Soup root;
  Soup at = root.GetContainer();
  for (u32 i = 0; i < kMaxSoupDepth + 5; ++i) {
    Soup next;
    at.SetNamedSoup("d", next);
    at = next;
  }
  bool complete = true;
  const Bytes bytes = Write(root, &complete);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(
      ValidateSoupBody(reinterpret_cast<const u8*>(bytes.data()) + 16, u32(bytes.size() - 16)));
  Soup walk = ReadValid(bytes);
  u32 depth = 0;
  while (walk.HasNamedTag("d")) {
    walk = walk.GetNamedSoup("d");
    ++depth;
  }
  EXPECT_EQ(depth, kMaxSoupDepth);
}

TEST(SoupBinaryReadTest, HeaderResults) {
  const Bytes body = Chunk("a", 1, U32(5));
  struct Case {
    const char* what;
    Bytes bytes;
    bool ok;
    bool hasTag;
  };
  const Case cases[] = {
      {"valid", WithHeader(body), true, true},
      {"version 0", WithHeader(body, 0), true, true},
      {"version 2", WithHeader(body, 2), true, false},
      {"wrong magic", "ACS#" + U32(1) + U32(0) + U32(u32(body.size())) + body, false, false},
      {"short header", Bytes("ACS$\x01", 5), true, false},
      {"empty stream", "", false, false},
      {"negative size", Header(0x80000000u) + body, false, false},
      {"size past end", Header(u32(body.size() + 1)) + body, false, false},
      {"huge size", Header(0x7FFFFFFFu) + body, false, false},
      {"trailing stream bytes", WithHeader(body) + "garbage", true, true},
  };
  for (const Case& c : cases) {
    ReadResult r = Read(c.bytes);
    EXPECT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.soup.GetNamedTagAsInt("a", -1), c.hasTag ? 5 : -1) << c.what;
  }
}

TEST(SoupBinaryReadTest, BodyCheck) {
  const Bytes good = Chunk("a", 1, U32(5));
  struct Case {
    const char* what;
    Bytes body;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"fewer than 6 bytes", "\x01\x02\x03\x04\x05", true},
      {"one chunk", good, true},
      {"5 trailing bytes", good + Bytes(5, 'x'), true},
      {"6 trailing bytes", good + Bytes(6, 'x'), false},
      {"last chunk claims too much", good + U32(100) + Bytes("\x02\x62\0\x01", 4) + U32(1), false},
      {"size below 2", U32(1) + Bytes("\x01\0\0\0\0\0", 6), false},
      {"name length 0", U32(4) + Bytes("\0\0\0\0", 4), false},
      {"name without NUL", U32(5) + Bytes("\x02\x61\x62\x01\0", 5), false},
      {"name longer than chunk", U32(3) + Bytes("\x05\x61\0", 3) + Bytes(3, '\0'), false},
      {"bad nested chunk", Chunk("c", 0, U32(100) + Bytes("\x02\x62\0\x01", 4)), false},
      {"nested short payload", Chunk("c", 0, "abc"), true},
      {"size overflows", U32(0xFFFFFFFFu) + Bytes("\x02\x62\0\x01", 4) + U32(1), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ValidateSoupBody(reinterpret_cast<const u8*>(c.body.data()), u32(c.body.size())),
              c.valid)
        << c.what;
    // A body that fails the check reads as an empty soup, with true.
    ReadResult r = Read(WithHeader(c.body));
    EXPECT_TRUE(r.ok) << c.what;
    if (!c.valid) {
      EXPECT_TRUE(r.soup.IsNull()) << c.what;
    }
  }
}

Bytes Nested(u32 depth, const Bytes& innermost) {
  Bytes body = innermost;
  for (u32 i = 0; i < depth; ++i) body = Chunk("d", 0, body);
  return body;
}

TEST(SoupBinaryReadTest, NestingDepthIsBounded) {
  const Bytes leaf = Chunk("v", 1, U32(1));
  const Bytes deepest = Nested(kMaxSoupDepth, leaf);
  EXPECT_TRUE(ValidateSoupBody(reinterpret_cast<const u8*>(deepest.data()), u32(deepest.size())));
  const Bytes tooDeep = Nested(kMaxSoupDepth + 1, leaf);
  EXPECT_FALSE(ValidateSoupBody(reinterpret_cast<const u8*>(tooDeep.data()), u32(tooDeep.size())));

  // 100,000 levels, built back to front with the sizes patched in place.
  const u32 levels = 100000;
  const u32 perLevel = 4 + 1 + 2 + 1;
  Bytes hostile(size_t(levels) * perLevel, '\0');
  for (u32 i = 0; i < levels; ++i) {
    const size_t at = size_t(i) * perLevel;
    const u32 size = u32(hostile.size() - at - 4);
    std::memcpy(&hostile[at], U32(size).data(), 4);
    hostile[at + 4] = 2;
    hostile[at + 5] = 'd';
    hostile[at + 7] = 0;
  }
  EXPECT_FALSE(ValidateSoupBody(reinterpret_cast<const u8*>(hostile.data()), u32(hostile.size())));
  ReadResult r = Read(WithHeader(hostile));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.soup.IsNull());
  // Decoding without the check stops at the limit too.
  MPRef<ACSChunk> decoded =
      DecodeSoupBody(reinterpret_cast<const u8*>(hostile.data()), u32(hostile.size()), 1);
  EXPECT_TRUE(decoded);
}

TEST(SoupBinaryReadTest, TextPayloads) {
  // No final NUL: the same text, now ending in NUL.
  Soup s = ReadValid(WithHeader(Chunk("t", 3, "abc")));
  EXPECT_EQ(DataOf(s, "t"), Bytes("abc\0", 4));
  // Version 0 converts from Windows-1252.
  Soup v0 = ReadValid(WithHeader(Chunk("t", 3, "caf\xE9"), 0));
  EXPECT_EQ(DataOf(v0, "t"), Bytes("caf\xC3\xA9\0", 6));
  Soup v0nul = ReadValid(WithHeader(Chunk("t", 3, Bytes("\x80!\0", 3)), 0));
  EXPECT_EQ(DataOf(v0nul, "t"), Bytes("\xE2\x82\xAC!\0", 5));
  // Version 1 keeps the bytes.
  Soup v1 = ReadValid(WithHeader(Chunk("t", 3, Bytes("caf\xE9\0", 5))));
  EXPECT_EQ(DataOf(v1, "t"), Bytes("caf\xE9\0", 5));
  // An empty payload is a text tag without bytes.
  Soup e = ReadValid(WithHeader(Chunk("t", 3, "")));
  EXPECT_EQ(e.GetNamedTagKind("t"), kKindText);
  EXPECT_EQ(DataOf(e, "t"), "");
}

TEST(SoupBinaryReadTest, TypeCodesReadAsKinds) {
  Bytes body;
  for (u32 type = 0; type < 256; ++type) body += Chunk("t", u8(type), type ? "12345678" : "");
  Soup s = ReadValid(WithHeader(body));
  ASSERT_EQ(s.CountTags(), 256u);
  const u32 known[14] = {
      kKindContainer, kKindInt, kKindFloat, kKindText, kKindRaw, 0, 0, 0, 0, 0, 0, 0,
      kKindRaw,       kKindKUID};
  for (u32 type = 0; type < 256; ++type) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    ASSERT_TRUE(s.GetRoot()->GetChildAt(type, name, child));
    EXPECT_EQ(child->GetKind(), type < 14 ? known[type] : kKindNull) << "type " << type;
  }
}

TEST(SoupBinaryReadTest, AlignedRawSkipsPaddingFromTheBodyStart) {
  // The payload of the first chunk starts at body offset 4 + 1 + 2 + 1 = 8: 8 bytes of padding.
  const Bytes payload = "PPPPPPPPvalue";
  Soup s = ReadValid(WithHeader(Chunk("a", 12, payload) + Chunk("b", 12, "ab")));
  EXPECT_EQ(DataOf(s, "a"), "value");
  EXPECT_EQ(s.GetNamedTagKind("b"), kKindRaw);
  EXPECT_EQ(DataOf(s, "b"), "");
}

TEST(SoupChunkWalkerTest, StopsAtTheFirstBadChunk) {
  const Bytes body =
      Chunk("one", 1, U32(1)) + Chunk("two", 3, "x") + U32(99) + Bytes("\x02\x7A\0\x01", 4);
  const u8* base = reinterpret_cast<const u8*>(body.data());
  SoupChunkWalker walker(base, 0, u32(body.size()));
  SoupChunk c;
  ASSERT_TRUE(walker.Next(c));
  EXPECT_EQ(c.name, "one");
  EXPECT_EQ(c.type, 1);
  EXPECT_EQ(c.payloadOffset, 10u);
  EXPECT_EQ(c.payloadSize, 4u);
  ASSERT_TRUE(walker.Next(c));
  EXPECT_EQ(c.name, "two");
  EXPECT_EQ(c.offset, 14u);
  EXPECT_FALSE(walker.Next(c));
  // Embedded NULs end the name.
  const Bytes odd = Chunk(Bytes("ab\0c", 4), 5, "");
  SoupChunkWalker w2(reinterpret_cast<const u8*>(odd.data()), 0, u32(odd.size()));
  ASSERT_TRUE(w2.Next(c));
  EXPECT_EQ(c.name, "ab");
}

// A soup with every kind, nesting, repeated names and awkward values.
Soup EveryKind() {
  Soup s;
  s.SetNamedInt("int", -5);
  s.SetNamedFloat("float", 2.5f);
  s.SetNamedTag("text", "h\xC3\xA9llo");
  s.SetNamedTag("empty", Qel::PString());
  s.SetNamedKUID("kuid", KUID(12, 34, 5));
  s.SetNamedNull("null");
  FloatArray floats;
  for (int i = 0; i < 10; ++i) floats.Add(f32(i) / 4);
  s.SetNamedFloatArray("floats", floats);
  s.GetRoot()->AddChild("raw",
                        s.GetRoot()->CreateTag(kKindRaw, ACSRawDataCore::CreateCopy("\0\1\2", 3)));
  s.GetRoot()->AddChild(
      "int", s.GetRoot()->CreateTag(kKindInt, ACSRawDataCore::CreateCopy("\1\0\0\0", 4)));
  Soup inner;
  inner.SetNamedTag("deep", "value");
  Soup innermost;
  innermost.SetNamedBool("flag", true);
  inner.SetNamedSoup("more", innermost);
  s.SetNamedSoup("inner", inner);
  Soup box;
  s.SetNamedSoup("emptybox", box);
  return s;
}

TEST(SoupBinaryReadTest, HostileVariantsOfAValidFile) {
  const Bytes valid = Write(EveryKind());
  // Every truncation.
  for (size_t n = 0; n < valid.size(); ++n) {
    ReadResult r = Read(valid.substr(0, n));
    if (n >= 16) {
      EXPECT_FALSE(r.ok) << n;  // the body size runs past the stream
    }
    EXPECT_TRUE(r.soup.IsNull()) << n;
  }
  // Single-byte changes: whatever reads back must write a body that passes the check and reads
  // back to the same bytes.
  std::mt19937 rng(1234);
  for (int i = 0; i < 4000; ++i) {
    Bytes bad = valid;
    const size_t at = rng() % bad.size();
    bad[at] = char(i < 2000 ? bad[at] ^ (1 << (rng() % 8)) : rng());
    ReadResult r = Read(bad);
    const Bytes again = Write(r.soup);
    EXPECT_TRUE(
        ValidateSoupBody(reinterpret_cast<const u8*>(again.data()) + 16, u32(again.size() - 16)));
    EXPECT_EQ(Write(Read(again).soup), again);
    // Every tag can be read as every kind.
    for (u32 t = 0; t < r.soup.CountTags(); ++t) {
      const Qel::PString name = r.soup.GetIndexedTagName(t);
      r.soup.GetNamedTag(name);
      r.soup.GetNamedTagAsInt(name, 0);
      r.soup.GetNamedTagAsFloat(name, 0);
      r.soup.GetNamedTagAsKUID(name, KUID());
    }
  }
}

}  // namespace
