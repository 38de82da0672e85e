// The units a compile would be built from, found by parsing alone: a library built before is
// still good only while its includes resolve to the same sources.
#pragma once

#include <utility>
#include <vector>

#include "qel/types.h"

// The (sourceId, nameId) of the unit `name` and of every unit it includes, in the order the
// library's unit table lists them (the unit first, then each include as a compile first reaches
// it), found on the calling thread's include search list as it stands. False when a unit cannot
// be read or parsed; nothing is reported.
bool CollectUnitIdentities(const char* name, std::vector<std::pair<u32, u32>>* identities);
