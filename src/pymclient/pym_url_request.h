// URLs that the daemon fetches on the tool's behalf: starting, following, closing and the
// completion notes. Each started request is registered by its daemon id so that a completion
// note (kind 4), which arrives on the reader thread, reaches it.
#pragma once

#include "core/url_record.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class TStream;

// The status of a request as the daemon last reported it.
struct PymUrlStatus {
  u8 done = 0;
  u32 status = 0;
  u32 second = 0;
  u32 third = 0;
  Qel::String path;
  Qel::PString text;

  // Fields in wire order; a record cut short keeps the defaults of what is missing.
  void Read(TStream& in);
};

// Owned by the caller that started it; give it back with CloseUrlRequest or DeleteUrlRequest.
struct PymUrlRequest {
  // The daemon's id; PymProtocol::kNoUrlRequest when the start failed.
  u64 id = ~0ull;
  u8 statusReceived = 0;
  PymUrlStatus status;
};

// Asks the daemon to fetch the URL. A request whose start failed is not registered and counts as
// done, without a result.
PymUrlRequest* StartUrlRequest(const URLRecord& url, u32 option);
// Copies the request's status out and, while it is not done, asks the daemon for a newer one.
// A request that the daemon cannot be asked about any more (the connection is gone, and its
// requests with it) becomes done without a result.
void RefreshUrlRequestStatus(PymUrlRequest* request, PymUrlStatus& out);
u32 GetUrlRequestStatus(PymUrlRequest* request);
bool IsUrlRequestDone(PymUrlRequest* request);
// True when the request has a result file.
bool GetUrlRequestResult(PymUrlRequest* request, Qel::String& path, Qel::PString& text);
// Tells the daemon to cancel and forget the request, unregisters it and frees it.
void CloseUrlRequest(PymUrlRequest* request);
// Unregisters and frees it without telling the daemon.
void DeleteUrlRequest(PymUrlRequest* request);
// The handler of completion notes: the status record of the registered request `id`; notes for
// other ids change nothing.
void CompleteUrlRequest(u64 id, TStream& stream);

// Waits until the request is done: on the main thread it keeps serving main-thread calls, so that
// work queued for it by other threads still runs.
void WaitForUrlRequest(PymUrlRequest* request);
