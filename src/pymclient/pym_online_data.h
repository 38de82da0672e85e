// Values that the online-access client keeps per asset in the daemon (its settings store), by the
// asset's KUID and a key. Keys are lower-cased before they are sent, so "Score" and "score" are
// one value.
#pragma once

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "qel/pstring.h"

class TStream;

// The value stored for the asset and key; the empty soup when there is none or the request fails.
Soup PymGetOnlineLocalData(const KUID& asset, const Qel::PString& key);
// Stores the value (one-way); false when it was not sent.
bool PymSetOnlineLocalData(const KUID& asset, const Qel::PString& key, const Soup& value);

// Request payloads, apart from the connection.
void WriteGetOnlineLocalDataRequest(TStream& out, const KUID& asset, const Qel::PString& key);
void WriteSetOnlineLocalDataRequest(TStream& out, const KUID& asset, const Qel::PString& key,
                                    const Soup& value);
