// Questions about installed assets: configuration, information, location, versions,
// dependencies and checks, and the small changes that need no editing copy (favourite, keywords).
#pragma once

#include "daemon/request_context.h"

namespace PymDaemonSrv::AssetRequests {

void GetConfigSoup(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetAssetInfo(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetAssetLocation(RequestContext& context, const u8* payload, size_t size, Response& response);
void ResolveKuid(RequestContext& context, const u8* payload, size_t size, Response& response);
void LatestVersion(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetDescription(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetThumbnailPath(RequestContext& context, const u8* payload, size_t size, Response& response);
void ValidateAssetPath(RequestContext& context, const u8* payload, size_t size, Response& response);
void DependenciesOfList(RequestContext& context, const u8* payload, size_t size,
                        Response& response);
void GetObsoletes(RequestContext& context, const u8* payload, size_t size, Response& response);
void GenerateKuid(RequestContext& context, const u8* payload, size_t size, Response& response);
void CreatorName(RequestContext& context, const u8* payload, size_t size, Response& response);
void SetFavourite(RequestContext& context, const u8* payload, size_t size, Response& response);
void SetKeywords(RequestContext& context, const u8* payload, size_t size, Response& response);

}  // namespace PymDaemonSrv::AssetRequests
