// Command hosts: registering a connection as one, passing commands to it and its replies
// back.
#pragma once

#include <vector>

#include "daemon/request_context.h"

namespace PymDaemonSrv::HostRequests {

void RegisterCommandHost(RequestContext& context, const u8* payload, size_t size,
                         Response& response);
void CommandHostReply(RequestContext& context, const u8* payload, size_t size, Response& response);
void RunHostCommand(RequestContext& context, const u8* payload, size_t size, Response& response);
// What a command host made of a validation handed to it.
enum class HostValidation {
  kValid,
  kFaulty,
  kNoHost,  // none is registered: the daemon's own checks are the whole validation
  kNotRun,  // the host was busy past the limit, silent, gone or refused; the response says so
};
// Hands the validation to a registered command host; its findings go to `findings`, for the
// caller to pass on once it knows they are about the files there now.
HostValidation ValidateOnHost(RequestContext& context, const Qel::PString& folderName,
                              const Qel::String& path, const KUID& kuid, Response& response,
                              std::vector<ResultsLogEntry>& findings);

}  // namespace PymDaemonSrv::HostRequests
