#include "qel/file_path.h"

#include <gtest/gtest.h>

namespace {

using Path = Qel::File::Path;

struct Op {
  const char* in;
  const char* arg;
  const char* out;
};

TEST(FilePathTest, NameParts) {
  const struct {
    const char *in, *folder, *name, *ext, *base;
  } cases[] = {
      {"a/b/c.txt", "a/b/", "c.txt", "txt", "c"}, {"c.tar.gz", "", "c.tar.gz", "gz", "c.tar"},
      {"a.d/file", "a.d/", "file", "", "file"},   {"/x/.rc", "/x/", ".rc", "rc", ""},
      {"x/file.", "x/", "file.", "", "file"},     {"C:\\d\\f.PM", "C:/d/", "f.PM", "PM", "f"},
      {"C:f.im", "C:", "f.im", "im", "f"},
  };
  for (const auto& c : cases) {
    const Path p(c.in);
    EXPECT_EQ(p.GetFolder(), c.folder) << c.in;
    EXPECT_EQ(p.GetFileName(), c.name) << c.in;
    EXPECT_EQ(p.GetExtension(), c.ext) << c.in;
    EXPECT_EQ(p.GetBaseName(), c.base) << c.in;
  }
}

TEST(FilePathTest, DelNameAndPrevDir) {
  // in, after DelName, after PrevDir
  const Op cases[] = {
      {"/r/bin/Tool", "/r/bin/", "/r/bin/"},
      {"/r/bin/", "/r/bin/", "/r/"},
      {"a/", "a/", ""},
      {"/a", "/", "/"},
      {"..", "", "../../"},
      {"C:/d/", "C:/d/", "C:/"},
      {"C:/", "C:/", "C:/"},
  };
  for (const Op& c : cases) {
    EXPECT_STREQ(Path(c.in).DelName().CStr(), c.arg) << c.in;
    EXPECT_STREQ(Path(c.in).PrevDir().CStr(), c.out) << c.in;
  }
}

TEST(FilePathTest, IsExtAndChangeExtension) {
  const struct {
    const char* path;
    const char* ext;
    bool is;
  } tests[] = {
      {"a/b.GS", "gs", true},
      {"a/b.gse", "gs", false},
      {"a.gs/b", "gs", false},
      {"noext", "", true},
      {"x.texture.txt", "texture.txt", true},
      {"texture.txt", "texture.txt", false},
      {"a.txt", nullptr, false},
  };
  for (const auto& c : tests) EXPECT_EQ(Path(c.path).IsExt(c.ext), c.is) << c.path << c.ext;

  const Op changes[] = {
      {"a/b.gs", ".gse", "a/b.gse"}, {"a.d/b", "txt", "a.d/b.txt"},
      {"a/b.tar.gz", "", "a/b.tar"}, {"a/b/", "txt", "a/b/"},
      {"a/..", "txt", "a/.."},       {"s.texture", "convert-tex.txt", "s.convert-tex.txt"},
  };
  for (const Op& c : changes) EXPECT_STREQ(Path(c.in).ChangeExtension(c.arg).CStr(), c.out);
}

}  // namespace
