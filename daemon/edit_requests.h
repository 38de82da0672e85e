// Assets opened through handles: opening, editing copies, commit, revert, creation and
// deletion.
#pragma once

#include <string>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "daemon/asset_editor.h"
#include "daemon/asset_store.h"
#include "daemon/request_context.h"

namespace PymDaemonSrv::EditRequests {

// The take-back names (PymProtocol::kTakeBackGroup): the assets an install opened for editing or
// created, each name a KUID (its value, written by older builds otherwise, is not read).
// What became of the editing copy an install made.
enum class TakeBack { kTaken, kGone, kFailed };
// Takes back the copy that stands at the asset's editing path, the install's while its name
// stands: into today's backups, as "editing/PATH", which `kept` gets (below UserData), named in
// the log; or, when they cannot take it now, into staging for a start to move on, `error` then
// saying why. kGone when no copy (or no asset) is there, kFailed with the reason (also when the
// copy cannot be looked at).
TakeBack TakeBackCopy(AssetStore& store, AssetEditor& editor, const KUID& kuid, std::string& kept,
                      std::string& error);
// Drops the asset's take-back name; false, with the reason, when it stays.
bool DropTakeBack(AssetStore& store, const KUID& kuid, std::string& error);
// DropTakeBack once the asset's commit, revert or install has passed, which leaves no install's
// copy to take back: a name that stays is a warning of the response.
void DropTakeBackAfter(RequestContext& context, const KUID& kuid, Response& response);

void OpenAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void ReleaseAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void GetOpenAssetPath(RequestContext& context, const u8* payload, size_t size, Response& response);
void RevertAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void CommitAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void CreateAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
void DeleteAsset(RequestContext& context, const u8* payload, size_t size, Response& response);
// Ends the holds of every install of the connection: its command ends.
void EndInstall(RequestContext& context, const u8* payload, size_t size, Response& response);

}  // namespace PymDaemonSrv::EditRequests
