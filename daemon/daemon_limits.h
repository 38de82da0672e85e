// The daemon's limits on what peers may cost it. The README lists them; the settable ones are
// defaults of command-line options.
#pragma once

#include <cstddef>

#include "qel/types.h"

namespace PymDaemonSrv {

// Connections served at once (--max-connections); one more is accepted and closed at once.
inline constexpr u32 kDefaultMaxConnections = 256;
// A peer must finish its handshake within this time (--handshake-seconds).
inline constexpr u32 kDefaultHandshakeSeconds = 10;
// A connection silent for this long between requests is closed (--idle-seconds). Far longer
// than the command host's keep-alive of a few seconds, and than a command's pause between
// requests.
inline constexpr u32 kDefaultIdleSeconds = 600;
// Upper bound of any of the time options.
inline constexpr u32 kMaxLimitSeconds = 24 * 60 * 60;

// After a failed accept (no descriptors, no memory) the listener waits before it tries again,
// doubling the pause up to the longest.
inline constexpr u32 kAcceptBackoffFirstMs = 10;
inline constexpr u32 kAcceptBackoffLongestMs = 1000;

// Elements (groups and terms) of one search filter. A search costs time in assets times terms;
// the KUIDs of an asset set do not count, as they are looked up, not walked.
inline constexpr u32 kMaxFilterTerms = 1000;

// The log file is begun anew at this size; the one before is kept as "pymdaemon.log.1".
inline constexpr u64 kLogFileMaxBytes = 4u << 20;

}  // namespace PymDaemonSrv
