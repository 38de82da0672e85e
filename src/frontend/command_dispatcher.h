// The command dispatcher: one command word and its arguments, run against the command's results
// log. Command words compare after lower-casing, in the order of the command table.
#pragma once

#include <functional>
#include <stdexcept>

#include "qel/os.h"
#include "qel/string.h"

class ResultsLog;

// Runs the command with the crash guard armed. An exception or fault that escapes it ends the
// process at once with exit code -100, after standard output and error are flushed; no summary
// and no shut-down follow.
int RunCommandGuarded(ResultsLog* log, EngineContext* context, int argc, char** argv);
// The dispatcher itself: argv[0] is the program path, argv[1] the command word. The command's
// result; -1 with an error entry for a word that matches no command.
int RunCommand(ResultsLog* log, EngineContext* context, int argc, char** argv);
// The guard of RunCommandGuarded around any call.
int RunGuarded(const std::function<int()>& call);

// A relative path typed when the start-up folder no longer exists (getcwd failed at start-up).
// It has nothing to be taken from, and the file layer would find it inside the installation, so
// it ends the command before anything is read or written: RunCommand reports it as the command's
// error.
class StartFolderGone : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A user's path: unchanged when absolute, else appended to the start-up folder. Throws
// StartFolderGone for a relative path when there is no start-up folder.
Qel::String JoinToStartupFolder(const char* path);

// Makes the start-up folder the working folder for its lifetime and then restores the folder
// that was current before, on every path out of the command.
class StartupFolderScope {
 public:
  StartupFolderScope();
  ~StartupFolderScope();
  StartupFolderScope(const StartupFolderScope&) = delete;
  StartupFolderScope& operator=(const StartupFolderScope&) = delete;

  // False when the start-up folder could not be entered; the working folder is then unchanged.
  bool IsEntered() const { return entered_; }

 private:
  Qel::String saved_;
  bool entered_ = false;
};
