// The daemon's own limits on what a client or a content folder may hand it and on what peers
// may cost it. The README lists them; the settable ones are defaults of command-line options.
// The wire constants it shares with the client live in pymclient/pym_protocol.h.
#pragma once

#include <cstddef>

#include "assetdata/cdp_extract.h"
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
// How long a command handed to a command host may go unanswered, unless its sender says.
inline constexpr u32 kDefaultHostCommandSeconds = 300;
// How long a starting daemon waits for the store's lock (--lock-wait-seconds): a daemon killed
// just before keeps it until the system has ended it. The tool passes a wait shorter than its
// own for the daemon, so that it learns why one that never came gave up.
inline constexpr u32 kDefaultLockWaitSeconds = 50;
// How long a daemon waiting for the store's lock gives the daemon recorded in discovery to
// answer a handshake before it takes it for one going away (and waits on).
inline constexpr u32 kServingAnswerMs = 1000;
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

// Bytes a connection reads ahead of its reader.
constexpr size_t kReadBufferSize = 64 * 1024;
// The database path of a handshake is a path; anything longer is not a client of ours.
constexpr u32 kMaxHandshakePath = 64 * 1024;
// Payloads grow by at most this much per step, so a false length costs no more than the bytes
// that really arrive.
constexpr size_t kPayloadStep = 1024 * 1024;
// Longest filter text accepted; the stream string form cannot carry more.
constexpr u32 kMaxFilterText = 65535;
// The longest group or key name taken from a request.
constexpr u32 kMaxNameLength = 1024;
// Configuration files larger than this are refused rather than read into memory.
constexpr u64 kMaxConfigFileSize = kMaxConfigFileBytes;
// Assets open at once through handles, over all clients.
constexpr u32 kMaxOpenHandles = 65536;
// Entries of a KUID list taken from a request.
constexpr u32 kMaxKuidListEntries = 1u << 20;
// How long a store call waits for another process's lock on the database.
constexpr int kStoreBusyTimeoutMs = 10000;

}  // namespace PymDaemonSrv
