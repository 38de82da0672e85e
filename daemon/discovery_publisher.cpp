#include "daemon/discovery_publisher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "platform/byte_order.h"
#include "platform/process.h"
#include "platform/socket_io.h"
#include "pymclient/pym_protocol.h"

namespace PymDaemonSrv {

namespace pp = PymProtocol;

namespace {

// Fields are read and written through volatile pointers: other processes change the block.
PymDiscoveryBlock* Block(const Qel::SharedMemory& memory) {
  return static_cast<PymDiscoveryBlock*>(memory.GetData());
}

// Whether a daemon on the loopback port answers a client's handshake for the database path within
// `answerMs`; the connection is then ended in order.
bool AnswersHandshake(u32 port, const std::string& databasePath, u32 answerMs) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const timeval limit{time_t(answerMs / 1000), suseconds_t(answerMs % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(u16(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<u8> hello;
  for (const u32 word :
       {pp::kTagClient, pp::kProtocolVersion, pp::kBuildNumber, 0u, u32(databasePath.size())}) {
    ByteOrder::AppendLE32(hello, word);
  }
  hello.insert(hello.end(), databasePath.begin(), databasePath.end());
  u8 answer[4 + 4 * pp::kHandshakeWordCount];
  u8 goodbye[4];
  ByteOrder::StoreLE32(goodbye, pp::kGoodbyeWord);
  const bool answered =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      Platform::SendAll(fd, hello.data(), hello.size()) &&
      Platform::ReceiveAll(fd, answer, sizeof answer) &&
      ByteOrder::LoadLE32(answer) == pp::kTagDaemon;
  if (answered) Platform::SendAll(fd, goodbye, sizeof goodbye);
  close(fd);
  return answered;
}

}  // namespace

u32 DiscoveryPublisher::AnsweringOwner(const std::string& databasePath, u32 answerMs) {
  const std::string name = SharedMemoryName(databasePath);
  if (name.empty()) return 0;
  Qel::SharedMemory memory;
  if (!memory.Create(name, pp::kBlockSize)) return 0;
  const volatile PymDiscoveryBlock* block = Block(memory);
  const u32 owner = block->ownerProcessId;
  const u32 port = block->port;
  memory.Close();
  if (owner == pp::kNoProcess || owner == Platform::CurrentProcessId() || port == 0 ||
      port > 0xFFFF || !Platform::IsProcessAlive(owner)) {
    return 0;
  }
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
  if (published_) return fail("already published");
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
  return true;
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
