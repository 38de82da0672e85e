// Batch files run by the built tool: how lines become arguments, the summary and empty line of
// each line, bounded lines, and the exit code of the whole file.
#include <gtest/gtest.h>

#include <string>

#include "support/install_root.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

// What one line prints: its output, its summary and the empty line after it.
std::string Ok(const std::string& output) { return output + "OK (0 Errors, 0 Warnings)\n\n"; }
const std::string kInvalid =
    "- <NULL> : Invalid argument, please check the help for the list of valid argument\n\n"
    "OK (1 Errors, 0 Warnings)\n\n";

class Batch : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root_.IsReady()) << root_.Error(); }
  // Writes the batch file beside the program and runs it by its relative name, which resolves
  // against the program's folder whatever folder the tool was started in.
  ToolRun RunBatch(const std::string& content) {
    root_.WriteFile("bin/batch.txt", content);
    return root_.Run({"@batch.txt"}, root_.Root() + "/UserData");
  }
  InstallRoot root_{KESTRO_BINARY_DIR, kDataDir};
};

TEST_F(Batch, LinesBecomeArgumentsAsWritten) {
  const ToolRun r =
      RunBatch("\"echo\" \"a path/with blanks\" \"x\"\r\n\r\n\necho \"unclosed runs on\n");
  EXPECT_EQ(r.out, Ok("a path/with blanks x \n") + Ok("unclosed runs on \n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0);
}

TEST_F(Batch, EndOfFileGivesNoExtraCommand) {
  for (const char* content : {"echo one\n", "echo one", "echo one\r\n"}) {
    const ToolRun r = RunBatch(content);
    EXPECT_EQ(r.out, Ok("one \n")) << content;
    EXPECT_EQ(r.exitCode, 0) << content;
  }
  const ToolRun empty = RunBatch("");
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.exitCode, 0);
}

TEST_F(Batch, AFailingLineFailsTheFileButTheRunGoesOn) {
  const ToolRun r = RunBatch("echo before\nnosuchcommand\n  echo\n\"\necho after\n");
  // Two leading blanks and a lone quote both leave an empty command word.
  EXPECT_EQ(r.out, Ok("before \n") + kInvalid + kInvalid + kInvalid + Ok("after \n"));
  EXPECT_EQ(r.exitCode, 255);
}

TEST_F(Batch, OverlongLinesAreCutAndTheirRestDropped) {
  // 600 bytes: the first 511 are kept, the rest up to the line end is read and dropped.
  const ToolRun r = RunBatch("echo " + std::string(595, 'x') + "\necho next\n");
  EXPECT_EQ(r.out, Ok(std::string(506, 'x') + " \n") + Ok("next \n"));
  EXPECT_EQ(r.exitCode, 0);
}

TEST_F(Batch, EachLineHasItsOwnResultsLog) {
  const ToolRun r = RunBatch("searchbycategory -a\necho ok\nsearchbycategory -a\n");
  const std::string missing =
      "- <NULL> : Missing category parameter.\nOK (1 Errors, 0 Warnings)\n\n";
  EXPECT_EQ(r.out, missing + Ok("ok \n") + missing);
  EXPECT_EQ(r.exitCode, 255);
}

TEST_F(Batch, AMissingFileIsReportedAndNothingRuns) {
  const ToolRun r = root_.Run({"@missing.txt"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "-The file \"missing.txt\" does not exist, please specify a valid filename\n");
  EXPECT_EQ(r.exitCode, 255);
}

// A device or a folder is no batch file; /dev/zero would be read for ever.
TEST_F(Batch, WhatIsNoRegularFileCannotBeRead) {
  for (const std::string& name : {std::string("/dev/zero"), root_.Root() + "/UserData"}) {
    const ToolRun r = root_.Run({"@" + name});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "-The file \"" + name + "\" cannot be read\n");
    EXPECT_EQ(r.exitCode, 255);
  }
}

}  // namespace
