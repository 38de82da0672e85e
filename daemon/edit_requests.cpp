#include "daemon/edit_requests.h"

#include <string>

#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_store.h"
#include "pymclient/pym_protocol.h"

namespace PymDaemonSrv::EditRequests {

namespace pp = PymProtocol;

void OpenAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 edit = 0;
  AssetRecord r;
  std::string error;
  AssetEditor::Warnings warnings;
  bool opened = ReadKuid(in.Get(), kuid);
  in.Get().ReadU8(edit, 0);
  if (opened) {
    opened = edit != 0 ? context.editor.BeginEdit(kuid, r, error, &warnings)
                       : context.store.GetAsset(kuid, r);
    if (!opened) {
      AddFailure(response, kuid,
                 "PymDaemon: cannot open the asset: " + (error.empty() ? "unknown asset" : error));
    }
    AddWarnings(response, kuid, warnings);
  }
  const u64 handle = opened ? context.AddHandle(kuid, response.connectionId) : pp::kNoAssetHandle;
  TBuffer out(&response.body, false);
  out.WriteU64(handle);
  context.WriteLocation(out, handle != pp::kNoAssetHandle ? &r : nullptr);
}

void ReleaseAsset(RequestContext& context, const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  context.ReleaseHandle(handle);
}

void GetOpenAssetPath(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  AssetRecord r;
  const bool found = context.FindHandle(handle, kuid) && context.store.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  context.WriteLocation(out, found ? &r : nullptr);
}

void RevertAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  std::string error;
  AssetEditor::Warnings warnings;
  const bool reverted =
      context.FindHandle(handle, kuid) && context.editor.Revert(kuid, error, &warnings);
  if (!reverted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not reverted: " + error);
  }
  AddWarnings(response, kuid, warnings);
  TBuffer out(&response.body, false);
  out.WriteU8(reverted ? 1 : 0);
}

void CommitAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  std::string error = "unknown handle";
  AssetEditor::Warnings warnings;
  const bool committed =
      context.FindHandle(handle, kuid) && context.editor.Commit(kuid, error, &warnings);
  if (!committed) {
    AddFailure(response, kuid, "PymDaemon: not committed: " + error);
  }
  AddWarnings(response, kuid, warnings);
  TBuffer out(&response.body, false);
  out.WriteU8(committed ? 1 : 0);
  out.WriteU8(0);
}

void CreateAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  std::string error;
  const bool created = ReadKuid(in.Get(), kuid) && context.editor.Create(kuid, r, error);
  if (!created) {
    AddFailure(response, kuid, "PymDaemon: no asset created: " + error);
  }
  const u64 handle =
      created ? context.AddHandle(r.kuid, response.connectionId) : pp::kNoAssetHandle;
  TBuffer out(&response.body, false);
  out.WriteU64(handle);
  out.WriteKUID(handle != pp::kNoAssetHandle ? r.kuid : KUID::Null());
  context.WriteLocation(out, handle != pp::kNoAssetHandle ? &r : nullptr);
}

void DeleteAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 keepBackup = 1;
  std::string error;
  std::string keptIn;
  AssetEditor::Warnings warnings;
  const bool read = ReadKuid(in.Get(), kuid);
  in.Get().ReadU8(keepBackup, 1);
  const bool deleted =
      read && context.editor.Delete(kuid, keepBackup != 0, error, &keptIn, &warnings);
  if (!deleted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not deleted: " + error);
  }
  if (deleted && !keptIn.empty()) {
    AddResult(response, ResultsLog::kInformation, kuid,
              "Deleted; its folders are kept in " + keptIn + " for " +
                  std::to_string(AssetEditor::kBackupDaysKept) + " days.");
  }
  AddWarnings(response, kuid, warnings);
  TBuffer out(&response.body, false);
  out.WriteU8(deleted ? 1 : 0);
}

}  // namespace PymDaemonSrv::EditRequests
