#include "daemon/session_requests.h"

#include <string>

#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_store.h"
#include "pymclient/pym_protocol.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace PymDaemonSrv::SessionRequests {

namespace pp = PymProtocol;

void KeepAlive(RequestContext&, const u8*, size_t, Response&) {}

// The daemon asks no questions yet, so an answer has nothing to wake.
void Answer(RequestContext&, const u8*, size_t, Response&) {}

void CloseDaemon(RequestContext&, const u8*, size_t, Response& response) {
  response.closeDaemon = true;
}

void StartRepair(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 level = pp::kRepairDefault;
  in.Get().ReadU32(level, pp::kRepairDefault);
  if (!context.repair.Start(level, response.requestId, response.connectionId)) {
    AddResult(response, ResultsLog::kError, KUID::Null(), "PymDaemon: a repair is running already");
  }
}

void RepairProgress(RequestContext& context, const u8*, size_t, Response& response) {
  u32 requestId = 0;
  if (context.repair.TakeResults(response.results, requestId)) response.resultsId = requestId;
  bool running = false;
  f32 progress = 0.0f;
  std::string status;
  context.repair.GetProgress(running, progress, status);
  TBuffer out(&response.body, false);
  out.WriteU8(running ? 1 : 0);
  out.WriteFloat(progress);
  out.WriteString(Qel::String(status));
}

// Nothing runs in the background that the request could hold back; the answer to the poll says
// whether anything still runs.
void RequestIdle(RequestContext&, const u8*, size_t, Response&) {}

void IsIdleReached(RequestContext& context, const u8*, size_t, Response& response) {
  bool repairing = false;
  f32 progress = 0.0f;
  std::string status;
  context.repair.GetProgress(repairing, progress, status);
  TBuffer out(&response.body, false);
  out.WriteU8(!repairing && !context.hosts.IsBusy() ? 1 : 0);
}

void TextureConvertSetting(RequestContext& context, const u8*, size_t, Response& response) {
  // A user's setting; unset, textures are installed as they come.
  const Soup settings = context.store.GetSettingsSoup(kTextureSettingsGroup);
  TBuffer out(&response.body, false);
  out.WriteU8(settings.GetNamedTagAsBool(Qel::PString(kTextureConvertTag), false) ? 1 : 0);
}

void ListBuilds(RequestContext& context, const u8*, size_t, Response& response) {
  TBuffer out(&response.body, false);
  out.WritePString(Qel::PString(context.store.GetBuildList()));
}

}  // namespace PymDaemonSrv::SessionRequests
