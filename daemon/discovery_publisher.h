// The daemon's side of the discovery block: it records itself as the database owner with its
// port, so that clients of the same database folder find it, and takes the record back on exit.
// Only the daemon that holds the store's lock publishes, so whatever the block names is taken over.
#pragma once

#include <string>

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
  // Clears owner and port when they are still this process's, gives up the manager role and
  // detaches. Does nothing when nothing is published.
  void Withdraw();
  bool IsPublished() const { return published_; }

  // The live process other than this one that the block of the database path records as owner,
  // when it answers the handshake on its port within `answerMs`: a daemon that serves the store
  // now, not one that is going away (a stopping daemon withdraws first, a killed one runs no
  // code). 0 otherwise. Takes no role in the block.
  static u32 AnsweringOwner(const std::string& databasePath, u32 answerMs);

  // The two object names of a database path (empty when the path does not name "assets.tdx").
  static std::string MutexName(const std::string& databasePath);
  static std::string SharedMemoryName(const std::string& databasePath);

 private:
  // Leaves the block with the mutex held: gives up the manager role as a client's close does.
  void ReleaseLocked();

  Platform::NamedMutex mutex_;
  Qel::SharedMemory memory_;
  u32 self_ = 0;
  bool manager_ = false;
  bool published_ = false;
};

}  // namespace PymDaemonSrv
