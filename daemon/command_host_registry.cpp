#include "daemon/command_host_registry.h"

#include <algorithm>
#include <chrono>

#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

constexpr auto kSendGrace = std::chrono::seconds(1);

void Log(const char* format, u64 connectionId) {
  Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, format, (unsigned long long)connectionId);
}

}  // namespace

CommandHostRegistry::Host* CommandHostRegistry::FindLocked(u64 connectionId) {
  for (const auto& host : hosts_) {
    if (host->connectionId == connectionId) return host.get();
  }
  return nullptr;
}

void CommandHostRegistry::Register(u64 connectionId, std::shared_ptr<NoteChannel> notes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (FindLocked(connectionId) != nullptr || !notes) return;
  auto host = std::make_shared<Host>();
  host->connectionId = connectionId;
  host->notes = std::move(notes);
  hosts_.push_back(std::move(host));
  Log("PymDaemon> connection %llu is a command host", connectionId);
}

void CommandHostRegistry::Unregister(u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find_if(hosts_.begin(), hosts_.end(), [connectionId](const auto& host) {
    return host->connectionId == connectionId;
  });
  if (it == hosts_.end()) return;
  const std::shared_ptr<Host> host = *it;
  hosts_.erase(it);
  host->gone = true;
  changed_.notify_all();
}

bool CommandHostRegistry::Deliver(u64 connectionId, const u8* body, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Host* host = FindLocked(connectionId);
  if (host == nullptr || !host->busy) {
    Log("PymDaemon> command-host reply of connection %llu answers no command; dropped",
        connectionId);
    return false;
  }
  if (host->stale) {
    host->stale = false;
    host->busy = false;
    changed_.notify_all();
    return false;
  }
  host->reply.assign(body, body + size);
  host->answered = true;
  changed_.notify_all();
  return true;
}

HostCommandOutcome CommandHostRegistry::Run(const std::vector<u8>& command, std::vector<u8>& reply,
                                            u32 timeoutMs, u64 senderConnectionId) {
  reply.clear();
  // One limit for the whole command, its wait for a free host included.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto other = [senderConnectionId](const auto& host) {
    return host->connectionId != senderConnectionId;
  };
  if (std::none_of(hosts_.begin(), hosts_.end(), other)) return HostCommandOutcome::kNoHost;
  // A host works on one command at a time; the others wait their turn rather than go without.
  std::shared_ptr<Host> host;
  changed_.wait_until(lock, deadline, [&] {
    const auto free = std::find_if(hosts_.begin(), hosts_.end(), [&other](const auto& h) {
      return other(h) && !h->busy;
    });
    if (free != hosts_.end()) host = *free;
    return host || std::none_of(hosts_.begin(), hosts_.end(), other);
  });
  // The hosts it waited for have gone.
  if (!host && std::none_of(hosts_.begin(), hosts_.end(), other))
    return HostCommandOutcome::kHostGone;
  if (!host) return HostCommandOutcome::kHostBusy;
  host->busy = true;
  host->answered = false;
  host->reply.clear();
  lock.unlock();
  // The send is bounded: a host that stopped reading its socket would hold the request without
  // bound. It gets at least kSendGrace, though: a limit of a few milliseconds, spent by a loaded
  // machine before the note goes out, says nothing about the host, which would be dropped for it.
  // Sent without the lock: a slow socket must not hold up the other hosts.
  const auto sendBy = std::max(deadline, std::chrono::steady_clock::now() + kSendGrace);
  const bool sent =
      host->notes->SendBy(PymProtocol::kNoteCommandHost, command.data(), command.size(), sendBy);
  lock.lock();
  if (!sent) {
    // A host that cannot take a command in time takes no other.
    hosts_.erase(std::remove(hosts_.begin(), hosts_.end(), host), hosts_.end());
    host->gone = true;
    changed_.notify_all();
    Log("PymDaemon> command host of connection %llu did not take a command; dropped",
        host->connectionId);
    return HostCommandOutcome::kHostGone;
  }
  const bool ended =
      changed_.wait_until(lock, deadline, [&host] { return host->answered || host->gone; });
  if (!ended) {
    host->stale = true;
    Log("PymDaemon> command host of connection %llu did not answer in time", host->connectionId);
    return HostCommandOutcome::kTimedOut;
  }
  host->busy = false;
  changed_.notify_all();
  if (!host->answered) return HostCommandOutcome::kHostGone;
  reply.swap(host->reply);
  return HostCommandOutcome::kAnswered;
}

bool CommandHostRegistry::IsBusy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  // A host that stopped answering keeps no one waiting.
  return std::any_of(hosts_.begin(), hosts_.end(),
                     [](const auto& host) { return host->busy && !host->stale; });
}

}  // namespace PymDaemonSrv
