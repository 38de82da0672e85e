#include "pymclient/pym_settings.h"

#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/stream.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"
#include "qel/dynamic_buffer.h"

namespace {

bool SendSetSettingsSoup(const Qel::PString& group, const Soup& soup, ResultsLog* log) {
  PymRequest r;
  WriteSetSettingsSoupRequest(r.Out(), group, soup);
  if (!r.Transact(PymProtocol::kOpSetSettingsSoup, log)) return false;
  // Our daemon answers one byte, 0 when it refused the soup; an empty reply counts as accepted.
  u8 committed = 1;
  if (r.In().GetLength() >= 1) r.In().ReadU8(committed, 0);
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
  PymRequest r;
  WriteGetSettingsSoupRequest(r.Out(), group);
  if (!r.Transact(PymProtocol::kOpGetSettingsSoup)) return Soup();
  return ReadSettingsSoupReply(r.In());
}

bool PymSetSettingsSoup(const Qel::PString& group, const Soup& soup, ResultsLog* log) {
  return SendSetSettingsSoup(group, soup, log);
}

bool PymSetEmptySettingsSoup(const Qel::PString& group) {
  return SendSetSettingsSoup(group, Soup(), nullptr);
}

Qel::PString PymGetSettingString(const Qel::PString& group, const Qel::PString& key) {
  PymRequest r;
  WriteGetSettingStringRequest(r.Out(), group, key);
  if (!r.Transact(PymProtocol::kOpGetSettingString)) return Qel::PString();
  return ReadSettingStringReply(r.In());
}
