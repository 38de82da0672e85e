// Runs the built tool as a user would and checks what it prints and how it exits.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "frontend/help_text.h"

namespace {

struct RunResult {
  std::string out;
  int exitCode = -1;
};

RunResult RunTool(const std::string& args) {
  RunResult r;
  const std::string cmd = std::string(KESTRO_BINARY_DIR) + "/KestroUtil " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(KestroUtilHelp, HelpInAnyCaseSucceedsAndNoArgumentFails) {
  for (const char* word : {"help", "HELP", "Help", ""}) {
    RunResult r = RunTool(word);
    EXPECT_EQ(r.out, std::string(kHelpText) + "\n") << word;
    EXPECT_EQ(r.exitCode, *word ? 0 : 255) << word;
  }
}

}  // namespace
