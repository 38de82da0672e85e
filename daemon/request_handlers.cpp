#include "daemon/request_handlers.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_pack.h"
#include "assetdata/cdp_package.h"
#include "assetdata/kestro_property.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_limits.h"
#include "daemon/filter_evaluator.h"
#include "daemon/filter_tree.h"
#include "platform/byte_order.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"
#include "qel/pstring.h"

namespace PymDaemonSrv {

namespace {

namespace pp = PymProtocol;

void Log(const char* format, u32 value) {
  Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, format, value);
}

// A readable stream over a copy of the payload.
class PayloadStream {
 public:
  PayloadStream(const u8* payload, size_t size) : stream_(&buffer_, false) {
    if (size != 0) buffer_.Write(payload, u32(size));
    buffer_.SetPosition(0);
  }
  TStream& Get() { return stream_; }

  // A name in either string form; false when it is missing, too long or empty.
  bool ReadName(std::string& out) {
    Qel::PString name;
    stream_.ReadPString(name);
    if (stream_.GetError() != TStream::kErrorNone || name.IsEmpty() ||
        name.Length() > kMaxNameLength) {
      return false;
    }
    out.assign(name.View());
    return true;
  }

 private:
  Qel::DynamicBuffer buffer_;
  TBuffer stream_;
};

// Reads a binary soup strictly: a wrong magic, an unknown version or a body that does not
// decode fails rather than reading as an empty soup.
bool ReadStrictSoup(TStream& in, const u8* payload, size_t size, Soup& out) {
  const u32 start = in.Tell();
  if (size < start || size - start < kSoupHeaderSize) return false;
  const u32 declared = ByteOrder::LoadLE32(payload + start + 12);
  u32 version = 0;
  SoupBody body;
  if (!ReadSoupBinary(in, version, body) || version > 1) return false;
  if (declared != 0 && body.IsEmpty()) return false;
  out.Clear();
  if (!body.IsEmpty()) out.SetRoot(DecodeSoupBody(body.Data(), body.Size(), version));
  return true;
}

// The KUID a request starts with; false for a payload too short to hold one.
bool ReadKuid(TStream& in, KUID& out) {
  in.ReadKUID(out);
  return in.GetError() == TStream::kErrorNone;
}

void AddResult(Response& response, u32 type, const KUID& kuid, const std::string& text) {
  ResultsLog::AddResult(
      &response.results, type,
      kuid.IsNull() ? KestroPropertyRef() : MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
      Qel::String(text));
}

// A change the daemon could not make: an error for the client and a line in the daemon's log,
// which outlives the client's console.
void AddFailure(Response& response, const KUID& kuid, const std::string& text) {
  Qel::Log::Get("PymDaemon")
      .Printf(Qel::Log::kMessage, "PymDaemon> %s: %s", kuid.ToString().CStr(), text.c_str());
  AddResult(response, ResultsLog::kError, kuid, text);
}

// A path in either string form; false when it is missing or empty.
bool ReadPath(TStream& in, std::string& out) {
  Qel::String path;
  in.ReadString(path);
  if (in.GetError() != TStream::kErrorNone || path.IsEmpty()) return false;
  out.assign(path.View());
  return true;
}

void AddInstalled(Response& response, const KUID& kuid) {
  AddResult(response, ResultsLog::kFourth, kuid,
            std::string("Installed asset ") + kuid.ToString().CStr() + ".");
}

void WriteKuidList(TStream& out, const std::vector<KUID>& list) {
  out.WriteU32(u32(list.size()));
  for (const KUID& kuid : list) out.WriteKUID(kuid);
}

// Status flags of the information reply, by the index filter flag that decides each.
struct StatusFlagSource {
  u32 status;
  u32 filter;
};
constexpr StatusFlagSource kStatusFlagSources[] = {
    {0, PymFilterCodes::kFlagLocal},
    {2, PymFilterCodes::kFlagLocallyModified},
    {3, PymFilterCodes::kFlagLocallyAvailable},
    {4, PymFilterCodes::kFlagBuiltin},
    {5, PymFilterCodes::kFlagVantry},
    {6, PymFilterCodes::kFlagVantry},
    {7, PymFilterCodes::kFlagInArchive},
    {8, PymFilterCodes::kFlagOpenForEdit},
    {9, PymFilterCodes::kFlagFaulty},
    {11, PymFilterCodes::kFlagHasMissingDependencies},
};
constexpr u32 kStatusFlagCount = 19;

}  // namespace

