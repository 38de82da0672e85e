#include "assetdata/soup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "assetdata/soup_binary.h"
#include "assetdata/soup_bytes.h"
#include "support/file_size_limit.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

using scratch::ReadAll;

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

using soupbytes::NamesOf;

Soup Values() {
  Soup s;
  s.SetNamedInt("int", 42);
  s.SetNamedFloat("float", 2.9f);
  s.SetNamedTag("text", "42");
  s.SetNamedTag("bad", "4x2");
  s.SetNamedTag("nokuid", "hello");
  s.SetNamedKUID("kuid", KUID(5, 6, 0));
  s.SetNamedNull("null");
  s.SetNamedTag("empty", Qel::PString());
  s.GetRoot()->AddChild(
      "ints",
      s.GetRoot()->CreateTag(kKindInt, ACSRawDataCore::CreateCopy("\1\0\0\0\2\0\0\0\3\0\0\0", 12)));
  Soup box;
  box.SetNamedInt("x", 1);
  s.SetNamedSoup("box", box);
  return s;
}

TEST(SoupGetterTest, ConversionsAndFallbacks) {
  const Soup s = Values();
  const KUID def(9, 9, 9);
  EXPECT_EQ(s.GetNamedTagAsInt("int", -1), 42);
  EXPECT_EQ(s.GetNamedTagAsInt("ints", -1), -1);  // two or more values: the default
  EXPECT_EQ(s.GetNamedTagAsInt("float", -1), 2);
  EXPECT_EQ(s.GetNamedTagAsInt("text", -1), 42);
  EXPECT_EQ(s.GetNamedTagAsInt("bad", -1), -1);
  EXPECT_EQ(s.GetNamedTagAsInt("empty", -1), -1);
  EXPECT_EQ(s.GetNamedTagAsInt("missing", -1), -1);
  EXPECT_EQ(s.GetNamedTagAsInt("box", -1), -1);
  EXPECT_FLOAT_EQ(s.GetNamedTagAsFloat("null", 7.5f), 7.5f);
  EXPECT_TRUE(s.GetNamedTagAsBool("int", false));
  EXPECT_TRUE(s.GetNamedTagAsBool("missing", true));
  EXPECT_FALSE(s.GetNamedTagAsBool("bad", false));
  EXPECT_EQ(s.GetNamedTagAsKUID("kuid", def), KUID(5, 6, 0));
  EXPECT_EQ(s.GetNamedTagAsKUID("nokuid", def), KUID());  // names no KUID: null, not default
  EXPECT_EQ(s.GetNamedTagAsKUID("missing", def), def);
  EXPECT_EQ(s.GetNamedTag("box"), Qel::PString());
  EXPECT_EQ(s.GetNamedTag("ints"), Qel::PString("1,2,3"));
  EXPECT_EQ(s.GetNamedTag("kuid"), Qel::PString("<kuid:5:6>"));
  EXPECT_EQ(s.GetNamedTag("float"), Qel::PString("2.9"));

  // A null tag is counted and listed, but absent by name.
  EXPECT_FALSE(s.HasNamedTag("null"));
  EXPECT_TRUE(s.HasNamedTag("empty"));
  EXPECT_EQ(s.CountTags(), 10u);
  EXPECT_EQ(s.GetIndexedTagName(6), Qel::PString("null"));
  EXPECT_TRUE(s.GetIndexedTagName(10).IsEmpty());
  EXPECT_EQ(s.GetIndexedSoup(9).GetNamedTagAsInt("x", 0), 1);
  EXPECT_TRUE(s.GetIndexedSoup(0).IsNull());

  // Everything on the empty soup gives its fallback.
  const Soup none;
  EXPECT_EQ(none.GetNamedTagAsInt("int", 3), 3);
  EXPECT_EQ(none.GetNamedTagAsKUID("k", def), def);
  EXPECT_TRUE(none.GetNamedSoup("x").IsNull());
}

