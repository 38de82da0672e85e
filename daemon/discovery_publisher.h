// The daemon's side of the discovery block: it records itself as the database owner with its
// port, so that clients of the same database folder find it, and takes the record back on exit.
// Only the daemon that holds the store's lock publishes, so whatever the block names is taken over.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>

#include "platform/named_mutex.h"
#include "qel/shared_memory.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class DiscoveryPublisher {
 public:
  DiscoveryPublisher() = default;
  ~DiscoveryPublisher() { Withdraw(); }
  DiscoveryPublisher(const DiscoveryPublisher&) = delete;
  DiscoveryPublisher& operator=(const DiscoveryPublisher&) = delete;

  // Attaches to the block of the database path's folder (the names that the client forms) and
  // writes this process as owner with `port`, over any owner recorded, and clears the refuse
  // word. Called only while holding the store's lock: a recorded owner that is still alive is a
  // killed daemon's process id that another process has taken, or a daemon of another pid
  // namespace, and serves nothing.
  bool Publish(const std::string& databasePath, u16 port, std::string* error);
  // Publishes again when the record is no longer where the tools look: its files were removed or
  // replaced, the folder of named objects is another now (a failed look at it as this daemon
  // published sent the record elsewhere), or the owner was cleared. Looks at most once a second,
  // and after a failure at intervals that double up to a minute; meant to be called often. True
  // while published; does nothing before the first Publish.
  bool Refresh(std::string* error);
  // Clears owner and port when they are still this process's, gives up the manager role and
  // detaches. Does nothing when nothing is published.
  void Withdraw();
  bool IsPublished() const { return published_; }

  // The process other than this one that the block of the database path records as owner, when
  // it answers the handshake on its port within `answerMs`: a daemon that serves the store now,
  // not one that is going away (a stopping daemon withdraws first, a killed one runs no code).
  // 0 otherwise. Takes no role in the block.
  static u32 AnsweringOwner(const std::string& databasePath, u32 answerMs);
  // Whether a daemon of the database path answers the handshake on `port` within `answerMs`.
  static bool AnswersHandshake(u32 port, const std::string& databasePath, u32 answerMs);

  // The two object names of a database path (empty when the path does not name "assets.tdx").
  static std::string MutexName(const std::string& databasePath);
  static std::string SharedMemoryName(const std::string& databasePath);

 private:
  // The files of the block and of its mutex, by device and inode, as they are found now.
  struct Place {
    std::pair<dev_t, ino_t> block;
    std::pair<dev_t, ino_t> mutex;
    bool operator==(const Place&) const = default;
  };
  Place Where() const;
  // Leaves the block with the mutex held: gives up the manager role as a client's close does.
  void ReleaseLocked();

  Platform::NamedMutex mutex_;
  Qel::SharedMemory memory_;
  u32 self_ = 0;
  bool manager_ = false;
  bool published_ = false;
  // What to publish again, and where it was published.
  std::string wantedPath_;
  u16 wantedPort_ = 0;
  Place where_{};
  std::chrono::steady_clock::time_point nextLook_{};
  std::chrono::seconds retryPause_{1};
};

}  // namespace PymDaemonSrv