RequestHandlers::RequestHandlers(AssetStore& store)
    : store_(store), editor_(store), repair_(store, editor_) {
  handlers_ = {
      {pp::kOpStartRepair, &RequestHandlers::StartRepair},
      {pp::kOpRepairProgress, &RequestHandlers::RepairProgress},
      {pp::kOpGetConfigSoup, &RequestHandlers::GetConfigSoup},
      {pp::kOpGetAssetInfo, &RequestHandlers::GetAssetInfo},
      {pp::kOpGetAssetLocation, &RequestHandlers::GetAssetLocation},
      {pp::kOpResolveKuid, &RequestHandlers::ResolveKuid},
      {pp::kOpLatestVersion, &RequestHandlers::LatestVersion},
      {pp::kOpGetDescription, &RequestHandlers::GetDescription},
      {pp::kOpGetThumbnailPath, &RequestHandlers::GetThumbnailPath},
      {pp::kOpOpenAsset, &RequestHandlers::OpenAsset},
      {pp::kOpReleaseAsset, &RequestHandlers::ReleaseAsset},
      {pp::kOpGetOpenAssetPath, &RequestHandlers::GetOpenAssetPath},
      {pp::kOpRevertAsset, &RequestHandlers::RevertAsset},
      {pp::kOpCommitAsset, &RequestHandlers::CommitAsset},
      {pp::kOpCreateAsset, &RequestHandlers::CreateAsset},
      {pp::kOpDeleteAsset, &RequestHandlers::DeleteAsset},
      {pp::kOpValidateAssetPath, &RequestHandlers::ValidateAssetPath},
      {pp::kOpDependenciesOfList, &RequestHandlers::DependenciesOfList},
      {pp::kOpGetObsoletes, &RequestHandlers::GetObsoletes},
      {pp::kOpGenerateKuid, &RequestHandlers::GenerateKuid},
      {pp::kOpCreatorName, &RequestHandlers::CreatorName},
      {pp::kOpVantryAccess, &RequestHandlers::VantryAccess},
      {pp::kOpTextureConvertSetting, &RequestHandlers::TextureConvertSetting},
      {pp::kOpListBuilds, &RequestHandlers::ListBuilds},
      {pp::kOpSaveAssetToCdp, &RequestHandlers::SaveAssetToCdp},
      {pp::kOpInstallCdp, &RequestHandlers::InstallCdp},
      {pp::kOpInstallAssetFromFolder, &RequestHandlers::InstallAssetFromFolder},
      {pp::kOpSetFavorite, &RequestHandlers::SetFavourite},
      {pp::kOpStartUrlRequest, &RequestHandlers::StartUrlRequest},
      {pp::kOpCloseUrlRequest, &RequestHandlers::CloseUrlRequest},
      {pp::kOpUrlRequestStatus, &RequestHandlers::UrlRequestStatus},
      {pp::kOpPickVnyItems, &RequestHandlers::PickVnyItems},
      {pp::kOpSetKeywords, &RequestHandlers::SetKeywords},
      {pp::kOpPatcherRepairDone, &RequestHandlers::KeepAlive},
      {pp::kOpKeepAlive, &RequestHandlers::KeepAlive},
      {pp::kOpSearchAssets, &RequestHandlers::SearchAssets},
      {pp::kOpGetSettingsSoup, &RequestHandlers::GetSettingsSoup},
      {pp::kOpSetSettingsSoup, &RequestHandlers::SetSettingsSoup},
      {pp::kOpGetSettingString, &RequestHandlers::GetSettingString},
      {pp::kOpAnswer, &RequestHandlers::Answer},
      {pp::kOpCloseDaemon, &RequestHandlers::CloseDaemon},
      {pp::kOpRegisterCommandHost, &RequestHandlers::RegisterCommandHost},
      {pp::kOpCommandHostReply, &RequestHandlers::CommandHostReply},
      {kOpRunHostCommand, &RequestHandlers::RunHostCommand},
      {pp::kOpRequestIdle, &RequestHandlers::RequestIdle},
      {pp::kOpIsIdleReached, &RequestHandlers::IsIdleReached},
  };
}

void RequestHandlers::Handle(u32 opcode, const u8* payload, size_t size, Response& response) {
  if (online_.Handle(opcode, payload, size, response)) return;
  auto it = handlers_.find(opcode);
  if (it == handlers_.end()) {
    Log("PymDaemon> unknown request 0x%x answered with an empty reply", opcode);
    return;
  }
  (this->*(it->second))(payload, size, response);
}

