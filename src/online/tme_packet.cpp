#include "online/tme_packet.h"

#include "qel/dynamic_buffer.h"

TMEPacket::TMEPacket() : TBuffer(new Qel::DynamicBuffer(), true) {}

TMEPacket::TMEPacket(const u8* payload, u32 length) : TMEPacket() {
  if (length != 0) Write(payload, length);
  Rewind();
}

const u8* TMEPacket::GetPayload() const {
  return GetBuffer()->GetData();
}

u8* TMEPacket::GetPayload() {
  return GetBuffer()->GetData();
}

u32 TMEPacket::GetPayloadLength() const {
  return GetBuffer()->GetDataSize();
}
