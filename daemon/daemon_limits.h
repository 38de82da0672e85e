// The daemon's own limits on what a client or a content folder may hand it. The wire constants
// it shares with the client live in pymclient/pym_protocol.h.
#pragma once

#include <cstddef>

#include "qel/types.h"

namespace PymDaemonSrv {

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
constexpr u64 kMaxConfigFileSize = 64ull * 1024 * 1024;
// How long a store call waits for another process's lock on the database.
constexpr int kStoreBusyTimeoutMs = 10000;

}  // namespace PymDaemonSrv
