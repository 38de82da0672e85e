// Limits of the network layer: what a host name may be and how long resolving one may take.
#pragma once

#include "qel/types.h"

// Host names this long or longer are refused (the transport is not connected).
inline constexpr u32 kHostBufferSize = 512;
// How long a caller of ResolveHost waits for the resolver thread.
inline constexpr u32 kResolveTimeLimitMs = 5000;