void RequestHandlers::KeepAlive(const u8*, size_t, Response&) {}

void RequestHandlers::SearchAssets(const u8* payload, size_t size, Response& response) {
  TBuffer out(&response.body, false);
  FilterParseResult filter = ParseFilterPayload(payload, size);
  if (!filter.ok) {
    ResultsLog::AddResult(&response.results, ResultsLog::kError, KestroPropertyRef(),
                          Qel::String("PymDaemon: search filter refused: " + filter.error));
    out.WriteU32(0);
    return;
  }
  std::vector<KUID> found = store_.Search(filter.root.get());
  // The repository's versions that are not installed take part as repository items: only a
  // search without the "local" condition finds them.
  const FilterEvaluator evaluator;
  for (const RepositoryAsset& offered : Repository().All()) {
    AssetRecord item;
    item.kuid = offered.kuid;
    item.name = offered.name;
    item.nameLower = offered.name;
    for (char& c : item.nameLower) c = char(std::tolower(static_cast<unsigned char>(c)));
    item.categories = offered.categories;
    item.dependencies = offered.dependencies;
    item.SetFlag(PymFilterCodes::kFlagVantry, true);
    AssetRecord installed;
    if (!store_.GetAsset(offered.kuid, installed) &&
        std::find(found.begin(), found.end(), offered.kuid) == found.end() &&
        evaluator.Matches(filter.root.get(), item)) {
      found.push_back(offered.kuid);
    }
  }
  out.WriteU32(u32(found.size()));
  for (const KUID& kuid : found) out.WriteKUID(kuid);
}

void RequestHandlers::GetSettingsSoup(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string group;
  Soup soup;
  if (in.ReadName(group)) soup = store_.GetSettingsSoup(group);
  TBuffer out(&response.body, false);
  WriteSoup(out, soup);
}

void RequestHandlers::SetSettingsSoup(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string group;
  Soup soup;
  bool ok = in.ReadName(group) && ReadStrictSoup(in.Get(), payload, size, soup) &&
            store_.SetSettingsSoup(group, soup);
  if (!ok) {
    ResultsLog::AddResult(&response.results, ResultsLog::kError, KestroPropertyRef(),
                          Qel::String("PymDaemon: settings group not written"));
  }
  TBuffer out(&response.body, false);
  out.WriteU8(ok ? 1 : 0);
}

void RequestHandlers::GetSettingString(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string group;
  std::string key;
  std::string value;
  if (in.ReadName(group) && in.ReadName(key)) value = store_.GetSettingString(group, key);
  TBuffer out(&response.body, false);
  out.WritePString(Qel::PString(value));
}

// The daemon asks no questions yet, so an answer has nothing to wake.
void RequestHandlers::Answer(const u8*, size_t, Response&) {}

void RequestHandlers::CloseDaemon(const u8*, size_t, Response& response) {
  response.closeDaemon = true;
}

u64 RequestHandlers::AddHandle(const KUID& kuid, u64 connectionId) {
  std::lock_guard<std::mutex> lock(handlesMutex_);
  if (handles_.size() >= kMaxOpenHandles) {
    Log("PymDaemon> %u assets open; no more handles until some are released", kMaxOpenHandles);
    return pp::kNoAssetHandle;
  }
  const u64 handle = nextHandle_++;
  handles_[handle] = {kuid, connectionId};
  return handle;
}

