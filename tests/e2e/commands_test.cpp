// The commands that work in this build, run in a temporary installation against the stand-in
// daemon: what they print and the exit codes Linux shows for their results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/install_root.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
constexpr const char* kCleanSummary = "OK (0 Errors, 0 Warnings)\n";
constexpr const char* kInvalidArgument =
    "- <NULL> : Invalid argument, please check the help for the list of valid argument\n\n"
    "OK (1 Errors, 0 Warnings)\n";

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root_.IsReady()) << root_.Error(); }
  InstallRoot root_{KESTRO_BINARY_DIR, kDataDir};
};

TEST_F(Commands, VersionPrintsTheBuildInAnyCase) {
  for (const char* word : {"version", "VERSION", "Version"}) {
    const ToolRun r = root_.Run({word});
    EXPECT_EQ(r.out, std::string("Build 48249\n") + kCleanSummary) << word;
    EXPECT_EQ(r.err, "") << word;
    EXPECT_EQ(r.exitCode, 0) << word;
  }
}

TEST_F(Commands, VersionNumbersBecomeExitCodesSilently) {
  const struct {
    const char* word;
    int exitCode;
  } cases[] = {
      {"installedversionlo", 104},      {"installedversionhi", 1},
      {"installedbuildnumberlo", 121},  {"installedbuildnumberhi", 188},
      {"installedversion", 360 & 0xFF}, {"installedbuildnumber", 48249 & 0xFF},
  };
  for (const auto& c : cases) {
    const ToolRun r = root_.Run({c.word});
    EXPECT_EQ(r.out, kCleanSummary) << c.word;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.word;
  }
}

TEST_F(Commands, EchoPrintsItsArgumentsAsTyped) {
  const struct {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"echo", "a", "b"}, "a b \n"},
      {{"echo"}, "\n"},
      {{"ECHO", "Mixed Case", "x"}, "Mixed Case x \n"},
  };
  for (const auto& c : cases) {
    const ToolRun r = root_.Run(c.args);
    EXPECT_EQ(r.out, std::string(c.line) + kCleanSummary) << c.line;
    EXPECT_EQ(r.exitCode, 0);
  }
}

TEST_F(Commands, UnknownWordsAndShortFormsGiveTheInvalidArgumentEntry) {
  const std::vector<std::vector<std::string>> cases = {
      {"nosuchcommand"},
      {""},
      // The account command needs both a name and a password to be recognised.
      {"registeraccount", "someone"},
  };
  for (const auto& args : cases) {
    const ToolRun r = root_.Run(args);
    EXPECT_EQ(r.out, kInvalidArgument) << args[0];
    EXPECT_EQ(r.exitCode, 255) << args[0];
  }
}

TEST_F(Commands, CommandsOfLaterBuildsFailWithAnErrorEntry) {
  for (const char* word : {"installcdp", "closepymdaemon", "importkeywords"}) {
    const ToolRun r = root_.Run({word, "x"});
    EXPECT_EQ(r.out, std::string("- <NULL> : ") + word +
                         ": not available in this build\nOK (1 Errors, 0 Warnings)\n");
    EXPECT_EQ(r.exitCode, 255) << word;
  }
}

// Script paths are joined to the folder the user started in, not the program folder, and the
// output keeps the case the user typed.
TEST_F(Commands, EncryptPacksAScriptBesideItsSource) {
  const std::string work = root_.Root() + "/work";
  ASSERT_EQ(
      system(("mkdir -p " + work + " && printf 'class A {\\r\\n};\\r\\n' > " + work + "/Tool.gs")
                 .c_str()),
      0);
  ToolRun r = root_.Run({"encrypt", "Tool.gs"}, work);
  EXPECT_EQ(r.out, kCleanSummary);
  EXPECT_EQ(r.exitCode, 0);
  FILE* packed = fopen((work + "/Tool.gse").c_str(), "rb");
  ASSERT_NE(packed, nullptr);
  fclose(packed);

  for (const char* bad : {"missing.gs", "Tool.txt"}) {
    r = root_.Run({"encrypt", bad}, work);
    EXPECT_EQ(r.out, "- <NULL> : Invalid file path.\nOK (1 Errors, 0 Warnings)\n") << bad;
    EXPECT_EQ(r.exitCode, 255) << bad;
  }
}

TEST_F(Commands, CompileWithoutASourceIsAnInvalidPath) {
  const ToolRun r = root_.Run({"compile"});
  EXPECT_EQ(r.out, "- <NULL> : Invalid file path.\nOK (1 Errors, 0 Warnings)\n");
  EXPECT_EQ(r.exitCode, 255);
}

TEST_F(Commands, CategorySearchOfAnEmptyDatabaseFindsNothing) {
  const ToolRun r = root_.Run({"searchbycategory", "CMP"});
  EXPECT_EQ(r.out, kCleanSummary);
  EXPECT_EQ(r.exitCode, 255);
  const ToolRun missing = root_.Run({"searchbycategory", "-a"});
  EXPECT_EQ(missing.out, "- <NULL> : Missing category parameter.\nOK (1 Errors, 0 Warnings)\n");
  EXPECT_EQ(missing.exitCode, 255);
}

TEST_F(Commands, CategorySearchListsTheMatchingLocalAssets) {
  root_.WriteFile("UserData/local/signal/config.txt",
                  "kuid <kuid:400100:1001>\nkind \"scenery\"\ncategory-class \"SI\"\n");
  root_.WriteFile("UserData/local/station/config.txt",
                  "kuid <kuid2:400100:1002:1>\nkind \"buildable\"\ncategory-class \"BS;BR\"\n");
  const std::string both =
      "+ 2 : assets matching the specified criteria\n"
      "+ #0 : <kuid:400100:1001>\n"
      "+ #1 : <kuid2:400100:1002:1>\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"searchbycategory"}, both},
      {{"searchbycategory", "si|Br"}, both},
      {{"searchbycategory", "-si"},
       "+ 1 : assets matching the specified criteria\n+ #0 : <kuid2:400100:1002:1>\n"},
      {{"searchbycategory", "-a", "si"},
       "+ 1 : assets matching the specified criteria\n+ #0 : <kuid:400100:1001>\n"},
  };
  for (const auto& c : cases) {
    const ToolRun r = root_.Run(c.args);
    EXPECT_EQ(r.out, c.out + kCleanSummary) << c.args.back();
    EXPECT_EQ(r.exitCode, 0) << c.args.back();
  }
}

}  // namespace
