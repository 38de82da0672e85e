// The database repair on a thread of its own. Levels, from the least to the most work:
//   20 (base)      reads the index file again and recomputes the flags that depend on other assets;
//   50 (patcher),
//   100 (default)  reopens the index file (one that is gone is made anew, one that is no longer an
//                  index or fails SQLite's quick check is set aside, and the next start keeps what
//                  staging holds, whose records went with it, in today's backups) and rebuilds it
//                  from the content folders;
//   150 (extended) as 100, and first finishes or undoes each change a crash left half done and
//                  clears the staging folder, and after the rebuild checks and compacts the file.
// A rebuild leaves the rows of the assets that another command's install holds as they stand, and
// says so in a warning each: the install's half-written copy is no asset to read yet.
// Folders that cannot be read as assets, leftovers in staging that could not be removed and
// those kept in the backups are reported as warnings, a failure as an error. The
// results go to the client when it polls after the repair has ended.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qel/types.h"

class ResultsLog;

namespace PymDaemonSrv {

class AssetEditor;
class AssetStore;
class InstallHolds;

class RepairRunner {
 public:
  // At most this many warnings are kept of one repair; the rest are counted in one entry.
  static constexpr size_t kMaxReportedProblems = 1000;

  RepairRunner(AssetStore& store, AssetEditor& editor, InstallHolds& holds)
      : store_(store), editor_(editor), holds_(holds) {}
  // Waits for a running repair.
  ~RepairRunner() { Join(); }
  void Join();
  RepairRunner(const RepairRunner&) = delete;
  RepairRunner& operator=(const RepairRunner&) = delete;

  // False when a repair runs already. `requestId` is the transaction whose results log takes the
  // repair's results; `connectionId` the connection that asked for it.
  bool Start(u32 level, u32 requestId, u64 connectionId);
  void GetProgress(bool& running, f32& progress, std::string& status);
  // Moves the results of an ended repair into `out` once; false when there are none.
  bool TakeResults(ResultsLog& out, u32& requestId);

 private:
  void Run(u32 level, u64 connectionId);
  void SetStatus(f32 progress, const std::string& status);

  AssetStore& store_;
  AssetEditor& editor_;
  InstallHolds& holds_;
  std::mutex mutex_;
  std::thread thread_;
  bool running_ = false;
  f32 progress_ = 0.0f;
  std::string status_;
  // Entry type and text.
  std::vector<std::pair<u32, std::string>> results_;
  bool resultsPending_ = false;
  u32 requestId_ = 0;
};

}  // namespace PymDaemonSrv
