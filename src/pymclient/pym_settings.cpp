#include "pymclient/pym_settings.h"

#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/stream.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"

namespace {

// Request and reply buffers grow in 512-byte steps.
constexpr u32 kBufferStep = 512;

// Sends the request and leaves the reply rewound for reading; false when the transaction failed.
bool Transact(u32 opcode, TBuffer& request, TBuffer& reply) {
  request.Rewind();
  if (!PymTransact(opcode, request, reply, nullptr, nullptr, false)) return false;
  reply.Rewind();
  return true;
}

bool SendSetSettingsSoup(const Qel::PString& group, const Soup& soup) {
  Qel::DynamicBuffer requestBytes(kBufferStep);
  Qel::DynamicBuffer replyBytes(kBufferStep);
  TBuffer request(&requestBytes, false);
  TBuffer reply(&replyBytes, false);
  WriteSetSettingsSoupRequest(request, group, soup);
  if (!Transact(PymProtocol::kOpSetSettingsSoup, request, reply)) return false;
  // Our daemon answers one byte, 0 when it refused the soup; an empty reply counts as accepted.
  u8 committed = 1;
  if (reply.GetLength() >= 1) reply.ReadU8(committed, 0);
  return committed != 0;
}

}  // namespace

void WriteGetSettingsSoupRequest(TStream& out, const Qel::PString& group) {
  out.WritePString(group);
}

void WriteSetSettingsSoupRequest(TStream& out, const Qel::PString& group, const Soup& soup) {
  out.WritePString(group);
  WriteSoup(out, soup.IsNull() ? Soup() : soup);
}

void WriteGetSettingStringRequest(TStream& out, const Qel::PString& group,
                                  const Qel::PString& key) {
  out.WritePString(group);
  out.WritePString(key);
}

Soup ReadSettingsSoupReply(TStream& reply) {
  Soup soup;
  if (!ReadSoupTree(reply, soup)) soup.Clear();
  return soup;
}

Qel::PString ReadSettingStringReply(TStream& reply) {
  Qel::PString value;
  if (!reply.ReadPString(value)) return Qel::PString();
  return value;
}

Soup PymGetSettingsSoup(const Qel::PString& group) {
  Qel::DynamicBuffer requestBytes(kBufferStep);
  Qel::DynamicBuffer replyBytes(kBufferStep);
  TBuffer request(&requestBytes, false);
  TBuffer reply(&replyBytes, false);
  WriteGetSettingsSoupRequest(request, group);
  if (!Transact(PymProtocol::kOpGetSettingsSoup, request, reply)) return Soup();
  return ReadSettingsSoupReply(reply);
}

bool PymSetSettingsSoup(const Qel::PString& group, const Soup& soup) {
  return SendSetSettingsSoup(group, soup);
}

bool PymSetEmptySettingsSoup(const Qel::PString& group) {
  return SendSetSettingsSoup(group, Soup());
}

Qel::PString PymGetSettingString(const Qel::PString& group, const Qel::PString& key) {
  Qel::DynamicBuffer requestBytes(kBufferStep);
  Qel::DynamicBuffer replyBytes(kBufferStep);
  TBuffer request(&requestBytes, false);
  TBuffer reply(&replyBytes, false);
  WriteGetSettingStringRequest(request, group, key);
  if (!Transact(PymProtocol::kOpGetSettingString, request, reply)) return Qel::PString();
  return ReadSettingStringReply(reply);
}
