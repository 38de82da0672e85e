// The commands that work in this build, run in a temporary installation against the stand-in
// daemon: what they print and the exit codes Linux shows for their results.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "gscompiler/gs_source_file.h"
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

TEST_F(Commands, VersionNumbersBecomeExitCodesSilently) {
  for (const char* word : {"version", "VERSION"}) {
    const ToolRun r = root_.Run({word});
    EXPECT_EQ(r.out, std::string("Build 48249\n") + kCleanSummary) << word;
    EXPECT_EQ(r.err, "") << word;
    EXPECT_EQ(r.exitCode, 0) << word;
  }
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

TEST_F(Commands, FailedCommandsGiveTheirEntryAndExitCode) {
  const std::string invalidPath = "- <NULL> : Invalid file path.\nOK (1 Errors, 0 Warnings)\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"nosuchcommand"}, kInvalidArgument},
      // The account command needs both a name and a password to be recognised.
      {{"registeraccount", "someone"}, kInvalidArgument},
      {{"compile"}, invalidPath},
      {{"installcdp"}, "- <NULL> : Missing input filepath parameter.\nOK (1 Errors, 0 Warnings)\n"},
  };
  for (const auto& [args, out] : cases) {
    const ToolRun r = root_.Run(args);
    EXPECT_EQ(r.out, out) << args[0];
    EXPECT_EQ(r.exitCode, 255) << args[0];
  }
}

// Script paths are joined to the folder the user started in, not the program folder, and the
// output keeps the case the user typed.
TEST_F(Commands, EncryptPacksAScriptBesideItsSource) {
  const std::string work = root_.Root() + "/work";
  const std::string source = "class A {\r\n  int n = 1;\r\n};\r\n" + std::string(3000, '/') + "\n";
  root_.WriteFile("work/Tool.gs", source);
  ToolRun r = root_.Run({"encrypt", "Tool.gs"}, work);
  EXPECT_EQ(r.out, kCleanSummary);
  EXPECT_EQ(r.exitCode, 0);
  // What was written reads back as the source, with its line ends normalised.
  GSSourceFile packed;
  ASSERT_TRUE(packed.Load(nullptr, (work + "/Tool.gse").c_str()));
  EXPECT_TRUE(packed.IsPacked());
  GSSourceFile plain;
  ASSERT_TRUE(plain.Load(nullptr, (work + "/Tool.gs").c_str()));
  ASSERT_NE(packed.GetText(), nullptr);
  EXPECT_EQ(std::string(packed.GetText(), packed.GetTextLength()),
            std::string(plain.GetText(), plain.GetTextLength()));
  EXPECT_EQ(std::string(packed.GetText(), 14), "class A {\n  in");

  // A target path takes the packed file instead.
  ASSERT_EQ(unlink((work + "/Tool.gse").c_str()), 0);
  r = root_.Run({"encrypt", "Tool.gs", "Other.gse"}, work);
  EXPECT_EQ(r.out, kCleanSummary);
  GSSourceFile other;
  ASSERT_TRUE(other.Load(nullptr, (work + "/Other.gse").c_str()));
  EXPECT_TRUE(other.IsPacked());
  EXPECT_NE(access((work + "/Tool.gse").c_str(), F_OK), 0);

  // An empty script names the cause and writes nothing.
  root_.WriteFile("work/empty.gs", "");
  const std::pair<std::vector<std::string>, std::string> failures[] = {
      {{"missing.gs"}, "Invalid file path."},
      {{"Tool.txt"}, "Invalid file path."},
      {{"empty.gs"}, "Could not encrypt file empty.gs: the file is empty."},
      {{"Tool.gs", "Plain.gs"},
       "Could not encrypt file Tool.gs: the target Plain.gs is not a .gse file."},
  };
  for (const auto& [bad, entry] : failures) {
    std::vector<std::string> args = {"encrypt"};
    args.insert(args.end(), bad.begin(), bad.end());
    r = root_.Run(args, work);
    EXPECT_EQ(r.out, "- <NULL> : " + entry + "\nOK (1 Errors, 0 Warnings)\n") << bad[0];
    EXPECT_EQ(r.exitCode, 255) << bad[0];
  }
  EXPECT_NE(access((work + "/empty.gse").c_str(), F_OK), 0);
  EXPECT_NE(access((work + "/Plain.gs").c_str(), F_OK), 0);
}

// Finding nothing and an expression that can never match are both failures that say so.
TEST_F(Commands, CategorySearchThatFindsNothingSaysWhy) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"searchbycategory", "CMP"}, "No asset matches \"CMP\"."},
      {{"searchbycategory", "-a", "tr|-"},
       "The category expression holds a term without a category."},
      {{"searchbycategory", ";TR"}, "The category expression holds a term without a category."},
      {{"searchbycategory", "-a", "TR;;-;LOCO"},
       "The category expression holds a term without a category."},
      {{"searchbycategory", "-a", "TR LOCO"}, "The category expression holds a blank."},
  };
  for (const auto& c : cases) {
    const ToolRun r = root_.Run(c.args);
    EXPECT_EQ(r.out, std::string("- <NULL> : ") + c.error + "\nOK (1 Errors, 0 Warnings)\n")
        << c.args.back();
    EXPECT_EQ(r.exitCode, 255);
  }
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
