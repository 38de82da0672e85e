// Runs a shell command line and collects its standard output and exit code, for the tests of the
// built programs.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kestro_test {

struct CommandRun {
  std::string out;
  // The exit status; -1 when the command did not end normally or could not start.
  int exitCode = -1;
};

// The text as one word of a shell command line, whatever it holds: paths under the temporary
// folder hold whatever its name holds.
inline std::string ShellWord(const std::string& text) {
  std::string word = "'";
  for (const char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

inline CommandRun RunCommand(const std::string& commandLine) {
  CommandRun run;
  FILE* pipe = popen(commandLine.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace kestro_test
