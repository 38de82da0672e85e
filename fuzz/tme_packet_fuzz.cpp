// Hostile datagrams through the reliable channel's reader: header checks, acknowledgements,
// holding, reassembly and unscrambling. Whatever arrives, memory stays within the caps and no
// delivered packet exceeds the largest payload.
#include <cstdint>
#include <cstdlib>

#include "core/app_globals.h"
#include "online/tme_endpoint.h"
#include "online/udp_socket.h"
#include "platform/byte_order.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class FuzzEndpoint : public TMEEndpoint {
 public:
  void HandlePacket(TMEPacket* packet) override {
    Check(packet->GetPayloadLength() <= TMEPacket::kMaxPayload);
    // The layer above answers some messages; queueing from the handler must be safe.
    if (packet->GetPayloadLength() % 7 == 3) {
      auto reply = std::make_unique<TMEPacket>(packet->GetPayload(), 1);
      QueueMessage(reply);
    }
  }
};

}  // namespace

// Input: one flags byte (bit 0 fragment mode, bit 1 a channel key), then datagrams, each a
// little-endian u16 length and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  // Registered with no transport, so every send fails, as on a dead socket. It outlives the
  // endpoint, whose destructor still says goodbye to it.
  UdpPeer peer;
  FuzzEndpoint endpoint;
  endpoint.SetMode(data[0] & 1);
  SetApplicationTime(0.0);
  endpoint.Connect(&peer);
  if (data[0] & 2) endpoint.SetChannelKey("fuzz-channel-key");
  f64 now = 0.0;
  size_t at = 1;
  while (at + 2 <= size && endpoint.IsConnected()) {
    size_t length = ByteOrder::LoadLE16(data + at);
    at += 2;
    if (length > size - at) length = size - at;
    endpoint.ReceiveDatagram(data + at, u32(length));
    at += length;
    now += 0.5;
    SetApplicationTime(now);
    endpoint.Update();
    const TMEReassembly& reassembly = endpoint.GetReassembly();
    Check(reassembly.GetOpenCount() <= TMEReassembly::kMaxOpenAssemblies);
    Check(endpoint.GetHeldCount() <= TMEEndpoint::kMaxHeld);
    for (int s = 0; s < 256; ++s) Check(reassembly.GetBytes(u8(s)) <= TMEPacket::kMaxPayload);
  }
  return 0;
}