TEST(SoupSetterTest, ReplacingMovesToTheEnd) {
  Soup s;
  s.SetNamedInt("a", 1);
  s.SetNamedInt("b", 2);
  s.SetNamedTag("a", "x");
  EXPECT_EQ(NamesOf(s), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(s.GetNamedTagKind("a"), kKindText);

  FloatArray none;
  s.SetNamedFloatArray("b", none);
  EXPECT_EQ(NamesOf(s), (std::vector<std::string>{"a"}));
  s.SetNamedBool("flag", true);
  EXPECT_EQ(s.GetNamedTagKind("flag"), kKindInt);
  EXPECT_EQ(s.GetNamedTagAsInt("flag", 0), 1);
  s.RemoveNamedTag("a");
  s.RemoveNamedTag("nothing");
  EXPECT_EQ(NamesOf(s), (std::vector<std::string>{"flag"}));

  Soup u;
  for (const char* n : {"0", "1", "3"}) u.SetNamedInt(n, 0);
  EXPECT_EQ(u.GetUniqueTagName(), Qel::PString("2"));
  EXPECT_EQ(Soup().GetUniqueTagName(), Qel::PString("0"));

  // A value root ignores the setters.
  Soup value = Soup::FromChunk(MakeMP<TDBDataTag>(kKindInt, nullptr));
  value.SetNamedInt("a", 1);
  EXPECT_EQ(value.CountTags(), 0u);
  EXPECT_EQ(value.GetRoot()->GetKind(), kKindInt);
  EXPECT_TRUE(Soup::FromChunk(MakeMP<TDBDataTag>(kKindNull, nullptr)).GetRoot() == nullptr);
  EXPECT_TRUE(Soup::FromChunk(ACSChunk::GetNullChunk()).GetRoot() == nullptr);
}

// A large container finds names through an index; every change that moves entries must leave a
// name's first entry the one found, as in a small container.
TEST(SoupSetterTest, ALargeContainerFindsTheFirstOfEachNameAfterEveryChange) {
  Soup s;
  for (int i = 0; i < 100; ++i) s.SetNamedInt(Qel::PString(std::to_string(i)), i);
  for (int i = 0; i < 100; i += 7) {
    s.GetRoot()->AddChild(Qel::PString(std::to_string(i)),
                          s.GetRoot()->CreateTag(kKindText, ACSRawDataCore::CreateCopy("d", 2)));
  }
  const auto value = [&](int name) {
    return s.GetNamedTagAsInt(Qel::PString(std::to_string(name)), -1);
  };
  EXPECT_EQ(value(43), 43);
  EXPECT_EQ(value(100), -1);
  s.SetNamedInt("43", 7);  // replaced: moves to the end
  EXPECT_EQ(value(43), 7);
  EXPECT_EQ(NamesOf(s).back(), "43");
  s.RemoveNamedTag("14");  // the duplicate text after it is found now
  EXPECT_EQ(s.GetNamedTagKind("14"), kKindText);
  EXPECT_EQ(value(15), 15);
  s.GetRoot()->SortChildren();
  EXPECT_EQ(NamesOf(s).front(), "0");
  EXPECT_EQ(value(43), 7);
  EXPECT_EQ(value(99), 99);
  EXPECT_EQ(s.CountTags(), 100u + 15u - 1u);
}

TEST(SoupSetterTest, ChildSoupsAreSharedAndNeverCyclic) {
  Soup parent;
  Soup child;
  EXPECT_TRUE(parent.SetNamedSoup("c", child));
  child.SetNamedInt("v", 3);  // the empty child became a container shared by both handles
  EXPECT_EQ(parent.GetNamedSoup("c").GetNamedTagAsInt("v", 0), 3);
  parent.GetNamedSoup("c").SetNamedInt("w", 4);
  EXPECT_EQ(child.GetNamedTagAsInt("w", 0), 4);

  EXPECT_FALSE(parent.SetNamedSoup("self", parent));
  EXPECT_FALSE(child.SetNamedSoup("up", parent));
  Soup grandchild = child.GetContainer();
  EXPECT_FALSE(parent.GetNamedSoup("c").SetNamedSoup("loop", parent));
  EXPECT_EQ(NamesOf(parent), (std::vector<std::string>{"c"}));
  EXPECT_EQ(NamesOf(child), (std::vector<std::string>{"v", "w"}));

  // Replacing a tag by the very soup it holds keeps it.
  Soup same = parent.GetNamedSoup("c");
  EXPECT_TRUE(parent.SetNamedSoup("c", same));
  EXPECT_EQ(parent.GetNamedSoup("c").GetNamedTagAsInt("v", 0), 3);

  parent.RemoveTag(child);
  EXPECT_EQ(parent.CountTags(), 0u);
  parent.RemoveTag(Soup());
}

TEST(SoupSetterTest, CopyIsDeepAndIndependent) {
  Soup source = Values();
  Soup copy;
  copy.SetNamedInt("old", 1);
  copy.Copy(source);
  EXPECT_EQ(NamesOf(copy), NamesOf(source));
  copy.GetNamedSoup("box").SetNamedInt("x", 2);
  copy.SetNamedInt("int", 0);
  EXPECT_EQ(source.GetNamedSoup("box").GetNamedTagAsInt("x", 0), 1);
  EXPECT_EQ(source.GetNamedTagAsInt("int", 0), 42);

  Soup empty;
  empty.Copy(Soup());
  EXPECT_FALSE(empty.GetRoot() == nullptr);
  EXPECT_EQ(empty.CountTags(), 0u);
  copy.Copy(copy);
  EXPECT_EQ(NamesOf(copy).size(), NamesOf(source).size());
}

TEST(SoupFileTest, BinaryRoundTripKeepsOrderAndValues) {
  scratch::Folder dir;
  Soup s = Values();
  s.GetRoot()->AddChild(
      "int", s.GetRoot()->CreateTag(kKindInt, ACSRawDataCore::CreateCopy("\7\0\0\0", 4)));
  s.GetRoot()->AddChild("raw",
                        s.GetRoot()->CreateTag(kKindRaw, ACSRawDataCore::CreateCopy("\0\xFF", 2)));
  for (const char* ext : {"chump", "cdp", "CDP2"}) {
    const std::string path = dir.At(std::string("x.") + ext);
    ASSERT_TRUE(s.SaveFile(nullptr, path.c_str(), nullptr)) << ext;
    Soup back;
    ASSERT_TRUE(back.LoadFile(nullptr, path.c_str(), nullptr)) << ext;
    EXPECT_EQ(soupbytes::Write(back), soupbytes::Write(s)) << ext;
  }
  // A type given explicitly wins over the extension, with or without its dot.
  const std::string odd = dir.At("odd.txt");
  ASSERT_TRUE(s.SaveFile("", odd.c_str(), ".chump"));
  EXPECT_EQ(ReadAll(odd).substr(0, 4), "ACS$");
  Soup back;
  ASSERT_TRUE(back.LoadFile(nullptr, odd.c_str(), "chump"));
  EXPECT_EQ(back.CountTags(), s.CountTags());
  // No temporary file is left behind.
  EXPECT_EQ(dir.Names().size(), 4u);
}

TEST(SoupFileTest, FormsByExtension) {
  scratch::Folder dir;
  Soup s;
  s.SetNamedInt("number", 12);
  const std::string text = dir.At("config.TXT");
  ASSERT_TRUE(s.SaveFile(nullptr, text.c_str(), nullptr));
  EXPECT_EQ(ReadAll(text).substr(0, 3), "\xEF\xBB\xBF");
  Soup back;
  ASSERT_TRUE(back.LoadFile(nullptr, text.c_str(), nullptr));
  EXPECT_EQ(back.GetNamedTagAsInt("number", 0), 12);

  const std::string dat = dir.At("x.dat");
  WriteAll(dat, "number 1\n");
  Soup keep;
  keep.SetNamedInt("kept", 1);
  EXPECT_FALSE(keep.LoadFile(nullptr, dat.c_str(), nullptr));
  EXPECT_EQ(keep.GetNamedTagAsInt("kept", 0), 1);  // not read
  EXPECT_FALSE(s.SaveFile(nullptr, dir.At("y.dat").c_str(), nullptr));
  EXPECT_FALSE(fs::exists(dir.At("y.dat")));
  EXPECT_FALSE(s.SaveFile(nullptr, dir.At("noext").c_str(), nullptr));
  EXPECT_FALSE(keep.LoadFile(nullptr, dir.At("missing.txt").c_str(), nullptr));

  const std::string damaged = dir.At("bad.chump");
  WriteAll(damaged,
           "ACS$" + std::string("\1\0\0\0\0\0\0\0\x08\0\0\0", 12) + "\xFF\xFF\xFF\xFF" + "abcd");
  ASSERT_TRUE(keep.LoadFile(nullptr, damaged.c_str(), nullptr));
  EXPECT_TRUE(keep.IsNull());
}

TEST(SoupFileTest, FailedSaveKeepsTheOldFile) {
  scratch::Folder dir;
  const std::string path = dir.At("keep.chump");
  Soup good;
  good.SetNamedInt("a", 1);
  ASSERT_TRUE(good.SaveFile(nullptr, path.c_str(), nullptr));
  const std::string before = ReadAll(path);

  // A tree the format cannot hold: nesting beyond the limit.
  EXPECT_FALSE(soupbytes::Nested(kMaxSoupDepth + 1).SaveFile(nullptr, path.c_str(), nullptr));
  EXPECT_EQ(ReadAll(path), before);
  // A folder that does not exist.
  EXPECT_FALSE(good.SaveFile(nullptr, dir.At("no/such/x.chump").c_str(), nullptr));
  EXPECT_EQ(dir.Names().size(), 1u);

  // Writes that fail part way: a file-size limit below the soup's size.
  Soup big;
  big.SetNamedTag("text", Qel::PString(std::string(5000, 'x')));
  bool savedBinary = true;
  bool savedText = true;
  {
    FileSizeLimit limit(1000);
    savedBinary = big.SaveFile(nullptr, path.c_str(), nullptr);
    savedText = big.SaveFile(nullptr, dir.At("keep.txt").c_str(), nullptr);
  }
  EXPECT_FALSE(savedBinary);
  EXPECT_FALSE(savedText);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(dir.Names().size(), 1u);
}

TEST(SoupFileTest, LoadFileSafe) {
  scratch::Folder dir;
  const std::string path = dir.At("settings.txt");
  const std::string copy = dir.At("settings.tmp");

  // Only the temporary copy: loaded and renamed to the path.
  WriteAll(copy, "value 5\n");
  Soup s;
  ASSERT_TRUE(s.LoadFileSafe(Qel::PString(), path.c_str()));
  EXPECT_EQ(s.GetNamedTagAsInt("value", 0), 5);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_FALSE(fs::exists(copy));

  // Both: the file wins and the copy goes.
  WriteAll(copy, "value 6\n");
  ASSERT_TRUE(s.LoadFileSafe(Qel::PString(dir.path()), "settings.txt"));
  EXPECT_EQ(s.GetNamedTagAsInt("value", 0), 5);
  EXPECT_FALSE(fs::exists(copy));

  // Neither.
  EXPECT_FALSE(s.LoadFileSafe(Qel::PString(), dir.At("none.txt").c_str()));

  // A path that exists but cannot be read is never deleted.
  const std::string blocked = dir.At("blocked.txt");
  fs::create_directory(blocked);
  WriteAll(blocked + "/inside", "data");
  WriteAll(dir.At("blocked.tmp"), "value 7\n");
  ASSERT_TRUE(s.LoadFileSafe(Qel::PString(), blocked.c_str()));
  EXPECT_EQ(s.GetNamedTagAsInt("value", 0), 7);
  EXPECT_TRUE(fs::exists(blocked + "/inside"));
  EXPECT_TRUE(fs::exists(dir.At("blocked.tmp")));  // nothing to rename it over

  // A path whose extension is already "tmp" is not its own temporary copy.
  const std::string self = dir.At("self.tmp");
  WriteAll(self, "value 8\n");
  ASSERT_TRUE(s.LoadFileSafe(Qel::PString(), self.c_str()));
  EXPECT_TRUE(fs::exists(self));
}

}  // namespace
