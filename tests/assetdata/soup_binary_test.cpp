#include "assetdata/soup_binary.h"

#include <gtest/gtest.h>

#include <string>

#include "assetdata/soup.h"
#include "assetdata/soup_bytes.h"
#include "assetdata/soup_convert.h"
#include "assetdata/soup_view.h"

namespace {

using namespace soupbytes;

struct ReadResult {
  bool ok;
  Soup soup;
};

ReadResult Read(const Bytes& bytes) {
  ReadResult r;
  r.ok = ReadInto(bytes, r.soup, false);
  return r;
}

TEST(SoupBinaryWriteTest, EmptySoupAndGoldenChunk) {
  EXPECT_EQ(Write(Soup()), Header(0));
  Soup empty;
  empty.EnsureContainer();
  EXPECT_EQ(Write(empty), Header(0));
  ReadResult r = Read(Header(0));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.soup.IsNull());

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
  EXPECT_EQ(ReadValid(Write(nested)).GetNamedTagKind("c"), kKindContainer);
}

TEST(SoupBinaryWriteTest, NameLengths) {
  Soup s;
  s.SetNamedInt(Qel::PString(std::string(254, 'n')), 1);
  s.SetNamedInt(Qel::PString(std::string(255, 'm')), 2);
  s.SetNamedInt(Qel::PString(std::string(300, 'o')), 3);
  const Bytes bytes = Write(s);
  ASSERT_EQ(bytes.size(), 16u + 4 + 1 + 255 + 1 + 4);
  EXPECT_EQ(u8(bytes[20]), 255);
  EXPECT_EQ(ReadValid(bytes).GetNamedTagAsInt(Qel::PString(std::string(254, 'n')), 0), 1);

  // The empty name is a lone NUL, which reads back as the empty name.
  Soup e;
  e.SetNamedInt(Qel::PString(), 7);
  EXPECT_EQ(Write(e), WithHeader(Chunk("", 1, U32(7))));
  Soup eb = ReadValid(Write(e));
  ASSERT_EQ(eb.CountTags(), 1u);
  EXPECT_TRUE(eb.GetIndexedTagName(0).IsEmpty());
  EXPECT_EQ(eb.GetNamedTagAsInt(Qel::PString(), 0), 7);
}

TEST(SoupBinaryWriteTest, DepthBeyondTheLimitIsLeftOut) {
  bool complete = true;
  const Bytes bytes = Write(Nested(kMaxSoupDepth + 5), &complete);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(Valid(bytes.substr(16)));
  EXPECT_EQ(Depth(ReadValid(bytes)), kMaxSoupDepth);
}

// Through both readers: the tree reader and the in-place view.
TEST(SoupBinaryReadTest, HeadersAndTruncations) {
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
      {"wrong magic", "ACS#" + WithHeader(body).substr(4), false, false},
      {"short header", Bytes("ACS$\x01", 5), true, false},
      {"empty stream", "", false, false},
      {"negative size", Header(0x80000000u) + body, false, false},
      {"size past end", Header(u32(body.size() + 1)) + body, false, false},
      {"huge size", Header(0x7FFFFFFFu) + body, false, false},
      {"trailing stream bytes", WithHeader(body) + "garbage", true, true},
      {"malformed body", WithHeader(body + Bytes(6, 'x')), true, false},
      {"hostile nesting", WithHeader(HostileNesting(100000)), true, false},
  };
  const Bytes valid = Write(Sample());
  for (bool view : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (view ? " through the view" : ""));
      Soup s;
      s.SetNamedInt("old", 1);
      EXPECT_EQ(ReadInto(c.bytes, s, view), c.ok);
      EXPECT_EQ(s.GetNamedTagAsInt("a", -1), c.hasTag ? 5 : -1);
      EXPECT_EQ(s.IsNull(), !c.hasTag);
      EXPECT_EQ(dynamic_cast<const TDBBinarySoup*>(s.GetRoot().Get()) != nullptr, view && c.hasTag);
    }
    // A whole magic without its body reads as an empty soup; a body cut short fails.
    for (size_t n = 0; n < valid.size(); ++n) {
      Soup s;
      EXPECT_EQ(ReadInto(valid.substr(0, n), s, view), n >= 4 && n < 16) << n << " " << view;
      EXPECT_TRUE(s.IsNull()) << n;
    }
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
    EXPECT_EQ(Valid(c.body), c.valid) << c.what;
    // A body that fails the check reads as an empty soup, with true.
    ReadResult r = Read(WithHeader(c.body));
    EXPECT_TRUE(r.ok) << c.what;
    EXPECT_TRUE(c.valid || r.soup.IsNull()) << c.what;
  }
}

TEST(SoupBinaryReadTest, NestingDepthIsBounded) {
  Bytes deepest = Chunk("v", 1, U32(1));
  for (u32 i = 0; i < kMaxSoupDepth; ++i) deepest = Chunk("d", 0, deepest);
  EXPECT_TRUE(Valid(deepest));
  EXPECT_FALSE(Valid(Chunk("d", 0, deepest)));
  const Bytes hostile = HostileNesting(100000);
  EXPECT_FALSE(Valid(hostile));
  // Decoding without the check stops at the limit too.
  EXPECT_TRUE(DecodeSoupBody(reinterpret_cast<const u8*>(hostile.data()), u32(hostile.size()), 1));
  // The deepest nesting accepted is read by both readers and written back as it was.
  for (bool view : {false, true}) {
    const Soup deep = ReadValid(WithHeader(deepest), view);
    EXPECT_EQ(Depth(deep), kMaxSoupDepth);
    EXPECT_EQ(Write(deep), WithHeader(deepest));
  }
}

TEST(SoupBinaryReadTest, Payloads) {
  struct Case {
    const char* what;
    Bytes chunk;
    u32 version;
    Bytes data;
  };
  const Case cases[] = {
      {"text without NUL gets one", Chunk("t", 3, "abc"), 1, Bytes("abc\0", 4)},
      {"version 0 from Windows-1252", Chunk("t", 3, "caf\xE9"), 0, Bytes("caf\xC3\xA9\0", 6)},
      {"version 0 with NUL", Chunk("t", 3, Bytes("\x80!\0", 3)), 0, Bytes("\xE2\x82\xAC!\0", 5)},
      {"version 1 keeps bytes", Chunk("t", 3, Bytes("caf\xE9\0", 5)), 1, Bytes("caf\xE9\0", 5)},
      {"empty text", Chunk("t", 3, ""), 1, ""},
      // The first payload starts at body offset 8: 8 bytes of padding.
      {"aligned raw", Chunk("t", 12, "PPPPPPPPvalue"), 1, "value"},
      {"aligned raw too short", Chunk("t", 12, "ab"), 1, ""},
  };
  for (const Case& c : cases) {
    Soup s = ReadValid(WithHeader(c.chunk, c.version));
    EXPECT_EQ(DataOf(s, "t"), c.data) << c.what;
    EXPECT_EQ(s.GetNamedTagKind("t"), c.chunk[7] == 3 ? kKindText : kKindRaw) << c.what;
  }
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

}  // namespace
