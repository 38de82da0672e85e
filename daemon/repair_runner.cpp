#include "daemon/repair_runner.h"

#include "assetdata/results_log.h"
#include "daemon/asset_editor.h"
#include "daemon/asset_store.h"
#include "daemon/install_holds.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

void RepairRunner::Join() {
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished = std::move(thread_);
  }
  if (finished.joinable()) finished.join();
}

bool RepairRunner::Start(u32 level, u32 requestId, u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return false;
  if (thread_.joinable()) thread_.join();
  running_ = true;
  progress_ = 0.0f;
  status_ = "Starting the repair";
  results_.clear();
  resultsPending_ = false;
  requestId_ = requestId;
  thread_ = std::thread([this, level, connectionId] { Run(level, connectionId); });
  return true;
}

void RepairRunner::GetProgress(bool& running, f32& progress, std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  running = running_;
  progress = progress_;
  status = status_;
}

bool RepairRunner::TakeResults(ResultsLog& out, u32& requestId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ || !resultsPending_) return false;
  for (const auto& [type, text] : results_) {
    ResultsLog::AddResult(&out, type, KestroPropertyRef(), Qel::String(text));
  }
  requestId = requestId_;
  resultsPending_ = false;
  results_.clear();
  return true;
}

void RepairRunner::SetStatus(f32 progress, const std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  progress_ = progress;
  status_ = status;
}

void RepairRunner::Run(u32 level, u64 connectionId) {
  std::vector<std::pair<u32, std::string>> results;
  std::string error;
  bool ok = true;
  {
    std::lock_guard<OwnedMutex> change(store_.ChangeMutex());
    if (level <= PymProtocol::kRepairBase) {
      SetStatus(0.5f, "Reading the index");
      ok = store_.Reload(&error);
    } else {
      // An install writes its editing copy between its requests, not under the change mutex: a
      // rebuild would read the half copy, or the installed folder in its place, and leave the
      // install's commit nothing to commit. Its rows are taken while the index is open; no
      // install makes a copy while the repair holds the change mutex.
      std::vector<ScannedAsset> held;
      for (const KUID& kuid : store_.Search(nullptr)) {
        std::string why;
        ScannedAsset row;
        if (holds_.MayChange(kuid, connectionId, why) || !store_.GetRow(kuid, row)) continue;
        held.push_back(std::move(row));
        results.emplace_back(
            ResultsLog::kWarning,
            std::string("PymDaemon: ") + kuid.ToString().CStr() + " is left as it stands: " + why);
      }
      // The records are read while the index is closed: the store holds it exclusively.
      ok = store_.ReopenIndex(&error, [&] {
        if (level < PymProtocol::kRepairExtended) return;
        SetStatus(0.05f, "Clearing unfinished changes");
        for (const std::string& left : editor_.ClearStaging()) {
          results.emplace_back(ResultsLog::kWarning, "PymDaemon: " + left);
        }
      });
      SetStatus(0.1f, "Scanning the content folders");
      std::vector<std::string> problems;
      ok = ok && store_.Rebuild(problems, &error, std::move(held));
      for (size_t i = 0; i < problems.size() && i < kMaxReportedProblems; ++i) {
        results.emplace_back(ResultsLog::kWarning, "PymDaemon: " + problems[i]);
      }
      if (problems.size() > kMaxReportedProblems) {
        results.emplace_back(
            ResultsLog::kWarning,
            "PymDaemon: " + std::to_string(problems.size() - kMaxReportedProblems) +
                " more asset folders could not be read");
      }
      if (ok && level >= PymProtocol::kRepairExtended) {
        SetStatus(0.9f, "Checking the index file");
        ok = store_.CheckIntegrity(&error) && store_.Compact(&error);
      }
    }
  }
  if (ok) {
    results.emplace_back(
        ResultsLog::kInformation,
        "PymDaemon: repair complete, " + std::to_string(store_.CountAssets()) + " assets");
  } else {
    results.emplace_back(ResultsLog::kError, "PymDaemon: repair failed: " + error);
    Qel::Log::Get("PymDaemon")
        .Printf(Qel::Log::kError, "PymDaemon> repair failed: %s", error.c_str());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  results_ = std::move(results);
  resultsPending_ = true;
  progress_ = 1.0f;
  status_ = ok ? "Repair complete" : "Repair failed";
  running_ = false;
}

}  // namespace PymDaemonSrv
