#include "daemon/discovery_publisher.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "platform/process.h"
#include "platform/socket_io.h"
#include "pymclient/pym_protocol.h"

namespace PymDaemonSrv {

namespace pp = PymProtocol;

namespace {

constexpr std::chrono::seconds kLongestRetryPause{60};

// Fields are read and written through volatile pointers: other processes change the block.
PymDiscoveryBlock* Block(const Qel::SharedMemory& memory) {
  return static_cast<PymDiscoveryBlock*>(memory.GetData());
}

}  // namespace

bool DiscoveryPublisher::AnswersHandshake(u32 port, const std::string& databasePath, u32 answerMs) {
  if (port == 0 || port > 0xFFFF) return false;
  const std::vector<u8> hello = pp::HandshakeHello(databasePath, 0);
  u8 answer[pp::kHandshakeAnswerSize];
  return Platform::AskLoopback(u16(port), hello.data(), hello.size(), answer, sizeof answer,
                               answerMs) == Platform::AskResult::kAnswered &&
         pp::IsDaemonAnswer(answer);
}

u32 DiscoveryPublisher::AnsweringOwner(const std::string& databasePath, u32 answerMs) {
  const std::string name = SharedMemoryName(databasePath);
  if (name.empty()) return 0;
  Qel::SharedMemory memory;
  if (!memory.Create(name, pp::kBlockSize)) return 0;
  const volatile PymDiscoveryBlock* block = Block(memory);
  const u32 owner = block->ownerProcessId;
  const u32 port = block->port;
  memory.Close();
  // Asked at its port: its process id says nothing from another pid namespace.
  if (owner == pp::kNoProcess || owner == Platform::CurrentProcessId()) return 0;
  return AnswersHandshake(port, databasePath, answerMs) ? owner : 0;
}

std::string DiscoveryPublisher::MutexName(const std::string& databasePath) {
  const std::string folder = pp::DatabaseFolder(databasePath);
  return folder.empty() ? std::string() : pp::MutexNameText(folder);
}

std::string DiscoveryPublisher::SharedMemoryName(const std::string& databasePath) {
  const std::string folder = pp::DatabaseFolder(databasePath);
  return folder.empty() ? std::string() : pp::ShmNameText(folder);
}

bool DiscoveryPublisher::Publish(const std::string& databasePath, u16 port, std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    memory_.Close();
    mutex_.Close();
    return false;
  };
  if (published_) {
    if (error != nullptr) *error = "already published";
    return false;
  }
  wantedPath_ = databasePath;
  wantedPort_ = port;
  const std::string mutexName = MutexName(databasePath);
  if (mutexName.empty()) return fail("not a database path: " + databasePath);
  if (!mutex_.Create(mutexName, false)) return fail("cannot open the discovery mutex");
  self_ = Platform::CurrentProcessId();
  mutex_.Lock();
  if (!memory_.Create(SharedMemoryName(databasePath), pp::kBlockSize)) {
    mutex_.Unlock();
    return fail("cannot attach the discovery block");
  }
  volatile PymDiscoveryBlock* block = Block(memory_);
  if (block->layoutVersion == 0 && block->managerProcessId == 0) {
    block->managerProcessId = self_;
    block->ownerProcessId = pp::kNoProcess;
    block->requesterProcessId = pp::kNoProcess;
    block->reserved0 = 0;
    block->layoutVersion = pp::kBlockVersion;
    block->attachCount = 1;
    block->refuseWord = 0;
    block->reserved1 = 0;
    block->port = 0;
    manager_ = true;
  } else {
    if (block->layoutVersion != 0) {
      block->attachCount = u8(block->attachCount + 1);
    } else {
      block->attachCount = pp::kAttachCountUnknown;
    }
    const u32 manager = block->managerProcessId;
    if (manager == pp::kNoProcess || !Platform::IsProcessAlive(manager)) {
      block->managerProcessId = self_;
      manager_ = true;
    }
  }

  block->ownerProcessId = self_;
  block->port = port;
  // A refusal left by a daemon that died would shut every client out.
  block->refuseWord = 0;
  mutex_.Unlock();
  published_ = true;
  where_ = Where();
  return true;
}

DiscoveryPublisher::Place DiscoveryPublisher::Where() const {
  const auto identity = [](const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 ? std::pair{st.st_dev, st.st_ino}
                                                         : std::pair{dev_t(0), ino_t(0)};
  };
  return {identity(Qel::SharedMemory::ObjectName(SharedMemoryName(wantedPath_))),
          identity(Platform::NamedMutex::LockFilePath(MutexName(wantedPath_)))};
}

bool DiscoveryPublisher::Refresh(std::string* error) {
  if (wantedPath_.empty()) return false;
  // Looked at no more than once a second, and after a failed try at growing intervals: a folder
  // that cannot be had now is rarely there a moment later.
  const auto now = std::chrono::steady_clock::now();
  if (now < nextLook_) return published_;
  nextLook_ = now + std::chrono::seconds(1);
  if (published_ && where_.block.second != 0 && where_ == Where()) {
    volatile PymDiscoveryBlock* block = Block(memory_);
    if (block->ownerProcessId == self_ && block->port == wantedPort_) return true;
    mutex_.Lock();
    block->ownerProcessId = self_;
    block->port = wantedPort_;
    mutex_.Unlock();
    return true;
  }
  Withdraw();
  if (Publish(std::string(wantedPath_), wantedPort_, error)) {
    retryPause_ = std::chrono::seconds(1);
    return true;
  }
  nextLook_ = now + retryPause_;
  retryPause_ = std::min(retryPause_ * 2, kLongestRetryPause);
  return false;
}

void DiscoveryPublisher::ReleaseLocked() {
  volatile PymDiscoveryBlock* block = Block(memory_);
  if (manager_) {
    block->managerProcessId = pp::kNoProcess;
    if (block->layoutVersion >= 1) block->attachCount = u8(block->attachCount - 1);
    manager_ = false;
  }
}

void DiscoveryPublisher::Withdraw() {
  if (!published_) return;
  published_ = false;
  mutex_.Lock();
  volatile PymDiscoveryBlock* block = Block(memory_);
  if (block->ownerProcessId == self_) {
    block->ownerProcessId = pp::kNoProcess;
    // Clients read the port whatever the owner says, so a stale one must not stay behind.
    block->port = 0;
  }
  ReleaseLocked();
  mutex_.Unlock();
  memory_.Close();
  mutex_.Close();
}

}  // namespace PymDaemonSrv
