// Runs the built tool as a user would and checks what it prints and how it exits.
#include <gtest/gtest.h>

#include <string>

#include "frontend/help_text.h"
#include "support/command_run.h"

namespace {

kestro_test::CommandRun RunTool(const std::string& args) {
  return kestro_test::RunCommand(std::string(KESTRO_BINARY_DIR) + "/KestroUtil " + args +
                                 " 2>/dev/null");
}

TEST(KestroUtilHelp, HelpInAnyCaseSucceedsAndNoArgumentFails) {
  for (const char* word : {"help", "HELP", "Help", ""}) {
    const kestro_test::CommandRun r = RunTool(word);
    EXPECT_EQ(r.out, std::string(kHelpText) + "\n") << word;
    EXPECT_EQ(r.exitCode, *word ? 0 : 255) << word;
  }
}

}  // namespace
