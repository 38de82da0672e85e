// Runs the built souptool on files in a temporary folder and checks its output, the files it
// writes and how it exits.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/command_run.h"
#include "support/scratch_folder.h"

namespace {

struct RunResult {
  std::string out;
  std::string err;
  int exitCode = -1;
};

class SouptoolTest : public ::testing::Test {
 protected:
  // The file of the folder as a word of the command line.
  std::string Path(const std::string& name) const { return kestro_test::ShellWord(dir_.At(name)); }

  RunResult Run(const std::string& args) const {
    const kestro_test::CommandRun run = kestro_test::RunCommand(
        std::string(KESTRO_BINARY_DIR) + "/souptool " + args + " 2>" + Path("err"));
    return {run.out, dir_.Read("err"), run.exitCode};
  }

  scratch::Folder dir_;
};

// The writer's layout: byte-order mark, values at column 40, CR LF.
const char kCanonical[] =
    "\xEF\xBB\xBF\r\n"
    "name                                    \"caf\xC3\xA9\"\r\n"
    "count                                   5\r\n"
    "\r\n"
    "box\r\n"
    "{\r\n"
    "  id                                    <kuid2:1:2:3>\r\n"
    "}\r\n";

TEST_F(SouptoolTest, ConvertsBothWaysAndPrintsEitherForm) {
  // No byte-order mark: the text is Windows-1252, so E9 reads as the UTF-8 bytes C3 A9.
  dir_.Put("in.txt", "name \"caf\xE9\"\ncount 5\nbox\n{\n  id <kuid2:1:2:3>\n}\n");
  RunResult r = Run("convert " + Path("in.txt") + " " + Path("mid.chump"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(dir_.Read("mid.chump").substr(0, 4), "ACS$");
  r = Run("convert " + Path("mid.chump") + " " + Path("out.TXT"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(dir_.Read("out.TXT"), kCanonical);
  r = Run("convert " + Path("mid.chump") + " " + Path("copy.cdp"));
  EXPECT_EQ(dir_.Read("copy.cdp"), dir_.Read("mid.chump"));
  for (const char* name : {"in.txt", "mid.chump", "out.TXT"}) {
    r = Run("print " + Path(name));
    EXPECT_EQ(r.exitCode, 0) << name;
    EXPECT_EQ(r.out, kCanonical) << name;
  }
}

TEST_F(SouptoolTest, FailuresExitNonZeroWithAMessage) {
  dir_.Put("in.txt", "a 1\n");
  dir_.Put("x.dat", "a 1\n");
  const std::string in = Path("in.txt");
  const struct {
    std::string args;
    int exitCode;
    const char* message;
  } cases[] = {
      {"convert " + Path("none.txt") + " " + Path("o.chump"), 1, "cannot read"},
      {"print " + Path("x.dat"), 1, "cannot read"},
      {"convert " + in + " " + Path("o.dat"), 1, "cannot write"},
      {"convert " + in + " " + Path("no/o.chump"), 1, "cannot write"},
      {"", 2, "usage:"},
      {"convert " + in, 2, "usage:"},
      {"kuid 5 --loose", 2, "usage:"},
  };
  for (const auto& c : cases) {
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.args;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.At("o.chump")));
  EXPECT_FALSE(std::filesystem::exists(dir_.At("o.dat")));
}

TEST_F(SouptoolTest, KuidShowsTheParseAndItsFields) {
  const struct {
    const char* args;
    const char* out;
  } cases[] = {
      {"'<kuid2:1:2:3>'", "<kuid2:1:2:3>\nuser 1\ncontent 2\nversion 3\n"},
      {"5", "<kuid:-1:5>\nuser -1\ncontent 5\nversion 127\n"},
      {"5 --strict", "<NULL>\nuser -1\ncontent -1\nversion 127\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = Run(std::string("kuid ") + c.args);
    EXPECT_EQ(r.exitCode, 0) << c.args;
    EXPECT_EQ(r.out, c.out) << c.args;
  }
}

}  // namespace
