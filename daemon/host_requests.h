// Command hosts: registering a connection as one, passing commands to it and its replies
// back.
#pragma once

#include <optional>

#include "daemon/request_context.h"

namespace PymDaemonSrv::HostRequests {

void RegisterCommandHost(RequestContext& context, const u8* payload, size_t size,
                         Response& response);
void CommandHostReply(RequestContext& context, const u8* payload, size_t size, Response& response);
void RunHostCommand(RequestContext& context, const u8* payload, size_t size, Response& response);
// Hands the validation to a registered command host, whose findings join the response's; the
// host's result, or nothing when no host answered.
std::optional<bool> ValidateOnHost(RequestContext& context, const Qel::PString& folderName,
                    const Qel::String& path, Response& response);

}  // namespace PymDaemonSrv::HostRequests
