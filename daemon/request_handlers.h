// The requests that the daemon serves: each turns a request payload into a reply body and, when
// the request has something to report, results that go to the client before the reply. The
// handlers live in files by theme; one table maps each opcode to its handler.
#pragma once

#include <cstddef>

#include "daemon/online_requests.h"
#include "daemon/request_context.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class AssetStore;

using RequestHandler = void (*)(RequestContext& context, const u8* payload, size_t size,
                                Response& response);

// The handler of an opcode, or null for one the daemon does not know.
RequestHandler FindRequestHandler(u32 opcode);

class RequestHandlers {
 public:
  explicit RequestHandlers(AssetStore& store);

  // Unknown opcodes leave the body empty, so that every transaction still gets its reply.
  void Handle(u32 opcode, const u8* payload, size_t size, Response& response);
  // Whether an install of the connection holds an asset: its command still runs, however long
  // it writes files without a word to the daemon.
  bool HoldsInstall(u64 connectionId);
  // Releases the assets that the connection still holds open, and ends its installs' holds.
  void ReleaseConnection(u64 connectionId);
  // Waits for a repair that still runs; the store must stay open until it returns.
  void WaitForBackgroundWork() {
    context_.repair.Join();
    context_.urls.CancelAll();
  }

 private:
  RequestContext context_;
  OnlineRequests online_{context_.store, context_.urls};
};

}  // namespace PymDaemonSrv