bool RequestHandlers::FindHandle(u64 handle, KUID& kuid) {
  std::lock_guard<std::mutex> lock(handlesMutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return false;
  kuid = it->second.kuid;
  return true;
}

void RequestHandlers::ReleaseConnection(u64 connectionId) {
  hosts_.Unregister(connectionId);
  urls_.ForgetConnection(connectionId);
  std::lock_guard<std::mutex> lock(handlesMutex_);
  std::erase_if(handles_, [connectionId](const auto& entry) {
    return entry.second.connectionId == connectionId;
  });
}

bool RequestHandlers::NewestVersion(const KUID& kuid, KUID& out) const {
  const std::vector<AssetRecord> versions = store_.VersionsOf(kuid.userId, kuid.contentId);
  if (versions.empty()) return false;
  out = versions.back().kuid;
  return true;
}

RepositoryIndex& RequestHandlers::Repository() {
  std::call_once(repositoryOnce_, [this] {
    repository_ = std::make_unique<RepositoryIndex>(store_.UserData() + "/../Repository");
  });
  repository_->Refresh();
  return *repository_;
}

void RequestHandlers::NewerInRepository(const KUID& kuid, KUID& answer) {
  RepositoryAsset offered;
  if (Repository().FindNewest(kuid, offered) && offered.kuid.version > answer.version) {
    answer = offered.kuid;
  }
}

void RequestHandlers::WriteLocation(TStream& out, const AssetRecord* record) const {
  out.WritePString(record != nullptr ? Qel::PString(record->folder) : Qel::PString());
  out.WriteString(record != nullptr ? Qel::String(store_.FolderPathOf(*record)) : Qel::String());
}

void RequestHandlers::StartRepair(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 level = pp::kRepairDefault;
  in.Get().ReadU32(level, pp::kRepairDefault);
  if (!repair_.Start(level, response.requestId)) {
    AddResult(response, ResultsLog::kError, KUID::Null(), "PymDaemon: a repair is running already");
  }
}

void RequestHandlers::RepairProgress(const u8*, size_t, Response& response) {
  u32 requestId = 0;
  if (repair_.TakeResults(response.results, requestId)) response.resultsId = requestId;
  bool running = false;
  f32 progress = 0.0f;
  std::string status;
  repair_.GetProgress(running, progress, status);
  TBuffer out(&response.body, false);
  out.WriteU8(running ? 1 : 0);
  out.WriteFloat(progress);
  out.WriteString(Qel::String(status));
}

void RequestHandlers::GetConfigSoup(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  Soup config;
  if (ReadKuid(in.Get(), kuid)) config = store_.GetConfig(kuid);
  TBuffer out(&response.body, false);
  WriteSoup(out, config);
}

void RequestHandlers::GetAssetInfo(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = ReadKuid(in.Get(), kuid) && store_.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  out.WriteKUID(kuid);
  out.WriteString(Qel::String(r.name));
  out.WriteString(Qel::String(r.region));
  out.WriteString(Qel::String(r.keywords));
  u8 flags[kStatusFlagCount] = {};
  for (const StatusFlagSource& source : kStatusFlagSources) {
    flags[source.status] = found && r.HasFlag(source.filter) ? 1 : 0;
  }
  for (const u8 flag : flags) out.WriteU8(flag);
  // The creator is the user whose KUIDs the asset has.
  out.WriteU32(found ? u32(kuid.userId) : 0);
  out.WritePString(Qel::PString());
  out.WriteString(Qel::String(r.era));
  out.WriteI32(-1);
  out.WritePString(Qel::PString());
  out.WriteString(Qel::String(r.categories));
  for (int i = 0; i < 3; ++i) out.WriteU8(0);
  out.WriteU32(found ? u32(r.rating) : 255);
  out.WriteFloat(r.build);
  out.WriteU64(r.installTime);
  out.WriteU64(r.modifyTime);
  out.WriteKUID(KUID::Null());
  out.WriteU8(found ? 1 : 0);
}

void RequestHandlers::GetAssetLocation(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = ReadKuid(in.Get(), kuid) && store_.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  WriteLocation(out, found ? &r : nullptr);
}

void RequestHandlers::ResolveKuid(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  KUID answer = kuid;
  if (ReadKuid(in.Get(), kuid)) {
    answer = kuid;
    if (!store_.GetAsset(kuid, r)) NewestVersion(kuid, answer);
  }
  TBuffer out(&response.body, false);
  out.WriteKUID(answer);
}

void RequestHandlers::LatestVersion(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  KUID answer;
  if (ReadKuid(in.Get(), kuid)) {
    answer = kuid;
    NewestVersion(kuid, answer);
    NewerInRepository(kuid, answer);
  }
  TBuffer out(&response.body, false);
  out.WriteKUID(answer);
}

void RequestHandlers::GetDescription(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = ReadKuid(in.Get(), kuid) && store_.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  out.WriteString(Qel::String(found ? r.description : std::string()));
}

void RequestHandlers::GetThumbnailPath(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = ReadKuid(in.Get(), kuid) && store_.GetAsset(kuid, r);
  // The asset's "thumbnail.jpg", when it has one.
  constexpr const char* kThumbnail = "thumbnail.jpg";
  struct stat st {};
  const bool has = found && lstat((store_.FolderPathOf(r) + "/" + kThumbnail).c_str(), &st) == 0 &&
                   S_ISREG(st.st_mode);
  TBuffer out(&response.body, false);
  out.WritePString(has ? Qel::PString(r.folder) : Qel::PString());
  out.WriteString(has ? Qel::String(r.path + "/" + kThumbnail) : Qel::String());
  out.WriteU32(has ? 1 : 0);
}

void RequestHandlers::OpenAsset(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 edit = 0;
  AssetRecord r;
  std::string error;
  bool opened = ReadKuid(in.Get(), kuid);
  in.Get().ReadU8(edit, 0);
  if (opened) {
    opened = edit != 0 ? editor_.BeginEdit(kuid, r, error) : store_.GetAsset(kuid, r);
    if (!opened) {
      AddFailure(response, kuid,
                 "PymDaemon: cannot open the asset: " + (error.empty() ? "unknown asset" : error));
    }
  }
  const u64 handle = opened ? AddHandle(kuid, response.connectionId) : pp::kNoAssetHandle;
  TBuffer out(&response.body, false);
  out.WriteU64(handle);
  WriteLocation(out, handle != pp::kNoAssetHandle ? &r : nullptr);
}

void RequestHandlers::ReleaseAsset(const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  std::lock_guard<std::mutex> lock(handlesMutex_);
  handles_.erase(handle);
}

void RequestHandlers::GetOpenAssetPath(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  AssetRecord r;
  const bool found = FindHandle(handle, kuid) && store_.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  WriteLocation(out, found ? &r : nullptr);
}

void RequestHandlers::RevertAsset(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  std::string error;
  const bool reverted = FindHandle(handle, kuid) && editor_.Revert(kuid, error);
  if (!reverted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not reverted: " + error);
  }
  TBuffer out(&response.body, false);
  out.WriteU8(reverted ? 1 : 0);
}

void RequestHandlers::CommitAsset(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  std::string error = "unknown handle";
  const bool committed = FindHandle(handle, kuid) && editor_.Commit(kuid, error);
  if (!committed) {
    AddFailure(response, kuid, "PymDaemon: not committed: " + error);
  }
  TBuffer out(&response.body, false);
  out.WriteU8(committed ? 1 : 0);
  out.WriteU8(0);
}

void RequestHandlers::CreateAsset(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  std::string error;
  const bool created = ReadKuid(in.Get(), kuid) && editor_.Create(kuid, r, error);
  if (!created) {
    AddFailure(response, kuid, "PymDaemon: no asset created: " + error);
  }
  const u64 handle = created ? AddHandle(r.kuid, response.connectionId) : pp::kNoAssetHandle;
  TBuffer out(&response.body, false);
  out.WriteU64(handle);
  out.WriteKUID(handle != pp::kNoAssetHandle ? r.kuid : KUID::Null());
  WriteLocation(out, handle != pp::kNoAssetHandle ? &r : nullptr);
}

void RequestHandlers::DeleteAsset(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  std::string error;
  const bool deleted = ReadKuid(in.Get(), kuid) && editor_.Delete(kuid, error);
  if (!deleted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not deleted: " + error);
  }
  TBuffer out(&response.body, false);
  out.WriteU8(deleted ? 1 : 0);
}

void RequestHandlers::ValidateAssetPath(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  Qel::PString folderName;
  Qel::String path;
  in.Get().ReadPString(folderName);
  in.Get().ReadString(path);
  AssetRecord indexed;
  ScannedAsset scanned;
  std::string reason;
  bool valid = store_.FindByFolderPath(std::string(path.View()), indexed);
  if (!valid) {
    AddResult(response, ResultsLog::kError, KUID::Null(),
              "PymDaemon: no asset of the database is at " + std::string(path.View()));
  } else if (!ReadAssetFolder(std::string(path.View()), indexed.folder, indexed.path, scanned,
                              reason)) {
    valid = false;
    AddResult(response, ResultsLog::kError, indexed.kuid, "PymDaemon: " + reason);
  } else if (scanned.record.kuid != indexed.kuid) {
    valid = false;
    AddResult(response, ResultsLog::kError, indexed.kuid,
              "PymDaemon: the configuration names another KUID");
  } else {
    const Soup config = store_.GetConfig(indexed.kuid);
    for (const char* tag : {"kind", "kestro-build"}) {
      if (!config.HasNamedTag(Qel::PString(tag))) {
        valid = false;
        AddResult(response, ResultsLog::kError, indexed.kuid,
                  std::string("PymDaemon: the configuration lacks the tag \"") + tag + "\"");
      }
    }
    for (const KUID& dependency : scanned.record.dependencies) {
      AssetRecord target;
      KUID newest;
      const bool met = store_.GetAsset(dependency, target) ||
                       (NewestVersion(dependency, newest) &&
                        (dependency.IsShortForm() || newest.version >= dependency.version));
      if (!met) {
        valid = false;
        AddResult(response, ResultsLog::kError, indexed.kuid,
                  std::string("PymDaemon: the dependency ") + dependency.ToString().CStr() +
                      " is not installed");
      }
    }
    valid = ValidateOnHost(folderName, path, response) && valid;
  }
  TBuffer out(&response.body, false);
  out.WriteU8(valid ? 1 : 0);
}

bool RequestHandlers::ValidateOnHost(const Qel::PString& folderName, const Qel::String& path,
                                     Response& response) {
  Qel::DynamicBuffer bytes;
  TBuffer command(&bytes, false);
  command.WriteU32(pp::kHostValidate);
  command.WritePString(folderName);
  command.WriteString(path);
  std::vector<u8> reply;
  const HostCommandOutcome outcome =
      hosts_.Run(std::vector<u8>(bytes.GetData(), bytes.GetData() + bytes.GetDataSize()), reply,
                 kDefaultHostCommandSeconds * 1000, response.connectionId);
  // Without a host that answers, the daemon's own checks are all there is.
  if (outcome != HostCommandOutcome::kAnswered || reply.empty()) return true;
  PayloadStream in(reply.data(), reply.size());
  ResultsLog::Read(in.Get(), response.results);
  u8 valid = 0;
  in.Get().ReadU8(valid, 0);
  return valid != 0;
}

void RequestHandlers::DependenciesOfList(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 count = 0;
  in.Get().ReadU32(count, 0);
  std::vector<KUID> out;
  for (u32 i = 0; i < count && i < kMaxKuidListEntries; ++i) {
    KUID kuid;
    if (!ReadKuid(in.Get(), kuid)) break;
    AssetRecord r;
    if (!store_.GetAsset(kuid, r)) continue;
    for (const KUID& dependency : r.dependencies) {
      if (std::find(out.begin(), out.end(), dependency) == out.end()) out.push_back(dependency);
    }
  }
  TBuffer body(&response.body, false);
  WriteKuidList(body, out);
}

void RequestHandlers::GetObsoletes(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = ReadKuid(in.Get(), kuid) && store_.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  WriteKuidList(out, found ? r.obsoletes : std::vector<KUID>());
}

void RequestHandlers::GenerateKuid(const u8*, size_t, Response& response) {
  TBuffer out(&response.body, false);
  out.WriteKUID(store_.GenerateKuid());
}

void RequestHandlers::CreatorName(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 userId = 0;
  const bool read = in.Get().ReadU32(userId, 0);
  const std::string name = read ? store_.GetCreatorName(userId) : std::string();
  TBuffer out(&response.body, false);
  out.WriteU32(name.empty() ? 0xFFFFFFFFu : userId);
  out.WritePString(Qel::PString(name));
}

void RequestHandlers::VantryAccess(const u8*, size_t, Response& response) {
  // The local repository beside UserData stands in for the online one.
  struct stat st {};
  const bool allowed =
      stat((store_.UserData() + "/../Repository").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  TBuffer out(&response.body, false);
  out.WriteU8(allowed ? 1 : 0);
  out.WriteU32(allowed ? 1 : 0);
}

void RequestHandlers::TextureConvertSetting(const u8*, size_t, Response& response) {
  // Textures are installed as they come; the daemon converts none.
  TBuffer out(&response.body, false);
  out.WriteU8(0);
}

void RequestHandlers::ListBuilds(const u8*, size_t, Response& response) {
  TBuffer out(&response.body, false);
  out.WritePString(Qel::PString(store_.GetBuildList()));
}

void RequestHandlers::SaveAssetToCdp(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  Soup entry;
  if (!ReadKuid(in.Get(), kuid) || !store_.GetAsset(kuid, r)) {
    AddFailure(response, kuid, "PymDaemon: cannot package an unknown asset");
  } else {
    const std::string folder = store_.FolderPathOf(r);
    // Files that gain nothing from compression are stored as they are.
    PackedFolder packed = PackAssetFolder(folder, kCompressionLZSS);
    Qel::PString compression = kCompressionLZSS;
    if (packed.ok && packed.packedBytes >= packed.plainBytes) {
      packed = PackAssetFolder(folder, Qel::PString());
      compression = Qel::PString();
    }
    if (!packed.ok) {
      AddFailure(response, kuid, "PymDaemon: cannot read the asset folder " + folder);
    } else {
      for (const std::string& skipped : packed.skipped) {
        AddResult(response, ResultsLog::kWarning, kuid,
                  "PymDaemon: not packaged (name, type or read refused): " + skipped);
      }
      entry.Copy(store_.GetConfig(kuid));
      entry.EnsureContainer();
      entry.SetNamedSoup(kTagFiles, packed.files);
      entry.SetNamedTag(kTagCompression, compression);
      SetAssetDsid(entry);
    }
  }
  TBuffer out(&response.body, false);
  WriteSoup(out, entry);
}

namespace {

// Writes an archived asset's files and its plain configuration into a new folder.
AssetEditor::FolderFiller ArchivedAssetFiller(ArchivedAsset& asset) {
  const Soup files = GetFilesContainer(asset.soup);
  const Qel::PString compression = GetCompressionName(asset.soup);
  const Soup config = StripPackageTags(asset);
  return [files, compression, config](const SafeFolder& folders, const std::string& folder,
                                      std::string& why) {
    if (!folders.MakeFolders(folder, why)) return false;
    const Qel::PString message =
        ExtractPackageFiles(files, Qel::PString(), folder.c_str(), compression);
    if (!message.IsEmpty()) {
      why = message.CStr();
      return false;
    }
    // The folder is new and placed only once whole, so the file needs no copy of its own.
    Qel::DynamicBuffer text;
    TBuffer out(&text, false);
    WriteSoupText(out, config);
    if (!WriteStoredFile({text.GetData(), text.GetDataSize()}, Qel::PString(),
                         (folder + "/config.txt").c_str())) {
      why = "cannot write the configuration";
      return false;
    }
    return true;
  };
}

}  // namespace

void RequestHandlers::InstallCdp(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string path;
  size_t installed = 0;
  if (!ReadPath(in.Get(), path)) {
    AddFailure(response, KUID::Null(), "PymDaemon: no package path given");
  } else {
    Soup package;
    const Qel::PString message = OpenContentPackage(package, Qel::PString(), path.c_str());
    if (!message.IsEmpty()) {
      AddFailure(response, KUID::Null(), std::string(message.View()) + ": " + path);
    }
    std::vector<AssetEditor::InstallJob> jobs;
    for (u32 i = 0, n = CountPackageAssets(package); i < n; ++i) {
      ArchivedAsset asset = GetPackageAsset(package, i);
      const KUID kuid = asset.soup.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
      if (kuid.IsNull()) {
        AddFailure(response, kuid, "PymDaemon: a package asset has no valid KUID");
      } else {
        jobs.push_back({kuid, ArchivedAssetFiller(asset)});
      }
    }
    std::vector<std::string> errors;
    installed = editor_.InstallAll(jobs, errors);
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (errors[i].empty()) {
        AddInstalled(response, jobs[i].kuid);
      } else {
        AddFailure(response, jobs[i].kuid, "PymDaemon: not installed: " + errors[i]);
      }
    }
  }
  TBuffer out(&response.body, false);
  out.WriteU32(u32(installed));
  out.WriteU8(0);
}

void RequestHandlers::InstallAssetFromFolder(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string from;
  ScannedAsset scanned;
  std::string error = "no folder given";
  KUID kuid;
  if (ReadPath(in.Get(), from) &&
      ReadAssetFolder(from, AssetEditor::kLocalFolder, "import", scanned, error)) {
    kuid = scanned.record.kuid;
    const bool installed = editor_.Install(
        kuid,
        [&](const SafeFolder& folders, const std::string& folder, std::string& why) {
          return folders.CopyTree(from, folder, why);
        },
        error);
    if (installed) {
      AddInstalled(response, kuid);
    } else {
      kuid = KUID::Null();
    }
  }
  if (kuid.IsNull())
    AddFailure(response, scanned.record.kuid, "PymDaemon: not installed: " + error);
  TBuffer out(&response.body, false);
  out.WriteKUID(kuid);
  out.WriteU8(0);
}

void RequestHandlers::SetFavourite(const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 favourite = 0;
  if (!ReadKuid(in.Get(), kuid) || !in.Get().ReadU8(favourite, 0)) return;
  store_.SetFavourite(kuid, favourite != 0);
}

void RequestHandlers::RegisterCommandHost(const u8*, size_t, Response& response) {
  hosts_.Register(response.connectionId, response.notes);
}

void RequestHandlers::CommandHostReply(const u8* payload, size_t size, Response& response) {
  hosts_.Deliver(response.connectionId, payload, size);
}

void RequestHandlers::RunHostCommand(const u8* payload, size_t size, Response& response) {
  u32 limitMs = 0;
  if (size >= 4) limitMs = ByteOrder::LoadLE32(payload);
  if (limitMs == 0 || limitMs / 1000 > kMaxLimitSeconds)
    limitMs = kDefaultHostCommandSeconds * 1000;
  const std::vector<u8> command(payload + std::min<size_t>(size, 4), payload + size);
  std::vector<u8> reply;
  const HostCommandOutcome outcome = hosts_.Run(command, reply, limitMs, response.connectionId);
  TBuffer out(&response.body, false);
  out.WriteU32(u32(outcome));
  if (!reply.empty()) out.WriteBytes(reply.data(), u32(reply.size()));
}

// Nothing runs in the background that the request could hold back; the answer to the poll says
// whether anything still runs.
void RequestHandlers::RequestIdle(const u8*, size_t, Response&) {}

void RequestHandlers::IsIdleReached(const u8*, size_t, Response& response) {
  bool repairing = false;
  f32 progress = 0.0f;
  std::string status;
  repair_.GetProgress(repairing, progress, status);
  TBuffer out(&response.body, false);
  out.WriteU8(!repairing && !hosts_.IsBusy() ? 1 : 0);
}

void RequestHandlers::StartUrlRequest(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u8 kind = 0;
  Qel::String url;
  u32 option = pp::kUrlOptionPackage;
  in.Get().ReadU8(kind, 0);
  in.Get().ReadString(url);
  in.Get().ReadU32(option, pp::kUrlOptionPackage);
  UrlStatus status;
  const u64 id = urls_.Start(std::string(url.View()), option, store_.UserData() + "/temp",
                             response.connectionId, response.notes, status);
  TBuffer out(&response.body, false);
  out.WriteU64(id);
  status.Write(out);
}

void RequestHandlers::CloseUrlRequest(const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  u64 id = pp::kNoUrlRequest;
  if (in.Get().ReadU64(id, pp::kNoUrlRequest)) urls_.Forget(id);
}

void RequestHandlers::UrlRequestStatus(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 id = pp::kNoUrlRequest;
  in.Get().ReadU64(id, pp::kNoUrlRequest);
  TBuffer out(&response.body, false);
  urls_.Status(id).Write(out);
}

void RequestHandlers::PickVnyItems(const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 count = 0;
  in.Get().ReadU32(count, 0);
  std::vector<u32> picked;
  for (u32 i = 0; i < count && i < kMaxKuidListEntries; ++i) {
    KUID required;
    KUID latest;
    u32 packageSize = 0;
    if (!ReadKuid(in.Get(), required) || !ReadKuid(in.Get(), latest) ||
        !in.Get().ReadU32(packageSize, 0)) {
      break;
    }
    // Wanted unless that version, or a newer one, is installed.
    AssetRecord r;
    KUID newest;
    const bool have = store_.GetAsset(latest, r) ||
                      (NewestVersion(latest, newest) && newest.version >= latest.version);
    if (!latest.IsNull() && !have) picked.push_back(i);
  }
  TBuffer out(&response.body, false);
  out.WriteU32(u32(picked.size()));
  for (const u32 index : picked) out.WriteU32(index);
}

// A post: what goes wrong can only go to the daemon's log.
void RequestHandlers::SetKeywords(const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  KUID kuid;
  Qel::String keywords;
  std::string error = "malformed request";
  if (ReadKuid(in.Get(), kuid)) {
    in.Get().ReadString(keywords);
    if (in.Get().GetError() == TStream::kErrorNone &&
        store_.SetKeywords(kuid, std::string(keywords.View()), &error)) {
      return;
    }
  }
  Qel::Log::Get("PymDaemon")
      .Printf(Qel::Log::kMessage, "PymDaemon> %s: keywords not stored: %s", kuid.ToString().CStr(),
              error.c_str());
}

}  // namespace PymDaemonSrv
