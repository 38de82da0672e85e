// A temporary installation of the built tool for end-to-end tests: <root>/bin with copies of the
// binaries, the "data" volume, TETData and the standard script libraries, and <root>/UserData. Runs
// the tool there and stops every daemon started for the root when it goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "scratch_folder.h"

namespace kestro_test {

struct ToolRun {
  std::string out;
  std::string err;
  // The exit status as the system reports it; -1 when the run did not end normally.
  int exitCode = -1;
};

class InstallRoot {
 public:
  struct Layout {
    bool withDaemon = true;
    bool withTetData = true;
  };

  // buildDir holds the built KestroUtil and PymDaemon; dataDir is the repository's data/data, and
  // the TETData folder beside it is copied too.
  InstallRoot(const std::string& buildDir, const std::string& dataDir, Layout layout);
  InstallRoot(const std::string& buildDir, const std::string& dataDir)
      : InstallRoot(buildDir, dataDir, Layout()) {}
  // Stops the root's daemons, removes their discovery objects and the whole tree.
  ~InstallRoot();
  InstallRoot(const InstallRoot&) = delete;
  InstallRoot& operator=(const InstallRoot&) = delete;

  // False when the layout could not be made; the reason is in Error().
  bool IsReady() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  const std::string& Root() const { return root_; }
  std::string Bin() const { return root_ + "/bin"; }

  // Runs bin/KestroUtil with the arguments in `cwd` (the root when empty). A run that takes
  // longer than the watchdog's limit is killed and reported with exit code -1.
  ToolRun Run(const std::vector<std::string>& args, const std::string& cwd = "") const;
  // The same for another program (a developer tool of the build run against this root).
  ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd = "") const;
  // Writes a file below the root, creating its folders.
  void WriteFile(const std::string& relative, const std::string& content) const;

  // Live PymDaemon processes whose program is this root's bin/PymDaemon.
  std::vector<pid_t> DaemonPids() const;
  // Asks each to end, and kills those that do not within the watchdog's limit.
  void StopDaemons() const;

 private:
  scratch::Folder folder_;
  std::string root_ = folder_.path();
  std::string error_;
};

}  // namespace kestro_test
