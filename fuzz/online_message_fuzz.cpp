// Hostile messages from the online-access service through the client's message reader: login
// replies, asset messages, group traffic for groups that are there and that are not, and the
// stored-message file. Nothing may crash or read past the input; the stored list stays within
// its cap whatever arrives.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "online/online_access_client_endpoint.h"
#include "online_fuzz_daemon.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class FuzzGroup : public OnlineAccessClientEndpoint::OnlineGroup {
 public:
  bool MatchesRequest(u32 id) override { return id == 1; }
  void OnOpened(const Qel::PString&, TStream& rest) override { Drain(rest); }
  void OnUsersMessage(TStream& rest) override { Drain(rest); }
  void OnClosed() override {}
  void OnClientRemoved(OnlineAccessClientBase*) override {}
  bool MatchesName(const Qel::PString& name) override { return name.Length() == 1; }
  void OnGroupMessage(std::unique_ptr<OnlineGroupMessage>) override {}

 private:
  static void Drain(TStream& rest) {
    u32 word = 0;
    while (rest.ReadU32(word, 0)) {
    }
  }
};

class FuzzClient : public OnlineAccessClientBase {
 public:
  FuzzClient() : OnlineAccessClientBase(KUID(1, 1, 0)) {}
  void ReceiveMessage(std::unique_ptr<OnlineMessage>) override {}
};

}  // namespace

// Input: messages, each a little-endian u16 length and that many bytes; the whole input is
// then read as a stored-message file too.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  SetApplicationTime(0.0);
  OnlineAccessClientEndpoint endpoint(std::make_unique<FixedDaemon>());
  FuzzGroup group;
  FuzzClient client;
  endpoint.AddGroup(&group);
  endpoint.AddClient(&client);
  size_t at = 0;
  while (at + 2 <= size) {
    size_t length = ByteOrder::LoadLE16(data + at);
    at += 2;
    if (length > size - at) length = size - at;
    TMEPacket packet(data + at, u32(length));
    endpoint.HandlePacket(&packet);
    at += length;
    Check(endpoint.GetStoredMessageCount() <= OnlineAccessClientEndpoint::kMaxStoredMessages);
  }
  Qel::DynamicBuffer buffer;
  if (size != 0) buffer.Write(data, u32(size));
  buffer.SetPosition(0);
  TBuffer file(&buffer, false);
  endpoint.LoadStoredMessages(file);
  Check(endpoint.GetStoredMessageCount() <= OnlineAccessClientEndpoint::kMaxStoredMessages);
  endpoint.RemoveClient(&client);
  endpoint.RemoveGroup(&group);
  return 0;
}
