#include "pymclient/pym_search.h"

#include <algorithm>

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
  // A reply that carries fewer KUIDs than it announces fails whole: a shorter list would pass
  // for the full answer.
  std::vector<KUID> found;
  found.reserve(std::min<u32>(count, 4096));
  for (u32 i = 0; i < count; ++i) {
    const KUID kuid = KUID::Read(reply);
    if (reply.GetError() != TStream::kErrorNone) return false;
    found.push_back(kuid);
  }
  out.insert(out.end(), found.begin(), found.end());
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
