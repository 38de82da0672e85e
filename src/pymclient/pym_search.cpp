#include "pymclient/pym_search.h"

#include "core/buffer_stream.h"
#include "core/stream.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"

namespace {

// The stream form of a KUID.
constexpr u32 kKuidWireSize = 8;

}  // namespace

bool ReadSearchReply(TStream& reply, std::vector<KUID>& out) {
  u32 count = 0;
  if (!reply.ReadU32(count)) return false;
  // A count beyond what any reply could hold is refused outright.
  if (count > PymProtocol::kMaxMessageLength / kKuidWireSize) return false;
  for (u32 i = 0; i < count; ++i) {
    const KUID kuid = KUID::Read(reply);
    if (reply.GetError() != TStream::kErrorNone) return false;
    out.push_back(kuid);
  }
  return true;
}

bool PymSearchAssets(const PymFilterElement* filter, std::vector<KUID>& out) {
  TBuffer request(new Qel::DynamicBuffer(), true);
  if (!WriteFilterElement(request, filter)) return false;
  request.Seek(0, 0);
  TBuffer reply(new Qel::DynamicBuffer(), true);
  if (!PymTransact(PymProtocol::kOpSearchAssets, request, reply, nullptr, nullptr, false)) {
    return false;
  }
  reply.Seek(0, 0);
  return ReadSearchReply(reply, out);
}
