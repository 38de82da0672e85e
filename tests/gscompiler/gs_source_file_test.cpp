#include "gscompiler/gs_source_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/crc32.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/script_test_folder.h"
#include "support/file_size_limit.h"

namespace {

using gs_test::GseFile;
using gs_test::GseOf;
using gs_test::PlainBody;
using gs_test::Scrambled;

std::string TextOf(GSSourceFile& f) {
  const char* t = f.GetText();
  return t ? std::string(t, f.GetTextLength()) : std::string("<null>");
}

u32 SourceIdOf(GSSourceFile& f) {
  UnitRecord unit;
  ComputeUnitIds(unit, "x.gs", f.GetText(), f.GetTextLength(), f.GetPrefixLength());
  return unit.sourceId;
}

void ExpectCleared(GSSourceFile& f) {
  EXPECT_FALSE(f.IsPacked());
  EXPECT_EQ(f.GetDataLength(), 0u);
  EXPECT_EQ(f.GetData(), nullptr);
  EXPECT_EQ(f.GetTextLength(), 0u);
}

class GSSourceFileTest : public gs_test::ScriptTestFolder {};

TEST_F(GSSourceFileTest, LineEndsNormaliseAlikeThroughPlainAndPackedFiles) {
  struct Case {
    const char* name;
    std::string raw;
    std::string want;
  };
  const Case cases[] = {
      {"crlf", "a\r\nb\r\n", "a\nb\n"},
      {"cr", "a\rb\r", "a\nb\n"},
      {"lf", "a\nb\n", "a\nb\n"},
      {"lfcr is one end", "a\n\rb", "a\nb"},
      {"cr cr is two", "a\r\rb", "a\n\nb"},
      {"crlfcr", "a\r\n\rb", "a\n\nb"},
      {"no line end", "class A { };", "class A { };"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put("s.gs", c.raw);
    Put("s.gse", GseOf(c.raw));
    GSSourceFile plain, packed;
    ASSERT_TRUE(plain.Load(nullptr, "s.gs"));
    ASSERT_TRUE(packed.Load("", "s.gse"));
    EXPECT_TRUE(packed.IsPacked());
    EXPECT_EQ(TextOf(plain), c.want);
    EXPECT_EQ(TextOf(packed), c.want);
    EXPECT_FALSE(packed.IsPacked());
    // The id is the checksum of the normalised text, so every line-end style gives the same one.
    EXPECT_EQ(SourceIdOf(plain),
              Crc32(reinterpret_cast<const u8*>(c.want.data()), u32(c.want.size())));
    EXPECT_EQ(SourceIdOf(packed), SourceIdOf(plain));
  }
}

TEST_F(GSSourceFileTest, PackedFileWrittenAndReadBackIsIdentical) {
  std::string text = "include \"gs.gs\"\r\nclass Loco isclass Vehicle\r\n{\r\n";
  for (int i = 0; i < 200; ++i)
    text += "  int field" + std::to_string(i) + " = " + std::to_string(i * 7) + ";\r\n";
  text += "};\r\n";
  Put("loco.gs", text);

  GSSourceFile source;
  ASSERT_TRUE(source.Load(nullptr, "loco.gs"));
  const std::string normalised = TextOf(source);
  ASSERT_TRUE(source.Save(nullptr, "loco.gse"));
  EXPECT_TRUE(source.IsPacked());

  const std::string file = Slurp("loco.gse");
  ASSERT_GE(file.size(), 16u);
  std::string header;
  ByteOrder::AppendLE32(header, 1);
  ByteOrder::AppendLE32(header, 0);
  ByteOrder::AppendLE32(header, u32(file.size() - 16));
  ByteOrder::AppendLE32(header, 0);
  EXPECT_EQ(file.substr(0, 16), header);

  GSSourceFile back;
  ASSERT_TRUE(back.Load(nullptr, "loco.gse"));
  EXPECT_EQ(TextOf(back), normalised);

  // Packing the same text again gives the same bytes, and the plain form round-trips too.
  ASSERT_TRUE(back.Save(nullptr, "again.gse"));
  EXPECT_EQ(Slurp("again.gse"), file);
  GSSourceFile third;
  ASSERT_TRUE(third.Load(nullptr, "again.gse"));
  ASSERT_TRUE(third.Save(nullptr, "plain.gs"));
  EXPECT_EQ(Slurp("plain.gs"), normalised);

  // The format word is kept from the header.
  Put("f.gse", GseFile(Scrambled(PlainBody("x")), u32(PlainBody("x").size()), 7));
  GSSourceFile f;
  ASSERT_TRUE(f.Load(nullptr, "f.gse"));
  EXPECT_EQ(f.GetFormat(), 7u);
  ASSERT_TRUE(f.Save(nullptr, "g.gse"));
  EXPECT_EQ(Slurp("g.gse").substr(0, 4), std::string("\x07\0\0\0", 4));
}

TEST_F(GSSourceFileTest, HostilePackedFilesFailCleanly) {
  const std::string good = PlainBody("class A { };");
  std::string corrupt = good;
  for (size_t i = 4; i < corrupt.size(); ++i) corrupt[i] = char(0x00);  // matches before start
  std::string bigLength;
  ByteOrder::AppendLE32(bigLength, 0x4000001);
  bigLength += good.substr(4);
  std::string implausible;  // far more text than the stream could ever produce
  ByteOrder::AppendLE32(implausible, 10000);
  implausible += good.substr(4);
  std::string zero;
  ByteOrder::AppendLE32(zero, 0);
  zero += good.substr(4);
  std::string shortStream = good.substr(0, good.size() - 3);

  struct Case {
    const char* name;
    std::string file;
    bool loads;  // the header is acceptable; the failure comes at unpack
  };
  const Case cases[] = {
      {"file of 1 byte", "\x01", false},
      {"file of 3 bytes", std::string("\x01\0\0", 3), false},
      {"header only", GseFile("", 0), false},
      {"body shorter than announced", GseFile(Scrambled(good), u32(good.size() + 1)), false},
      {"announced beyond 32 MiB", GseFile(Scrambled(good), 0x2000001), false},
      {"body of 1 byte", GseFile("\x55", 1), true},
      {"body of 3 bytes", GseFile("\x55\x66\x77", 3), true},
      {"length 0", GseFile(Scrambled(zero), u32(zero.size())), true},
      {"length beyond 64 MiB", GseFile(Scrambled(bigLength), u32(bigLength.size())), true},
      {"length the stream cannot reach", GseFile(Scrambled(implausible), u32(implausible.size())),
       true},
      {"corrupt stream", GseFile(Scrambled(corrupt), u32(corrupt.size())), true},
      {"truncated stream", GseFile(Scrambled(shortStream), u32(shortStream.size())), true},
      {"unscrambled body", GseFile(good, u32(good.size())), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put("h.gse", c.file);
    GSSourceFile f;
    ASSERT_EQ(f.Load(nullptr, "h.gse"), c.loads);
    if (!c.loads) {
      EXPECT_EQ(f.GetData(), nullptr);
      continue;
    }
    EXPECT_EQ(f.GetText(), nullptr);
    ExpectCleared(f);
    EXPECT_STREQ(f.GetText(), "");
  }
}

TEST_F(GSSourceFileTest, PendingPrefixGoesBeforeTheNextLoadOnly) {
  for (bool pack : {false, true}) {
    SCOPED_TRACE(pack ? "packed" : "plain");
    const std::string text = "\nclass A\r\n{\r\n};";
    Put("p.gs", text);
    Put("p.gse", GseOf(text));
    const char* name = pack ? "p.gse" : "p.gs";

    GSSourceFile without;
    ASSERT_TRUE(without.Load(nullptr, name));
    const u32 plainId = SourceIdOf(without);

    // A prefix with its own CR LF, ending in CR before the source's LF: the two stay apart.
    GSSourceFile::SetPendingPrefix(Qel::PString("include \"x.gs\"\r\n//\r"));
    GSSourceFile with;
    ASSERT_TRUE(with.Load(nullptr, name));
    EXPECT_EQ(TextOf(with), "include \"x.gs\"\n//\n\nclass A\n{\n};");
    EXPECT_EQ(with.GetPrefixLength(), 18u);
    EXPECT_EQ(SourceIdOf(with), plainId);
    EXPECT_TRUE(GSSourceFile::GetPendingPrefix().IsEmpty());

    GSSourceFile next;
    ASSERT_TRUE(next.Load(nullptr, name));
    EXPECT_EQ(next.GetPrefixLength(), 0u);
    EXPECT_EQ(TextOf(next), "\nclass A\n{\n};");
  }
}

TEST_F(GSSourceFileTest, LoadRefusesWhatItCannotRead) {
  Put("a.txt", "class A { };");
  Put("dir.gs/keep", "");
  GSSourceFile f;
  for (const char* name :
       {"a.txt", "missing.gs", "missing.gse", "dir.gs", "", (const char*)nullptr})
    EXPECT_FALSE(f.Load(nullptr, name)) << (name ? name : "(null)");

  // Above 64 MiB a plain source is refused before anything is read (a sparse file).
  Put("huge.gs", "");
  ASSERT_EQ(::truncate(P("huge.gs").c_str(), 0x4000001), 0);
  EXPECT_FALSE(f.Load(nullptr, "huge.gs"));
  ASSERT_EQ(::truncate(P("huge.gs").c_str(), 0), 0);
  EXPECT_TRUE(f.Load(nullptr, "huge.gs"));
  EXPECT_STREQ(f.GetText(), "");
}

TEST_F(GSSourceFileTest, SaveResolvesInTheRootAndRefusesOtherExtensionsAndEmptyTexts) {
  Put("content/scripts/a.gs", "class A { };\r\n");
  Put("b.gs", std::string(5000, 'x'));
  GSSourceFile f;
  ASSERT_TRUE(f.Load(P("content").c_str(), "scripts/a.gs"));
  EXPECT_EQ(TextOf(f), "class A { };\n");
  ASSERT_TRUE(f.Save(P("content").c_str(), "scripts/a.gse"));
  EXPECT_TRUE(Has("content/scripts/a.gse"));
  EXPECT_FALSE(Has("scripts/a.gse"));
  EXPECT_FALSE(f.Save(nullptr, "a.txt"));
  EXPECT_FALSE(Has("a.txt"));
  ASSERT_TRUE(f.Save(nullptr, "b.gs"));  // an existing target is replaced
  EXPECT_EQ(Slurp("b.gs"), "class A { };\n");

  // A packed file announcing length 0 cannot be read back, so none is written.
  Put("empty.gs", "");
  GSSourceFile empty;
  ASSERT_TRUE(empty.Load(nullptr, "empty.gs"));
  EXPECT_FALSE(empty.Save(nullptr, "empty.gse"));
  EXPECT_FALSE(Has("empty.gse"));
  EXPECT_FALSE(empty.IsPacked());
  EXPECT_TRUE(empty.Save(nullptr, "copy.gs"));
  EXPECT_EQ(Slurp("copy.gs"), "");
}

TEST_F(GSSourceFileTest, ShortWriteLeavesNoPartialFile) {
  // Letters from a pseudo-random sequence, so the packed form stays well above the limit.
  std::string text;
  u32 x = 12345;
  for (int i = 0; i < 4000; ++i) {
    x = x * 1103515245u + 12345u;
    text += char('a' + (x >> 16) % 26);
  }
  Put("big.gs", text);
  GSSourceFile f;
  ASSERT_TRUE(f.Load(nullptr, "big.gs"));
  {
    FileSizeLimit limit(1000);
    EXPECT_FALSE(f.Save(nullptr, "big-copy.gs"));
    EXPECT_FALSE(f.Save(nullptr, "big.gse"));
  }
  EXPECT_FALSE(Has("big-copy.gs"));
  EXPECT_FALSE(Has("big.gse"));
  // The object is still usable once the disk has room again.
  EXPECT_TRUE(f.Save(nullptr, "big.gse"));
  GSSourceFile back;
  ASSERT_TRUE(back.Load(nullptr, "big.gse"));
  EXPECT_EQ(TextOf(back), text);
}

}  // namespace
