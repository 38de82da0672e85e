#include "pymclient/pym_url_request.h"

#include <unordered_map>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/app_globals.h"
#include "core/stream.h"
#include "core/tcx_dispatcher.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"
#include "qel/critical_section.h"
#include "qel/thread.h"

namespace pp = PymProtocol;

namespace {

constexpr u32 kWaitStepMs = 50;

struct PendingRequestRegistry {
  Qel::CriticalSection lock;
  std::unordered_map<u64, PymUrlRequest*> map;
};

PendingRequestRegistry& Pending() {
  static PendingRequestRegistry* registry = new PendingRequestRegistry();
  return *registry;
}

void Unregister(PymUrlRequest* request) {
  PendingRequestRegistry& r = Pending();
  Qel::SingleLock guard(r.lock);
  const auto found = r.map.find(request->id);
  if (found != r.map.end() && found->second == request) r.map.erase(found);
}

// Under the registry lock. A status that says done is never taken back by an older answer that
// arrives after it.
void StoreStatus(PymUrlRequest* request, const PymUrlStatus& status) {
  if (request->statusReceived && request->status.done && !status.done) return;
  request->status = status;
  request->statusReceived = 1;
}

void MarkLost(PymUrlRequest* request) {
  PymUrlStatus lost;
  lost.done = 1;
  lost.status = pp::kUrlStatusFailed;
  request->status = lost;
  request->statusReceived = 1;
}

}  // namespace

void PymUrlStatus::Read(TStream& in) {
  in.ReadU8(done, 0);
  in.ReadU32(status, 0);
  in.ReadU32(second, 0);
  in.ReadU32(third, 0);
  in.ReadString(path);
  Qel::String reason;
  in.ReadString(reason);
  text = Qel::PString(reason.CStr());
}

PymUrlRequest* StartUrlRequest(const URLRecord& url, u32 option) {
  Qel::PString text;
  url.ToString(text);
  PymRequest r;
  r.Out().WriteU8(0);
  r.Out().WriteString(Qel::String(text.CStr()));
  r.Out().WriteU32(option);
  r.Out().WriteU32(0xFFFFFFFFu);
  WriteSoup(r.Out(), Soup());
  auto* request = new PymUrlRequest();
  u64 id = pp::kNoUrlRequest;
  if (!r.Transact(pp::kOpStartUrlRequest) || !r.In().ReadU64(id, pp::kNoUrlRequest) ||
      id == pp::kNoUrlRequest) {
    // Never registered: no note can come for it, and nobody need ask the daemon about it.
    MarkLost(request);
    return request;
  }
  PymUrlStatus status;
  status.Read(r.In());
  PendingRequestRegistry& registry = Pending();
  Qel::SingleLock guard(registry.lock);
  request->id = id;
  StoreStatus(request, status);
  registry.map[id] = request;
  return request;
}

void RefreshUrlRequestStatus(PymUrlRequest* request, PymUrlStatus& out) {
  PendingRequestRegistry& registry = Pending();
  Qel::SingleLock guard(registry.lock);
  out = request->status;
  if (out.done) return;
  const u64 id = request->id;
  // The completion note is applied on the reader thread under this lock: hold it across the
  // transaction and that thread could never hand the reply over.
  guard.Unlock();
  PymRequest r;
  r.Out().WriteU64(id);
  const bool answered = r.Transact(pp::kOpUrlRequestStatus);
  PymUrlStatus fresh;
  if (answered) fresh.Read(r.In());
  guard.Lock();
  if (answered) {
    StoreStatus(request, fresh);
  } else {
    MarkLost(request);
  }
  out = request->status;
}

u32 GetUrlRequestStatus(PymUrlRequest* request) {
  PymUrlStatus status;
  RefreshUrlRequestStatus(request, status);
  return status.status;
}

bool IsUrlRequestDone(PymUrlRequest* request) {
  {
    Qel::SingleLock guard(Pending().lock);
    if (request->statusReceived && request->status.done) return true;
  }
  PymUrlStatus status;
  RefreshUrlRequestStatus(request, status);
  return status.done != 0;
}

bool GetUrlRequestResult(PymUrlRequest* request, Qel::String& path, Qel::PString& text) {
  PymUrlStatus status;
  RefreshUrlRequestStatus(request, status);
  path = status.path;
  text = status.text;
  return !path.IsEmpty();
}

void CloseUrlRequest(PymUrlRequest* request) {
  if (request == nullptr) return;
  if (request->id != pp::kNoUrlRequest) {
    PymRequest r;
    r.Out().WriteU64(request->id);
    r.Post(pp::kOpCloseUrlRequest);
  }
  DeleteUrlRequest(request);
}

void DeleteUrlRequest(PymUrlRequest* request) {
  if (request == nullptr) return;
  Unregister(request);
  delete request;
}

void CompleteUrlRequest(u64 id, TStream& stream) {
  PendingRequestRegistry& registry = Pending();
  Qel::SingleLock guard(registry.lock);
  const auto found = registry.map.find(id);
  if (found == registry.map.end()) return;
  PymUrlStatus status;
  status.Read(stream);
  StoreStatus(found->second, status);
}

void WaitForUrlRequest(PymUrlRequest* request) {
  while (!IsUrlRequestDone(request)) {
    if (IsMainThread()) {
      WaitForMainThreadWork(kWaitStepMs);
      PumpMainThread();
    } else {
      Qel::Sleep(kWaitStepMs);
    }
  }
}
