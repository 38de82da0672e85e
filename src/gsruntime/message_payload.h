// The soup a message carries. The runtime keeps it as a soup handle in the message; scripts give
// and receive it as a Soup object, a class of the script host, which installs the two
// conversions here at start-up.
#pragma once

#include "assetdata/soup.h"
#include "gsruntime/script_arena.h"

namespace GSRuntime {

class GSContext;
class GSObjectReference;

struct GSPayloadHooks {
  // The soup an object carries; null for an object that is no soup.
  const Soup* (*soupOf)(GSObjectReference* object) = nullptr;
  // A new script object over the soup, made in `context` and counted for the caller; 0 when none
  // can be made.
  GSHandle (*wrap)(GSContext* context, const Soup& soup) = nullptr;
};
void SetPayloadHooks(const GSPayloadHooks& hooks);

// The payload a message sent with the object `argument` carries: a copy of its soup less the
// private tags; the empty handle when the argument is null or no soup.
Soup PayloadOf(GSHandle argument);
// Removes every top-level tag whose name begins with "__".
void StripPrivateTags(Soup& soup);
// The script object of a message's payload in `context`, counted; 0 when there is no payload.
GSHandle WrapPayload(GSContext* context, const Soup& payload);

}  // namespace GSRuntime
