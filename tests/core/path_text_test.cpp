#include "core/path_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PathTextTest, NormalizePath) {
  // '/' is the separator here, so it is what remains.
  for (auto [in, out] : {std::pair{"D:/Assets/", "d:/assets"},
                         {"D:\\Assets\\", "d:/assets"},
                         {"/", "/"},
                         {"/Data/./Sub//N.TXT", "/data/sub/n.txt"}}) {
    Qel::File::Path path(in);
    NormalizePath(path);
    EXPECT_STREQ(path.CStr(), out) << in;
  }
}

TEST(PathTextTest, NameClassifiers) {
  for (const char* p : {"/x", "\\\\server\\share", "C:\\x", "c:/"}) EXPECT_TRUE(IsAbsolutePath(p));
  for (const char* p : {"C:x", "C:", "1:/x", "rel/x", "", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(IsAbsolutePath(p)) << (p ? p : "null");
  }
  EXPECT_TRUE(IsDotOrDotDot(".") && IsDotOrDotDot(".."));
  EXPECT_FALSE(IsDotOrDotDot("...") || IsDotOrDotDot(".x") || IsDotOrDotDot(nullptr));
  EXPECT_TRUE(IsTextureTxtFile("a/b.texture.txt") && IsTextureTxtFile("B.TEXTURE.TXT"));
  EXPECT_FALSE(IsTextureTxtFile("texture.txt") || IsTextureTxtFile("b.texture.txt.bak") ||
               IsTextureTxtFile(nullptr));
  EXPECT_TRUE(IsPowerOfTwo(0) && IsPowerOfTwo(1) && IsPowerOfTwo(0x80000000u));
  EXPECT_FALSE(IsPowerOfTwo(6) || IsPowerOfTwo(0xFFFFFFFFu));
  EXPECT_TRUE(MatchPrefixIgnoreCase("<KUID2:", "<kuid2:12:34:5>") &&
              MatchPrefixIgnoreCase("?B", "ab"));
  EXPECT_FALSE(MatchPrefixIgnoreCase("<KUID2:", "<KUI") ||
               MatchPrefixIgnoreCase("<KUID:", "<KUID2:") ||
               MatchPrefixIgnoreCase("[", "{") ||  // only letters fold
               MatchPrefixIgnoreCase("x", nullptr));
}

TEST(PathTextTest, ResolveFileExtension) {
  struct Case {
    const char* type;
    const char* path;
    bool ok;
    const char* out;
  } cases[] = {
      {".bin", "x.txt", true, "bin"},  {nullptr, "a/soup.TXT", true, "TXT"},
      {"", "noext", false, ""},        {"", "dir.v2/noext", false, ""},  // a folder's dot
      {"", "d.x\\f.bin", true, "bin"}, {"", nullptr, false, ""},
  };
  for (const Case& c : cases) {
    const char* type = c.type;
    EXPECT_EQ(ResolveFileExtension(type, c.path), c.ok) << (c.path ? c.path : "null");
    EXPECT_STREQ(type, c.out) << (c.path ? c.path : "null");
  }
}

TEST(PathTextTest, LowerCase) {
  char text[] = "AbC-\xC4Z";
  EXPECT_TRUE(ToLowerAsciiInPlace(text, sizeof text));
  EXPECT_STREQ(text, "abc-\xC4z");
  char cut[] = "ABCDEF";
  EXPECT_FALSE(ToLowerAsciiInPlace(cut, 4));
  EXPECT_EQ(std::memcmp(cut, "abc\0EF", 7), 0);
  char guard[] = "XY";
  EXPECT_FALSE(ToLowerAsciiInPlace(guard + 1, 0));  // writes nothing, not even before the buffer
  EXPECT_STREQ(guard, "XY");

  Qel::PString s("MiXeD/Path");
  Qel::PString empty;
  EXPECT_TRUE(ToLowerAscii(s) && ToLowerAscii(empty));
  EXPECT_EQ(s, Qel::PString("mixed/path"));
  EXPECT_TRUE(empty.IsEmpty());
}

}  // namespace
