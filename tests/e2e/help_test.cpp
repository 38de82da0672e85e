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

TEST(KestroUtilHelp, NoArgumentPrintsHelpAndFails) {
  RunResult r = RunTool("");
  EXPECT_EQ(r.out, std::string(kHelpText) + "\n");
  EXPECT_EQ(r.exitCode, 255);
}

TEST(KestroUtilHelp, HelpInAnyCaseSucceeds) {
  for (const char* word : {"help", "HELP", "Help"}) {
    RunResult r = RunTool(word);
    EXPECT_EQ(r.out, std::string(kHelpText) + "\n") << word;
    EXPECT_EQ(r.exitCode, 0) << word;
  }
}

TEST(KestroUtilHelp, HelpTextHoldsItsFixedLines) {
  const std::string help(kHelpText);
  EXPECT_EQ(help.rfind("Welcome to the Kestro Util Tool!\n", 0), 0u);
  EXPECT_NE(help.find("\t<-iPATH>   Additional include path.\n"), std::string::npos);
  EXPECT_NE(help.find("format, \"CMP;MESH|BD;-ACTV|VE|SCEN\"."), std::string::npos);
  size_t lines = 0;
  for (char c : help) lines += c == '\n';
  EXPECT_EQ(lines, 43u);
}

}  // namespace
