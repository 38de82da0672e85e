// The index as a whole: searches over it and the settings groups kept beside it.
#pragma once

#include "daemon/request_context.h"

namespace PymDaemonSrv::SearchRequests {

void SearchAssets(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetSettingsSoup(RequestContext& context, const u8* payload, size_t size, Response& response);
void SetSettingsSoup(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetSettingString(RequestContext& context, const u8* payload, size_t size, Response& response);

}  // namespace PymDaemonSrv::SearchRequests
