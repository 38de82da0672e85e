// pym_ping: finds the daemon of an installation through its discovery block, connects over
// loopback and exchanges one handshake. The least work a client of the daemon can do; the
// start-up benchmark measures the tool beside it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "platform/socket_io.h"
#include "pymclient/pym_protocol.h"
#include "qel/shared_memory.h"

namespace pp = PymProtocol;

namespace {

int Fail(const char* text) {
  std::fprintf(stderr, "pym_ping: %s\n", text);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: pym_ping <installation root>");
  char* resolved = realpath(argv[1], nullptr);
  if (resolved == nullptr) return Fail("no such installation root");
  std::string database = std::string(resolved) + "/UserData/assets.tdx";
  std::free(resolved);
  const std::string name = pp::ShmNameText(pp::ResolvedDatabaseFolder(database));
  Qel::SharedMemory block;
  bool created = false;
  if (!block.Create(name, pp::kBlockSize, &created)) return Fail("no discovery block");
  const auto* record = static_cast<const volatile PymDiscoveryBlock*>(block.GetData());
  const u32 owner = record->ownerProcessId;
  const u32 port = record->port;
  block.Close();
  if (created) Qel::SharedMemory::Remove(name);
  if (owner == pp::kNoProcess || port == 0 || port > 65535) return Fail("no daemon serves it");

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail("no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(u16(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return Fail("cannot connect");
  }
  std::vector<u8> hello;
  ByteOrder::AppendLE32(hello, pp::kTagClient);
  ByteOrder::AppendLE32(hello, pp::kProtocolVersion);
  ByteOrder::AppendLE32(hello, pp::kBuildNumber);
  ByteOrder::AppendLE32(hello, 1);
  ByteOrder::AppendLE32(hello, u32(database.size()));
  hello.insert(hello.end(), database.begin(), database.end());
  u8 answer[4 * (1 + pp::kHandshakeWordCount)];
  const bool ok = Platform::SendAll(fd, hello.data(), hello.size()) &&
                  Platform::ReceiveAll(fd, answer, sizeof answer) &&
                  ByteOrder::LoadLE32(answer) == pp::kTagDaemon;
  if (ok) {
    u8 goodbye[4];
    ByteOrder::StoreLE32(goodbye, pp::kGoodbyeWord);
    Platform::SendAll(fd, goodbye, sizeof goodbye);
  }
  shutdown(fd, SHUT_RDWR);
  close(fd);
  return ok ? 0 : Fail("handshake refused");
}
