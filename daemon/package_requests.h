// Packages: an asset written as a package entry, and installs from a package or a folder.
#pragma once

#include "daemon/request_context.h"

namespace PymDaemonSrv::PackageRequests {

void SaveAssetToCdp(RequestContext& context, const u8* payload, size_t size, Response& response);
void InstallCdp(RequestContext& context, const u8* payload, size_t size, Response& response);
void InstallAssetFromFolder(RequestContext& context, const u8* payload, size_t size,
                            Response& response);

}  // namespace PymDaemonSrv::PackageRequests
