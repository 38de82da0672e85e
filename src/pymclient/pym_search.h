// The asset search request.
#pragma once

#include <vector>

#include "core/kuid.h"
#include "qel/types.h"

class PymFilterElement;
class TStream;

// Searches with a filter tree (null: no filter) and appends the KUIDs found to `out`; on failure
// `out` is left as it was. True when the request succeeded and its reply read whole.
bool PymSearchAssets(const PymFilterElement* filter, std::vector<KUID>& out);
// Reads a search reply: u32 count, then that many KUIDs. Reading stops at the first short read
// and a count over the limit is refused, so a hostile count appends only what the reply holds.
// False for a short reply or a refused count; the KUIDs read so far stay appended.
bool ReadSearchReply(TStream& reply, std::vector<KUID>& out);
