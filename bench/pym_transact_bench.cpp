// Round trip of a daemon transaction (request and reply of the same size) against a plain
// loopback TCP ping-pong of the same sizes between two threads: the cost of the protocol, the
// reader thread and its hand-over over the bare socket.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/networking.h"
#include "platform/byte_order.h"
#include "platform/named_mutex.h"
#include "platform/socket_io.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "qel/shared_memory.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces)

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// A listening loopback socket and its port.
int Listen(u16* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(a);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    std::abort();
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int Dial(u16 port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) std::abort();
  NoDelay(fd);
  return fd;
}

// The smallest daemon that serves the benchmark: handshake, then every transaction is answered
// with its own payload.
class EchoDaemon {
 public:
  EchoDaemon() {
    char pattern[] = "/tmp/kestro-benchXXXXXX";
    root_ = ::mkdtemp(pattern);
    InitInstallPaths(Qel::File::Path(root_.c_str()));
    database_ = GetDatabasePath().CStr();
    listener_ = Listen(&port_);
    Publish();
    thread_ = std::thread([this] { Serve(); });
  }
  ~EchoDaemon() {
    ::shutdown(listener_, SHUT_RDWR);
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    if (client_ >= 0) ::close(client_);
    const std::string folder = DatabaseFolder(database_);
    Platform::NamedMutex::Remove(MutexNameText(folder));
    Qel::SharedMemory::Remove(ShmNameText(folder));
    std::system(("rm -rf '" + root_ + "'").c_str());
  }

 private:
  void Publish() {
    const std::string folder = DatabaseFolder(database_);
    // The mutex comes first: a client that finds no mutex takes the block for new.
    Platform::NamedMutex mutex;
    Qel::SharedMemory memory;
    if (!mutex.Create(MutexNameText(folder), true) ||
        !memory.Create(ShmNameText(folder), kBlockSize)) {
      std::abort();
    }
    auto* b = static_cast<PymDiscoveryBlock*>(memory.GetData());
    b->managerProcessId = kNoProcess;
    b->requesterProcessId = kNoProcess;
    b->layoutVersion = kBlockVersion;
    b->port = port_;
    b->ownerProcessId = u32(::getppid());
    mutex.Unlock();
  }

  void Serve() {
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) return;
    NoDelay(client_);
    u8 hello[20];
    if (!Platform::ReceiveAll(client_, hello, sizeof(hello))) return;
    std::string path(ByteOrder::LoadLE32(hello + 16), '\0');
    if (!Platform::ReceiveAll(client_, path.data(), path.size())) return;
    u8 answer[12];
    ByteOrder::StoreLE32(answer, kTagDaemon);
    ByteOrder::StoreLE32(answer + 4, 1);
    ByteOrder::StoreLE32(answer + 8, 2);
    if (!Platform::SendAll(client_, answer, sizeof(answer))) return;
    std::vector<u8> message;
    for (;;) {
      u8 head[kFrameHeaderSize];
      if (!Platform::ReceiveAll(client_, head, 4)) return;
      if (ByteOrder::LoadLE32(head) == kGoodbyeWord) continue;
      if (!Platform::ReceiveAll(client_, head + 4, kFrameHeaderSize - 4)) return;
      const u32 id = ByteOrder::LoadLE32(head + 4);
      const u32 length = ByteOrder::LoadLE32(head + 8);
      message.resize(kFrameHeaderSize + length);
      if (!Platform::ReceiveAll(client_, message.data() + kFrameHeaderSize, length)) return;
      ByteOrder::StoreLE32(message.data(), kTagReply);
      ByteOrder::StoreLE32(message.data() + 4, id);
      ByteOrder::StoreLE32(message.data() + 8, length);
      if (id != kPostTransactionId && !Platform::SendAll(client_, message.data(), message.size())) {
        return;
      }
    }
  }

  std::string root_;
  std::string database_;
  int listener_ = -1;
  int client_ = -1;
  u16 port_ = 0;
  std::thread thread_;
};

void BM_PymTransact(benchmark::State& state) {
  SetMainThread();
  InitNetworking();
  EchoDaemon daemon;
  PymClientOptions options;
  options.mayStartDaemon = 0;
  if (!PymOpenDatabase(options)) {
    state.SkipWithError("the client did not open");
    return;
  }
  const u32 size = u32(state.range(0));
  std::vector<u8> payload(size, 0x5A);
  TBuffer request(new Qel::DynamicBuffer(size), true);
  request.Write(payload.data(), size);
  TBuffer reply(new Qel::DynamicBuffer(size), true);
  for (auto _ : state) {
    request.Seek(0, 0);
    reply.Seek(0, 0);
    if (!PymTransact(0x40, request, reply, nullptr, nullptr, false)) {
      state.SkipWithError("transaction failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size * 2);
  PymCloseDatabase();
}
BENCHMARK(BM_PymTransact)->Arg(64)->Arg(64 * 1024)->UseRealTime();

void BM_RawPingPong(benchmark::State& state) {
  const u32 size = u32(state.range(0));
  u16 port = 0;
  const int listener = Listen(&port);
  std::thread server([&] {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    NoDelay(fd);
    std::vector<u8> buffer(size);
    while (Platform::ReceiveAll(fd, buffer.data(), size) &&
           Platform::SendAll(fd, buffer.data(), size)) {
    }
    ::close(fd);
  });
  const int fd = Dial(port);
  std::vector<u8> out(size, 0x5A), in(size);
  for (auto _ : state) {
    if (!Platform::SendAll(fd, out.data(), size) || !Platform::ReceiveAll(fd, in.data(), size)) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size * 2);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  server.join();
  ::close(listener);
}
BENCHMARK(BM_RawPingPong)->Arg(64)->Arg(64 * 1024)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
