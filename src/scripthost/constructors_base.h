// The natives of the script class "ConstructorsBase": empty Soup, KUIDList and Image objects,
// made in the calling script's context.
#pragma once

#include "gsruntime/script_arena.h"

namespace GSRuntime {
class GSStack;
}  // namespace GSRuntime

namespace ConstructorsBase {

bool NewSoup(GSRuntime::GSHandle object, GSRuntime::GSStack* stack);
bool NewKUIDList(GSRuntime::GSHandle object, GSRuntime::GSStack* stack);
bool NewImage(GSRuntime::GSHandle object, GSRuntime::GSStack* stack);

}  // namespace ConstructorsBase
