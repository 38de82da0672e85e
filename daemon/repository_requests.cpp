#include "daemon/repository_requests.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_limits.h"
#include "daemon/url_requests.h"
#include "pymclient/pym_protocol.h"
#include "qel/string.h"

namespace PymDaemonSrv::RepositoryRequests {

namespace pp = PymProtocol;

void VantryAccess(RequestContext& context, const u8*, size_t, Response& response) {
  // The local repository beside UserData stands in for the online one.
  struct stat st {};
  const bool allowed =
      stat((context.store.UserData() + "/../Repository").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  TBuffer out(&response.body, false);
  out.WriteU8(allowed ? 1 : 0);
  out.WriteU32(allowed ? 1 : 0);
}

void StartUrlRequest(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u8 kind = 0;
  Qel::String url;
  u32 option = pp::kUrlOptionPackage;
  in.Get().ReadU8(kind, 0);
  in.Get().ReadString(url);
  in.Get().ReadU32(option, pp::kUrlOptionPackage);
  UrlStatus status;
  const u64 id =
      context.urls.Start(std::string(url.View()), option, context.store.UserData() + "/temp",
                         response.connectionId, response.notes, status);
  TBuffer out(&response.body, false);
  out.WriteU64(id);
  status.Write(out);
}

void CloseUrlRequest(RequestContext& context, const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  u64 id = pp::kNoUrlRequest;
  if (in.Get().ReadU64(id, pp::kNoUrlRequest)) context.urls.Forget(id);
}

void UrlRequestStatus(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 id = pp::kNoUrlRequest;
  in.Get().ReadU64(id, pp::kNoUrlRequest);
  TBuffer out(&response.body, false);
  context.urls.Status(id).Write(out);
}

void PickVnyItems(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 count = 0;
  in.Get().ReadU32(count, 0);
  std::vector<u32> picked;
  for (u32 i = 0; i < count && i < kMaxKuidListEntries; ++i) {
    KUID required;
    KUID latest;
    u32 packageSize = 0;
    if (!ReadKuid(in.Get(), required) || !ReadKuid(in.Get(), latest) ||
        !in.Get().ReadU32(packageSize, 0)) {
      break;
    }
    // Wanted unless that version, or a newer one, is installed.
    AssetRecord r;
    KUID newest;
    const bool have = context.store.GetAsset(latest, r) ||
                      (context.NewestVersion(latest, newest) && newest.version >= latest.version);
    if (!latest.IsNull() && !have) picked.push_back(i);
  }
  TBuffer out(&response.body, false);
  out.WriteU32(u32(picked.size()));
  for (const u32 index : picked) out.WriteU32(index);
}

}  // namespace PymDaemonSrv::RepositoryRequests
