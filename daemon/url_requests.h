// URLs fetched for clients: each transfer runs on a thread of its own, writes its answer to a file
// in UserData/temp and tells its client of progress and of its end through notes. Every request
// ends within PymProtocol::kUrlTimeLimitSeconds of its start.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "core/stream.h"
#include "daemon/note_channel.h"
#include "pymclient/pym_protocol.h"
#include "qel/types.h"

namespace PymDaemonSrv {

// Transfers running at once; a start beyond them ends at once with a failure.
inline constexpr u32 kMaxUrlTransfers = 8;
// Requests kept (running or done and not yet closed), over all clients.
inline constexpr u32 kMaxUrlRequests = 256;
// Largest answer kept, by the option of the start request.
inline constexpr u64 kMaxQueryAnswerBytes = 16ull << 20;
inline constexpr u64 kMaxPackageBytes = 2ull << 30;
// Progress notes of one transfer are at least this far apart.
inline constexpr u32 kUrlProgressNoteMs = 500;

struct UrlStatus {
  bool done = false;
  u32 status = 0;
  u32 received = 0;
  u32 expected = 0;
  std::string path;
  std::string reason;

  void Write(TStream& out) const;
};

class UrlRequests {
 public:
  // Every request ends within `timeLimitSeconds` of its start.
  explicit UrlRequests(u32 timeLimitSeconds = PymProtocol::kUrlTimeLimitSeconds);
  // Cancels every transfer and waits for them.
  ~UrlRequests();
  UrlRequests(const UrlRequests&) = delete;
  UrlRequests& operator=(const UrlRequests&) = delete;

  // Starts fetching `url` into `tempFolder` for the connection; the id and the first status.
  u64 Start(const std::string& url, u32 option, const std::string& tempFolder, u64 connectionId,
            std::shared_ptr<NoteChannel> notes, UrlStatus& status);
  // Registers a request that is done already, with `status` (answers the daemon gives itself,
  // such as the online login hand-off); the client follows and closes it like any other.
  u64 AddFinished(const UrlStatus& status, u64 connectionId);
  // The request's status; an unknown id is done with a failure.
  UrlStatus Status(u64 id);
  // Cancels the request, removes its file and forgets it.
  void Forget(u64 id);
  // Forgets every request of the connection.
  void ForgetConnection(u64 connectionId);
  void CancelAll();

 private:
  struct Job;
  void Run(Job& job);
  void Finish(Job& job, UrlStatus status);
  static void Note(Job& job, const UrlStatus& status);
  // Joins the threads of forgotten transfers that have ended. Under mutex_.
  void ReapLocked(bool all);
  u32 RunningLocked() const;

  std::mutex mutex_;
  std::unordered_map<u64, std::shared_ptr<Job>> jobs_;
  // Forgotten while their thread still ran.
  std::list<std::shared_ptr<Job>> retired_;
  u64 nextId_ = 1;
  const u32 timeLimitSeconds_;
};

}  // namespace PymDaemonSrv
