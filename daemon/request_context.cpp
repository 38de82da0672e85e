#include "daemon/request_context.h"

#include "assetdata/kestro_property.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_limits.h"
#include "platform/invariant.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace pp = PymProtocol;

RequestContext::RequestContext(AssetStore& assets)
    : store(assets), editor(assets), repair(assets, editor, holds) {}

u64 RequestContext::AddHandle(const KUID& kuid, u64 connectionId) {
  std::lock_guard<std::mutex> lock(handlesMutex_);
  if (handles_.size() >= kMaxOpenHandles) {
    LogRequest("PymDaemon> %u assets open; no more handles until some are released",
               kMaxOpenHandles);
    return pp::kNoAssetHandle;
  }
  const u64 handle = nextHandle_++;
  // Handles are never reused, and none may read as "no handle" to the client.
  KESTRO_ASSERT(handle != pp::kNoAssetHandle && handles_.count(handle) == 0);
  handles_[handle] = {kuid, connectionId};
  return handle;
}

bool RequestContext::FindHandle(u64 handle, KUID& kuid) {
  std::lock_guard<std::mutex> lock(handlesMutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return false;
  kuid = it->second.kuid;
  return true;
}

void RequestContext::ReleaseHandle(u64 handle) {
  std::lock_guard<std::mutex> lock(handlesMutex_);
  handles_.erase(handle);
}

void RequestContext::ReleaseHandlesOf(u64 connectionId) {
  std::lock_guard<std::mutex> lock(handlesMutex_);
  std::erase_if(handles_, [connectionId](const auto& entry) {
    return entry.second.connectionId == connectionId;
  });
  holds.EndHolds(connectionId);
}

bool RequestContext::ReadIndexedAsset(TStream& in, KUID& kuid, AssetRecord& record) const {
  return ReadKuid(in, kuid) && store.GetAsset(kuid, record);
}

bool RequestContext::NewestVersion(const KUID& kuid, KUID& out) const {
  const std::vector<AssetRecord> versions = store.VersionsOf(kuid.userId, kuid.contentId);
  if (versions.empty()) return false;
  out = versions.back().kuid;
  return true;
}

RepositoryIndex& RequestContext::Repository() {
  std::call_once(repositoryOnce_, [this] {
    repository_ = std::make_unique<RepositoryIndex>(store.UserData() + "/../Repository");
  });
  repository_->Refresh();
  return *repository_;
}

void RequestContext::NewerInRepository(const KUID& kuid, KUID& answer) {
  RepositoryAsset offered;
  if (Repository().FindNewest(kuid, offered) && offered.kuid.version > answer.version) {
    answer = offered.kuid;
  }
}

void RequestContext::WriteLocation(TStream& out, const AssetRecord* record) const {
  out.WritePString(record != nullptr ? Qel::PString(record->folder) : Qel::PString());
  out.WriteString(record != nullptr ? Qel::String(store.FolderPathOf(*record)) : Qel::String());
}

bool ReadKuid(TStream& in, KUID& out) {
  in.ReadKUID(out);
  return in.GetError() == TStream::kErrorNone;
}

bool ReadPath(TStream& in, std::string& out) {
  Qel::String path;
  in.ReadString(path);
  if (in.GetError() != TStream::kErrorNone || path.IsEmpty()) return false;
  out.assign(path.View());
  return true;
}

void WriteKuidList(TStream& out, const std::vector<KUID>& list) {
  out.WriteU32(u32(list.size()));
  for (const KUID& kuid : list) out.WriteKUID(kuid);
}

void AddResult(Response& response, u32 type, const KUID& kuid, const std::string& text) {
  ResultsLog::AddResult(
      &response.results, type,
      kuid.IsNull() ? KestroPropertyRef() : MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
      Qel::String(text));
}

void AddFailure(Response& response, const KUID& kuid, const std::string& text) {
  Qel::Log::Get("PymDaemon")
      .Printf(Qel::Log::kMessage, "PymDaemon> %s: %s", kuid.ToString().CStr(), text.c_str());
  AddResult(response, ResultsLog::kError, kuid, text);
}

void AddWarnings(Response& response, const KUID& kuid, const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    AddResult(response, ResultsLog::kWarning, kuid, "PymDaemon: " + text);
  }
}

void AddInstalled(Response& response, const KUID& kuid, const std::string& keptIn) {
  AddResult(response, ResultsLog::kFourth, kuid,
            std::string("Installed asset ") + kuid.ToString().CStr() + ".");
  if (!keptIn.empty()) {
    AddResult(response, ResultsLog::kInformation, kuid,
              "The version it replaced is kept in " + keptIn + " for " +
                  std::to_string(AssetEditor::kBackupDaysKept) + " days.");
  }
}

void LogRequest(const char* format, u32 value) {
  Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, format, value);
}

}  // namespace PymDaemonSrv
