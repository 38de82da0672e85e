// KestroUtil: the command-line content-management tool.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "frontend/application.h"
#include "frontend/batch_file.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "frontend/help_text.h"
#include "frontend/result_summary.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "qel/pstring.h"

namespace {

// Ends the process at once: no static destructors run while other threads may still be about.
// Everything printed so far reaches its destination first.
[[noreturn]] void EndProcess(int result) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(result);
}

void PrintHelp() {
  std::fputs(kHelpText, stdout);
  std::fputs("\n", stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Whole lines reach the output as they are printed, so a command that faults keeps them too.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  SeedRandomGenerators();
  Qel::File::Path programPath;
  if (!GetApplicationPath(programPath)) return -1;
  if (argc < 2) {
    PrintHelp();
    return -1;
  }
  if (Qel::PString(argv[1]).Lower() == Qel::PString("help")) {
    PrintHelp();
    return 0;
  }

  EngineContext context;
  if (InitApplication(context, argv[0], argc, argv) != 0) {
    // Why the daemon failed the start (its log, which nobody reads unasked, or its silence).
    const std::string cause = PymGetDaemonFailure();
    if (!cause.empty()) std::fprintf(stderr, "%s\n", cause.c_str());
    std::fputs("- Init failed\n", stderr);
    // The count line ends every run, so that what reads the output sees the failure there too.
    ResultsLog log;
    log.CountPrintedElsewhere(1, 0);
    PrintResultSummary(log);
    ShutdownApplication(context);
    EndProcess(-1);
  }
  InitApplicationGlobals(kApplicationName);
  g_scriptLogHook = &ScriptLog;

  int result;
  if (argv[1][0] == '@') {
    // Like every path argument, the batch file is named from the folder the user started in.
    try {
      result = RunBatchFile(JoinToStartupFolder(argv[1] + 1).CStr(), context, argv[0]);
    } catch (const StartFolderGone& gone) {
      ResultsLog log;
      AddError(&log, gone.what());
      PrintResultSummary(log);
      result = -1;
    }
  } else {
    ResultsLog log;
    result = RunCommandGuarded(&log, &context, argc, argv);
    PrintResultSummary(log);
  }
  ShutdownApplication(context);
  EndProcess(result);
}
