// KestroUtil: the command-line content-management tool.
#include <cstdio>

#include "frontend/help_text.h"
#include "qel/pstring.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kHelpText, stdout);
    std::fputs("\n", stdout);
    return -1;
  }
  if (Qel::PString(argv[1]).Lower() == Qel::PString("help")) {
    std::fputs(kHelpText, stdout);
    std::fputs("\n", stdout);
    return 0;
  }
  // The command dispatcher is not part of this build yet: every other command word fails.
  std::fprintf(stderr, "- Invalid argument, please check the help for the list of valid argument\n");
  return -1;
}
