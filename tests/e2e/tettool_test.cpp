// Runs the built tettool over the shipped validation data and over asset folders made for the
// test, and checks what it prints and how it exits.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/command_run.h"
#include "support/scratch_folder.h"

namespace {

constexpr const char* kRepoData = KESTRO_TEST_DATA_DIR "/../../data";

// Arguments are single words without quotes or shell characters.
kestro_test::CommandRun RunTettool(const std::string& args) {
  return kestro_test::RunCommand(std::string(KESTRO_BINARY_DIR) + "/tettool " + args +
                                 " 2>/dev/null");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& want) {
  for (const std::string& line : lines) {
    if (line == want) return true;
  }
  return false;
}

TEST(Tettool, PrintsTheShippedDefinitionsAndLists) {
  const kestro_test::CommandRun r = RunTettool(std::string("defs ") + kRepoData + "/TETData");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind("definitions: ", 0), 0u);
  // Every kind the demo and the tests use, each a definition of its own at the top level, in
  // merge order: the inherited bases first, the containers last.
  size_t previous = 0;
  for (const char* name :
       {"asset-base", "mesh-base", "scenery", "mesh", "texture", "library", "traincar", "bogey",
        "interior", "track", "bridge", "mesh-table", "bogey-entry"}) {
    size_t at = 0;
    while (at < lines.size() && lines[at] != name) ++at;
    ASSERT_LT(at, lines.size()) << name;
    EXPECT_GT(at, previous) << name;
    previous = at;
  }
  EXPECT_TRUE(HasLine(lines, "lists: 2"));
  EXPECT_TRUE(HasLine(lines, "list category-era: 24"));
  EXPECT_TRUE(HasLine(lines, "  1800s"));
}

TEST(Tettool, DefinitionsOfAnEmptyOrMissingFolderFail) {
  scratch::Folder dir;
  EXPECT_EQ(RunTettool("defs " + dir.path()).exitCode, 1);
  EXPECT_EQ(RunTettool("defs " + dir.At("missing")).exitCode, 1);
  EXPECT_EQ(RunTettool("defs").exitCode, 2);
  EXPECT_EQ(RunTettool("textures --outside").exitCode, 2);
}

TEST(Tettool, PrintsTheTextureFindingsOfAnAsset) {
  scratch::Folder dir;
  // A 4 x 4 and a 4 x 2 grey TGA.
  auto tga = [](int w, int h) {
    std::string bytes(18, '\0');
    bytes[2] = 3;
    bytes[12] = char(w);
    bytes[14] = char(h);
    bytes[16] = 8;
    return bytes + std::string(size_t(w * h), '\x7f');
  };
  dir.Put("asset/config.txt", "kind \"texture\"\nkestro-build 2.8\n");
  dir.Put("asset/good.tga", tga(4, 4));
  dir.Put("asset/half.tga", tga(4, 2));
  dir.Put("asset/good.texture.txt", "Primary=good.tga\r\nAlpha=half.tga\r\n");
  dir.Put("asset/textures/escape.texture.txt", "Primary=../../outside.tga\n");
  dir.Put("outside.tga", tga(4, 4));
  dir.Put("asset/old.texture", "");

  kestro_test::CommandRun r =
      RunTettool("textures --data " + std::string(kRepoData) + "/data " + dir.At("asset"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            "error: The images of 'good.texture.txt' differ in size.\n"
            "warning: The compiled texture 'old.texture' has no texture description beside it.\n"
            "error: The image 'textures/../../outside.tga' named by "
            "'textures/escape.texture.txt' does not exist.\n"
            "2 errors, 1 warnings\n");

  // The build given outright, checked as outside the editing and base folders.
  r = RunTettool("textures --build 3.5 --outside " + dir.At("asset"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("error: $tet_duplicatetexture 'old.texture'\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("error: $tet_binary_texture_conversion_failed 'good.texture.txt'\n"),
            std::string::npos)
      << r.out;

  dir.Put("clean/a.texture.txt", "Primary=a.tga\n");
  dir.Put("clean/a.tga", tga(4, 4));
  r = RunTettool("textures " + dir.At("clean"));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "0 errors, 0 warnings\n");
}

}  // namespace
