#include "daemon/request_handlers.h"

#include <algorithm>
#include <iterator>

#include "daemon/asset_requests.h"
#include "daemon/command_host_registry.h"
#include "daemon/edit_requests.h"
#include "daemon/host_requests.h"
#include "daemon/package_requests.h"
#include "daemon/repository_requests.h"
#include "daemon/search_requests.h"
#include "daemon/session_requests.h"
#include "platform/invariant.h"
#include "pymclient/pym_protocol.h"

namespace PymDaemonSrv {

namespace {

namespace pp = PymProtocol;

struct OpcodeHandler {
  u32 opcode;
  RequestHandler handler;
};

// Every request the daemon serves, by opcode.
constexpr OpcodeHandler kRequestTable[] = {
    {pp::kOpKeepAlive, &SessionRequests::KeepAlive},
    {pp::kOpPatcherRepairDone, &SessionRequests::KeepAlive},
    {pp::kOpAnswer, &SessionRequests::Answer},
    {pp::kOpCloseDaemon, &SessionRequests::CloseDaemon},
    {pp::kOpStartRepair, &SessionRequests::StartRepair},
    {pp::kOpRepairProgress, &SessionRequests::RepairProgress},
    {pp::kOpRequestIdle, &SessionRequests::RequestIdle},
    {pp::kOpIsIdleReached, &SessionRequests::IsIdleReached},
    {pp::kOpTextureConvertSetting, &SessionRequests::TextureConvertSetting},
    {pp::kOpListBuilds, &SessionRequests::ListBuilds},

    {pp::kOpSearchAssets, &SearchRequests::SearchAssets},
    {pp::kOpGetSettingsSoup, &SearchRequests::GetSettingsSoup},
    {pp::kOpSetSettingsSoup, &SearchRequests::SetSettingsSoup},
    {pp::kOpGetSettingString, &SearchRequests::GetSettingString},

    {pp::kOpGetConfigSoup, &AssetRequests::GetConfigSoup},
    {pp::kOpGetAssetInfo, &AssetRequests::GetAssetInfo},
    {pp::kOpGetAssetLocation, &AssetRequests::GetAssetLocation},
    {pp::kOpResolveKuid, &AssetRequests::ResolveKuid},
    {pp::kOpLatestVersion, &AssetRequests::LatestVersion},
    {pp::kOpGetDescription, &AssetRequests::GetDescription},
    {pp::kOpGetThumbnailPath, &AssetRequests::GetThumbnailPath},
    {pp::kOpValidateAssetPath, &AssetRequests::ValidateAssetPath},
    {pp::kOpDependenciesOfList, &AssetRequests::DependenciesOfList},
    {pp::kOpGetObsoletes, &AssetRequests::GetObsoletes},
    {pp::kOpGenerateKuid, &AssetRequests::GenerateKuid},
    {pp::kOpCreatorName, &AssetRequests::CreatorName},
    {pp::kOpSetFavorite, &AssetRequests::SetFavourite},
    {pp::kOpSetKeywords, &AssetRequests::SetKeywords},

    {pp::kOpOpenAsset, &EditRequests::OpenAsset},
    {pp::kOpReleaseAsset, &EditRequests::ReleaseAsset},
    {pp::kOpGetOpenAssetPath, &EditRequests::GetOpenAssetPath},
    {pp::kOpRevertAsset, &EditRequests::RevertAsset},
    {pp::kOpCommitAsset, &EditRequests::CommitAsset},
    {pp::kOpCreateAsset, &EditRequests::CreateAsset},
    {pp::kOpDeleteAsset, &EditRequests::DeleteAsset},
    {pp::kOpEndInstall, &EditRequests::EndInstall},

    {pp::kOpSaveAssetToCdp, &PackageRequests::SaveAssetToCdp},
    {pp::kOpInstallCdp, &PackageRequests::InstallCdp},
    {pp::kOpInstallAssetFromFolder, &PackageRequests::InstallAssetFromFolder},

    {pp::kOpVantryAccess, &RepositoryRequests::VantryAccess},
    {pp::kOpStartUrlRequest, &RepositoryRequests::StartUrlRequest},
    {pp::kOpCloseUrlRequest, &RepositoryRequests::CloseUrlRequest},
    {pp::kOpUrlRequestStatus, &RepositoryRequests::UrlRequestStatus},
    {pp::kOpPickVnyItems, &RepositoryRequests::PickVnyItems},

    {pp::kOpRegisterCommandHost, &HostRequests::RegisterCommandHost},
    {pp::kOpCommandHostReply, &HostRequests::CommandHostReply},
    {kOpRunHostCommand, &HostRequests::RunHostCommand},
};

// An opcode listed twice would leave the second handler unreachable.
constexpr bool OpcodesAreUnique() {
  for (size_t i = 0; i < std::size(kRequestTable); ++i) {
    for (size_t j = i + 1; j < std::size(kRequestTable); ++j) {
      if (kRequestTable[i].opcode == kRequestTable[j].opcode) return false;
    }
  }
  return true;
}
static_assert(OpcodesAreUnique(), "an opcode is in the request table twice");

}  // namespace

RequestHandler FindRequestHandler(u32 opcode) {
  const auto found = std::find_if(std::begin(kRequestTable), std::end(kRequestTable),
                                  [opcode](const OpcodeHandler& e) { return e.opcode == opcode; });
  return found != std::end(kRequestTable) ? found->handler : nullptr;
}

RequestHandlers::RequestHandlers(AssetStore& store) : context_(store) {}

void RequestHandlers::Handle(u32 opcode, const u8* payload, size_t size, Response& response) {
  // The online requests come first: they also take the hand-off form of the URL request.
  if (online_.Handle(opcode, payload, size, response)) return;
  const RequestHandler handler = FindRequestHandler(opcode);
  if (handler == nullptr) {
    LogRequest("PymDaemon> unknown request 0x%x answered with an empty reply", opcode);
    return;
  }
  KESTRO_ASSERT(payload != nullptr || size == 0);
  handler(context_, payload, size, response);
}

bool RequestHandlers::HoldsInstall(u64 connectionId) { return context_.holds.Holds(connectionId); }

void RequestHandlers::ReleaseConnection(u64 connectionId) {
  context_.hosts.Unregister(connectionId);
  online_.ForgetConnection(connectionId);
  context_.urls.ForgetConnection(connectionId);
  context_.ReleaseHandlesOf(connectionId);
}

}  // namespace PymDaemonSrv
