#include "pymclient/pym_online_data.h"

#include "assetdata/soup_binary.h"
#include "core/stream.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"

void WriteGetOnlineLocalDataRequest(TStream& out, const KUID& asset, const Qel::PString& key) {
  out.WriteKUID(asset);
  out.WritePString(key.Lower());
}

void WriteSetOnlineLocalDataRequest(TStream& out, const KUID& asset, const Qel::PString& key,
                                    const Soup& value) {
  WriteGetOnlineLocalDataRequest(out, asset, key);
  WriteSoup(out, value.IsNull() ? Soup() : value);
}

Soup PymGetOnlineLocalData(const KUID& asset, const Qel::PString& key) {
  PymRequest r;
  WriteGetOnlineLocalDataRequest(r.Out(), asset, key);
  Soup value;
  if (!r.Transact(PymProtocol::kOpGetOnlineLocalData) || !ReadSoupTree(r.In(), value)) {
    value.Clear();
  }
  return value;
}

bool PymSetOnlineLocalData(const KUID& asset, const Qel::PString& key, const Soup& value) {
  PymRequest r;
  WriteSetOnlineLocalDataRequest(r.Out(), asset, key, value);
  return r.Post(PymProtocol::kOpSetOnlineLocalData);
}
