// The natives of the script class "LinkedList", which keeps arrays of "LinkedData" records (a
// name, a number and an object, the record's first three members): a sort by name and an append
// that can refuse an equal record.
#pragma once

#include "gsruntime/script_arena.h"

namespace GSRuntime {
class GSStack;
}  // namespace GSRuntime

namespace LinkedList {

// SortInternal(LinkedData[]): in place by name, ascending, by selection sort (so records of equal
// names may change their order).
bool SortInternal(GSRuntime::GSHandle object, GSRuntime::GSStack* stack);
// AddInternal(LinkedData[], LinkedData, bool unique): appends the record unless it is null, or
// `unique` is set and a record equal in all three members is there.
bool AddInternal(GSRuntime::GSHandle object, GSRuntime::GSStack* stack);

}  // namespace LinkedList
