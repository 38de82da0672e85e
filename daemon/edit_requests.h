// Assets opened through handles: opening, editing copies, commit, revert, creation and
// deletion.
#pragma once

#include "daemon/request_context.h"

namespace PymDaemonSrv::EditRequests {

void OpenAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void ReleaseAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetOpenAssetPath(RequestContext& context, const u8* payload, size_t size, Response& response);
void RevertAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void CommitAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void CreateAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void DeleteAsset(RequestContext& context, const u8* payload, size_t size, Response& response);

}  // namespace PymDaemonSrv::EditRequests
