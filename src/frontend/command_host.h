// The command host: the tool as a long-running worker of the daemon. After registering, it serves
// the daemon's numbered commands (validation, texture conversion, writing and installing package
// archives) one at a time on the main thread and answers each with a reply that begins with the
// command's results log.
#pragma once

#include "qel/types.h"

class TBuffer;
class TStream;

enum class CommandHostEnd {
  kUnreached,    // the daemon could not be reached to register with; nothing was served
  kStopped,      // the daemon stopped in order, or a console control signal asked to close
  kDaemonGone,   // the connection ended without the daemon stopping in order (killed, lost)
};

// Serves until the connection it registered on ends or a console control signal asks to close,
// then runs what is still queued for the main thread. The connection is kept alive meanwhile,
// however long one command takes.
CommandHostEnd RunCommandHost();

// One command, positioned at its id (PymProtocol::kHost*); what it writes into `reply` goes back to
// the daemon. A request that ends before its fields do, and an unknown id, get an empty reply.
//   0 validate:        name content folder, text asset path  -> log, u8 validation result
//   1 texture convert: name content folder, text path        -> log, u32 conversion status
//   2 save archive:    u32 key, text file, u32 n, n KUIDs    -> log, u32 1 when every asset
//                                                               was archived and the file written
//   3 install archive: u32 key, text file, u32 n, n KUIDs    -> log, u32 m, m KUIDs not installed
void CommandHostCallback(TStream& request, TBuffer& reply);
