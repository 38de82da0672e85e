// Command hosts: tool processes that registered (request 0x8C) to work for the daemon. The daemon
// hands a registered host a command as a kind-1 notification on the host's connection and collects
// the host's answer, which comes back on that connection as the post 0x8D. A host has at most one
// command outstanding; a host that does not answer in time is given up on for that command and
// takes no further command until its late answer has arrived. A host that cannot even take the
// command within the time limit is dropped.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "daemon/note_channel.h"
#include "qel/types.h"

namespace PymDaemonSrv {

// The stand-in's own request, for the daemon's tests and tools: u32 time limit in milliseconds (0:
// kDefaultHostCommandSeconds), then one command (u32 command id and its fields). Reply: u32
// HostCommandOutcome, then the host's reply as it came.
inline constexpr u32 kOpRunHostCommand = 0x8E;

enum class HostCommandOutcome : u32 {
  kAnswered = 0,
  kNoHost = 1,    // no host is registered
  kHostBusy = 2,  // every host kept a command outstanding for the whole limit
  kTimedOut = 3,  // the host did not answer within the limit
  kHostGone = 4,  // the host's connection ended (every host's, while the command waited), or it
                  // did not take the notification in time
};

class CommandHostRegistry {
 public:
  // `notes` reaches the host's connection. A second registration of a connection changes nothing.
  void Register(u64 connectionId, std::shared_ptr<NoteChannel> notes);
  // Forgets the host; a command waiting for it ends as kHostGone.
  void Unregister(u64 connectionId);
  // The host's answer. False when the connection is no host or no command waits for it.
  bool Deliver(u64 connectionId, const u8* body, size_t size);
  // Hands the command to the first registered host without one outstanding, other than the
  // sender's own connection (which could not answer while it waits), and waits for its answer,
  // which goes to `reply`. Waiting for a free host and for the answer share `timeoutMs`.
  HostCommandOutcome Run(const std::vector<u8>& command, std::vector<u8>& reply, u32 timeoutMs,
                         u64 senderConnectionId);
  // True while a command waits for its host's answer.
  bool IsBusy() const;

 private:
  struct Host {
    u64 connectionId = 0;
    std::shared_ptr<NoteChannel> notes;
    bool busy = false;
    // A command that timed out: the host's next answer belongs to it and is dropped.
    bool stale = false;
    bool answered = false;
    bool gone = false;
    std::vector<u8> reply;
  };

  Host* FindLocked(u64 connectionId);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Host>> hosts_;
};

}  // namespace PymDaemonSrv
