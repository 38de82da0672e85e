// The daemon itself: keep-alive, answers, closing, repairs, idle polls and build lists.
#pragma once

#include "daemon/request_context.h"

namespace PymDaemonSrv::SessionRequests {

// The settings group and tag whose flag the texture-conversion request answers.
inline constexpr const char* kTextureSettingsGroup = "textures";
inline constexpr const char* kTextureConvertTag = "convert";

void KeepAlive(RequestContext& context, const u8* payload, size_t size, Response& response);
void Answer(RequestContext& context, const u8* payload, size_t size, Response& response);
void CloseDaemon(RequestContext& context, const u8* payload, size_t size, Response& response);
void StartRepair(RequestContext& context, const u8* payload, size_t size, Response& response);
void RepairProgress(RequestContext& context, const u8* payload, size_t size, Response& response);
void RequestIdle(RequestContext& context, const u8* payload, size_t size, Response& response);
void IsIdleReached(RequestContext& context, const u8* payload, size_t size, Response& response);
void TextureConvertSetting(RequestContext& context, const u8* payload, size_t size,
                           Response& response);
void ListBuilds(RequestContext& context, const u8* payload, size_t size, Response& response);

}  // namespace PymDaemonSrv::SessionRequests
