#include "daemon/host_requests.h"

#include <algorithm>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/command_host_registry.h"
#include "daemon/daemon_limits.h"
#include "platform/byte_order.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace PymDaemonSrv::HostRequests {

namespace pp = PymProtocol;

void RegisterCommandHost(RequestContext& context, const u8*, size_t, Response& response) {
  context.hosts.Register(response.connectionId, response.notes);
}

void CommandHostReply(RequestContext& context, const u8* payload, size_t size, Response& response) {
  context.hosts.Deliver(response.connectionId, payload, size);
}

void RunHostCommand(RequestContext& context, const u8* payload, size_t size, Response& response) {
  u32 limitMs = 0;
  if (size >= 4) limitMs = ByteOrder::LoadLE32(payload);
  if (limitMs == 0 || limitMs / 1000 > kMaxLimitSeconds)
    limitMs = kDefaultHostCommandSeconds * 1000;
  const std::vector<u8> command(payload + std::min<size_t>(size, 4), payload + size);
  std::vector<u8> reply;
  const HostCommandOutcome outcome =
      context.hosts.Run(command, reply, limitMs, response.connectionId);
  TBuffer out(&response.body, false);
  out.WriteU32(u32(outcome));
  if (!reply.empty()) out.WriteBytes(reply.data(), u32(reply.size()));
}

HostValidation ValidateOnHost(RequestContext& context, const Qel::PString& folderName,
                              const Qel::String& path, const KUID& kuid, Response& response,
                              std::vector<ResultsLogEntry>& findings) {
  Qel::DynamicBuffer bytes;
  TBuffer command(&bytes, false);
  command.WriteU32(pp::kHostValidate);
  command.WritePString(folderName);
  command.WriteString(path);
  std::vector<u8> reply;
  const HostCommandOutcome outcome =
      context.hosts.Run(std::vector<u8>(bytes.GetData(), bytes.GetData() + bytes.GetDataSize()),
                        reply, kDefaultHostCommandSeconds * 1000, response.connectionId);
  if (outcome == HostCommandOutcome::kNoHost) return HostValidation::kNoHost;
  u8 valid = 0;
  bool whole = false;
  if (outcome == HostCommandOutcome::kAnswered && !reply.empty()) {
    PayloadStream in(reply.data(), reply.size());
    findings = ResultsLog::ReadEntries(in.Get());
    whole = in.Get().ReadU8(valid, 0) && in.Get().GetError() == TStream::kErrorNone;
  }
  if (whole) return valid != 0 ? HostValidation::kValid : HostValidation::kFaulty;
  // The daemon's checks alone would read as a clean result that was never computed.
  const char* why = "the command host refused the command";
  if (outcome == HostCommandOutcome::kHostBusy) why = "the command host stayed busy";
  if (outcome == HostCommandOutcome::kTimedOut) why = "the command host did not answer in time";
  if (outcome == HostCommandOutcome::kHostGone) why = "the command host's connection ended";
  AddFailure(response, kuid,
             std::string("PymDaemon: the asset was not validated by the command host (") + why +
                 ")");
  return HostValidation::kNotRun;
}

}  // namespace PymDaemonSrv::HostRequests
