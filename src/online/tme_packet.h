// One message of the reliable channel: a memory stream holding the payload, plus the header
// values and send bookkeeping that travel with it.
#pragma once

#include "core/buffer_stream.h"
#include "qel/types.h"

class TMEPacket : public TBuffer {
 public:
  // The channel's limits, the same for the side that splits and the side that joins: the bytes
  // of one payload, whole or joined from fragments, and the fragments of one packet.
  static constexpr u32 kMaxPayload = 65536;
  static constexpr u32 kMaxFragments = 127;

  TMEPacket();
  // A packet whose payload is a copy of the given bytes, positioned at its start.
  TMEPacket(const u8* payload, u32 length);

  const u8* GetPayload() const;
  u8* GetPayload();
  u32 GetPayloadLength() const;

  u8 sequence = 0;  // 0 unreliable; 1..255 reliable, given when it leaves the send queue
  u8 acknowledgement = 0;
  u8 sendCount = 0;
  f64 lastSendTime = 0.0;
  u32 ackCookie = 0;  // handed to OnAcknowledged when non-zero
};
