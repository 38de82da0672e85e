#include "qel/file_find.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "qel/qel_test_folder.h"

namespace {

namespace fs = std::filesystem;
using Qel::File;
using qel_test::Names;

class FileFindTest : public qel_test::QelTestFolder {
 protected:
  static Names List(File::Find&& find) {
    EXPECT_TRUE(find.Ok());
    Names names;
    while (find.Next()) names.push_back(find.GetName().Std());
    return names;
  }
};

TEST_F(FileFindTest, SortedByNameWithoutRegardToCaseDotsFirst) {
  for (const char* n : {"b", "A", "c", "!bang", "_u", "B2", "a1", "X", "x"})
    Put("d/" + std::string(n));
  File::Find find(P("d").c_str());
  EXPECT_EQ(find.Count(), 11u);
  EXPECT_EQ(List(std::move(find)),
            (Names{".", "..", "!bang", "A", "a1", "b", "B2", "c", "X", "x", "_u"}));
}

TEST_F(FileFindTest, Patterns) {
  for (const char* n : {"a.txt", "B.TXT", "c.dat", "noext", "ab.txt", "x.texture.txt"}) {
    Put("d/" + std::string(n));
  }
  const char* d = "d";
  EXPECT_EQ(List(File::Find(P(d).c_str(), "*.txt")),
            (Names{"a.txt", "ab.txt", "B.TXT", "x.texture.txt"}));
  EXPECT_EQ(List(File::Find(P(d).c_str(), "?.TXT")), (Names{"a.txt", "B.TXT"}));
  EXPECT_EQ(List(File::Find(P(d).c_str(), "*.*")).size(), 8u);          // every name, even "noext"
  // A folder's own name is never a pattern: its '*' and '?' are characters of it.
  Put("d/*.dat/inner");
  EXPECT_EQ(List(File::Find(P("D/*.dat").c_str())), (Names{".", "..", "inner"}));
  EXPECT_FALSE(File::Find(P("D/?.dat").c_str()).Ok());  // no folder of that name

  const struct {
    const char *pattern, *name;
    bool match;
  } cases[] = {
      {"*", ".", true},           {"*.txt", "a.txt.bak", false},
      {"?", "ab", false},         {"a?c", "AbC", true},
      {"a*b*c", "aXXbYYc", true}, {"a*b*c", "aXXbYY", false},
      {"**a", "bba", true},       {"", "a", false},
      {"*x", "xxxx", true},       {nullptr, "n", true},
      {"*", nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(File::Find::MatchPattern(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
  }
  const std::string many(4000, 'a');  // backtracking stays linear per star
  EXPECT_FALSE(File::Find::MatchPattern("*a*a*a*a*a*a*a*a*b", many.c_str()));
}

TEST_F(FileFindTest, KindsAndSizesWithoutFollowingLinks) {
  Put("d/file.bin", "12345");
  fs::create_directories(P("d/Sub"));
  Put("out/big", std::string(100, 'x'));
  fs::create_directory_symlink(P("out"), P("d/dirlink"));
  fs::create_symlink(P("out/big"), P("d/filelink"));
  fs::create_symlink(P("nothing"), P("d/dangling"));

  File::Find find(P("d").c_str());
  std::string seen;
  while (find.Next()) {
    seen += find.GetName().Std() + (find.IsFolder() ? "/" : "") + (find.IsLink() ? "@" : "") +
            std::to_string(find.GetSize()) + " ";
  }
  EXPECT_EQ(seen, "./0 ../0 dangling@0 dirlink@0 file.bin5 filelink@100 Sub/0 ");
  EXPECT_FALSE(find.Next());
  EXPECT_EQ(find.GetName(), "");
}

TEST_F(FileFindTest, FolderResolvesOrReportsNotOk) {
  Put("Content/Assets/one");
  File::Subst("vault", P("Content").c_str());
  EXPECT_EQ(List(File::Find("VAULT/assets")), (Names{".", "..", "one"}));
  File::Subst("vault", nullptr);

  const std::string cwd = File::GetCwd().Std();
  ASSERT_TRUE(File::SetCwd(P("content/assets").c_str()));
  EXPECT_EQ(List(File::Find("", "o*")), (Names{"one"}));
  EXPECT_EQ(List(File::Find(nullptr, nullptr)).size(), 3u);
  ASSERT_TRUE(File::SetCwd(cwd.c_str()));

  for (const std::string& folder : {P("missing"), P("Content/Assets/one"), std::string("C:\\W")}) {
    File::Find find(folder.c_str());
    EXPECT_FALSE(find.Ok()) << folder;
    EXPECT_EQ(find.Count(), 0u);
    EXPECT_FALSE(find.Next());
  }
}

// One reading answers for every name, in any case, as path resolution would find it; a folder
// that cannot be read, or a name never there, answers no.
TEST_F(FileFindTest, NamesAnswerWithoutRegardToCase) {
  Put("Content/Local.QA");
  Put("Content/trash/x");
  const File::Names names(P("content").c_str());
  for (const char* there : {"local.qa", "LOCAL.QA", "Local.QA", "Trash"}) {
    EXPECT_TRUE(names.Contains(there)) << there;
  }
  for (const char* absent : {"local", "cache.qa", "", "x"}) {
    EXPECT_FALSE(names.Contains(absent)) << absent;
  }
  EXPECT_FALSE(names.Contains(nullptr));
  for (const std::string& folder : {P("missing"), P("Content/Local.QA"), std::string("C:\\W")}) {
    EXPECT_FALSE(File::Names(folder.c_str()).Contains("x")) << folder;
  }
}

}  // namespace
