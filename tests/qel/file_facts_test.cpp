#include "qel/file_facts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include <unistd.h>

#include "qel/file.h"
#include "qel/qel_test_folder.h"

namespace {

using Qel::File;

class FileFactsTest : public qel_test::QelTestFolder {
 public:
  // For the changes of the table below.
  using QelTestFolder::P;
  using QelTestFolder::Put;

 protected:
  bool Listed(const std::string& folder, const std::string& name) const {
    File::Find find(P(folder).c_str());
    while (find.Next()) {
      if (find.GetName() == name.c_str()) return true;
    }
    return false;
  }
  bool Exists(const std::string& rel) const { return File::Exists(P(rel).c_str()); }
};

// What a scope learnt stands until the scope ends, unless the change went through the file
// layer (or the caller says so); after the scope every change is seen.
TEST_F(FileFactsTest, ChangesAreSeenAsTheirWayAndTheScopeSay) {
  struct Case {
    const char* name;
    std::function<void(FileFactsTest&)> change;
    bool seenInScope;
  };
  const Case cases[] = {
      {"created past the layer", [](FileFactsTest& t) { t.Put("d/New.txt"); }, false},
      {"created past the layer, then forgotten",
       [](FileFactsTest& t) {
         t.Put("d/New.txt");
         Qel::ForgetFileFacts();
       },
       true},
      {"created through the layer",
       [](FileFactsTest& t) {
         File file;
         ASSERT_EQ(file.Open(t.P("d/New.txt").c_str(), File::kModeCreate | File::kModeWrite), 0);
       },
       true},
      {"renamed through the layer",
       [](FileFactsTest& t) {
         t.Put("d/other.txt");
         ASSERT_TRUE(File::Rename(t.P("d/other.txt").c_str(), t.P("d/New.txt").c_str()));
       },
       true},
      {"folder made through the layer",
       [](FileFactsTest& t) { ASSERT_TRUE(File::MakeTree(t.P("d/New.txt").c_str())); }, true},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(P("d"));
    Put("d/old.txt");
    {
      const Qel::FileFactsScope scope;
      EXPECT_FALSE(Exists("d/new.txt")) << c.name;
      EXPECT_FALSE(Listed("d", "New.txt")) << c.name;
      {
        // An inner scope shares the facts and leaves them to the outer one.
        const Qel::FileFactsScope inner;
        c.change(*this);
      }
      EXPECT_EQ(Exists("d/new.txt"), c.seenInScope) << c.name;
      EXPECT_EQ(Listed("d", "New.txt"), c.seenInScope) << c.name;
      EXPECT_TRUE(Exists("d/old.txt")) << c.name;
    }
    EXPECT_TRUE(Exists("d/new.txt")) << c.name;
    EXPECT_TRUE(Listed("d", "New.txt")) << c.name;
  }
}

// A file's contents are kept like its status: read once a scope, read again after a change
// through the layer; a link is never taken for what it points at, nor the other way round.
TEST_F(FileFactsTest, ContentsAndLinksFollowTheSameRules) {
  struct Case {
    const char* name;
    bool throughLayer;
    const char* seenInScope;
  };
  const Case cases[] = {
      {"rewritten past the layer", false, "old"},
      {"rewritten through the layer", true, "new!"},
  };
  for (const Case& c : cases) {
    Put("d/text.txt", "old");
    std::string read;
    {
      const Qel::FileFactsScope scope;
      ASSERT_TRUE(Qel::ReadWholeFile(P("d/text.txt").c_str(), 100, &read)) << c.name;
      EXPECT_EQ(read, "old") << c.name;
      if (c.throughLayer) {
        File file;
        ASSERT_EQ(file.Open(P("d/text.txt").c_str(), File::kModeCreate | File::kModeWrite), 0);
        ASSERT_EQ(file.Write("new!", 4), 4u);
      } else {
        Put("d/text.txt", "new!");
      }
      ASSERT_TRUE(Qel::ReadWholeFile(P("d/text.txt").c_str(), 100, &read)) << c.name;
      EXPECT_EQ(read, c.seenInScope) << c.name;
      // The limit holds for kept contents too.
      EXPECT_FALSE(Qel::ReadWholeFile(P("d/text.txt").c_str(), 2, &read)) << c.name;
      // An open file's length is the one its open found.
      File open;
      ASSERT_EQ(open.Open(P("d/text.txt").c_str(), File::kModeRead), 0) << c.name;
      Put("d/text.txt", "new!+more");
      EXPECT_EQ(open.GetLength(), 4u) << c.name;
      Put("d/text.txt", "new!");
    }
    ASSERT_TRUE(Qel::ReadWholeFile(P("d/text.txt").c_str(), 100, &read)) << c.name;
    EXPECT_EQ(read, "new!") << c.name;
  }

  Put("d/folder/inside.txt");
  std::filesystem::create_symlink(P("d/folder"), P("d/link"));
  const Qel::FileFactsScope scope;
  struct stat st {};
  ASSERT_TRUE(Qel::file_facts::Lstat(P("d/link"), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_TRUE(Qel::file_facts::Stat(P("d/link"), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(File::IsFolder(P("d/link").c_str()));
}

// A resolution is kept like any fact, but a substitution registered meanwhile, on any thread,
// is seen at once.
TEST_F(FileFactsTest, ASubstitutionMadeMeanwhileIsSeen) {
  Put("d/inside.txt");
  const Qel::FileFactsScope scope;
  const std::string alias = "facts-test-alias-" + std::to_string(::getpid());
  const std::string viaAlias = alias + "/inside.txt";
  EXPECT_FALSE(File::Exists(viaAlias.c_str()));
  File::Subst(Qel::PString(alias.c_str()), P("d").c_str());
  EXPECT_TRUE(File::Exists(viaAlias.c_str()));
  File::Subst(Qel::PString(alias.c_str()), nullptr);
  EXPECT_FALSE(File::Exists(viaAlias.c_str()));
}

// Without a scope nothing is kept: every question is asked anew.
TEST_F(FileFactsTest, NothingIsKeptWithoutAScope) {
  Put("d/old.txt");
  EXPECT_FALSE(Exists("d/new.txt"));
  EXPECT_FALSE(Listed("d", "New.txt"));
  Put("d/New.txt");
  EXPECT_TRUE(Exists("d/new.txt"));
  EXPECT_TRUE(Listed("d", "New.txt"));
  EXPECT_EQ(Qel::file_facts::Generation(), 0u);
}

}  // namespace
