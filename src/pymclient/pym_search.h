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
// Reads a search reply: u32 count, then that many KUIDs, and appends them. False, with nothing
// appended, for a reply that holds fewer KUIDs than it announces or a count over the limit.
bool ReadSearchReply(TStream& reply, std::vector<KUID>& out);
