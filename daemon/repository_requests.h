// The repository: access, the URL transfers the daemon runs for the client, and picking
// the offered versions that are not installed.
#pragma once

#include "daemon/request_context.h"

namespace PymDaemonSrv::RepositoryRequests {

void VantryAccess(RequestContext& context, const u8* payload, size_t size, Response& response);
void StartUrlRequest(RequestContext& context, const u8* payload, size_t size, Response& response);
void CloseUrlRequest(RequestContext& context, const u8* payload, size_t size, Response& response);
void UrlRequestStatus(RequestContext& context, const u8* payload, size_t size, Response& response);
void PickVnyItems(RequestContext& context, const u8* payload, size_t size, Response& response);

}  // namespace PymDaemonSrv::RepositoryRequests
