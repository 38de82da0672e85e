#include "daemon/asset_requests.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "assetdata/safe_folder.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_limits.h"
#include "daemon/host_requests.h"
#include "daemon/repository_index.h"
#include "pymclient/pym_filter_codes.h"
#include "qel/log.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace PymDaemonSrv::AssetRequests {

namespace {

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

void GetConfigSoup(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  Soup config;
  if (ReadKuid(in.Get(), kuid)) config = context.store.GetConfig(kuid);
  TBuffer out(&response.body, false);
  WriteSoup(out, config);
}

void GetAssetInfo(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  bool found = context.ReadIndexedAsset(in.Get(), kuid, r);
  // The repository's own versions: an item of it and on it (flags 5 and 6), known even when
  // they are not installed.
  RepositoryAsset offered;
  const bool onRepository = !kuid.IsNull() && context.Repository().Find(kuid, offered);
  if (!found && onRepository) {
    r.kuid = kuid;
    r.name = offered.name;
    r.categories = offered.categories;
    r.size = offered.packageSize;
    found = true;
  }
  r.SetFlag(PymFilterCodes::kFlagVantry, onRepository);
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
  // The asset's size in bytes, which the repository export publishes; -1 for an unknown asset.
  out.WriteI32(found ? i32(std::min<u64>(r.size, u64(INT32_MAX))) : -1);
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

void GetAssetLocation(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = context.ReadIndexedAsset(in.Get(), kuid, r);
  TBuffer out(&response.body, false);
  context.WriteLocation(out, found ? &r : nullptr);
}

void ResolveKuid(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  // A KUID the database does not know resolves to the null KUID, so that callers never take an
  // asset that is not installed for one that is.
  KUID answer;
  if (ReadKuid(in.Get(), kuid)) {
    if (context.store.GetAsset(kuid, r)) {
      answer = kuid;
    } else {
      context.NewestVersion(kuid, answer);
    }
  }
  TBuffer out(&response.body, false);
  out.WriteKUID(answer);
}

void LatestVersion(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  KUID answer;
  if (ReadKuid(in.Get(), kuid)) {
    answer = kuid;
    context.NewestVersion(kuid, answer);
    context.NewerInRepository(kuid, answer);
  }
  TBuffer out(&response.body, false);
  out.WriteKUID(answer);
}

void GetDescription(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = context.ReadIndexedAsset(in.Get(), kuid, r);
  TBuffer out(&response.body, false);
  out.WriteString(Qel::String(found ? r.description : std::string()));
}

void GetThumbnailPath(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = context.ReadIndexedAsset(in.Get(), kuid, r);
  // The asset's "thumbnail.jpg", when it has one.
  constexpr const char* kThumbnail = "thumbnail.jpg";
  struct stat st {};
  const bool has = found &&
                   lstat((context.store.FolderPathOf(r) + "/" + kThumbnail).c_str(), &st) == 0 &&
                   S_ISREG(st.st_mode);
  TBuffer out(&response.body, false);
  out.WritePString(has ? Qel::PString(r.folder) : Qel::PString());
  out.WriteString(has ? Qel::String(r.path + "/" + kThumbnail) : Qel::String());
  out.WriteU32(has ? 1 : 0);
}

void ValidateAssetPath(RequestContext& context, const u8* payload, size_t size,
                       Response& response) {
  PayloadStream in(payload, size);
  Qel::PString folderName;
  Qel::String path;
  in.Get().ReadPString(folderName);
  in.Get().ReadString(path);
  AssetRecord indexed;
  ScannedAsset scanned;
  std::string reason;
  const std::string folder(path.View());
  bool valid = context.store.FindByFolderPath(folder, indexed);
  // The files judged, named before anything reads them, and the changes recorded so far: a
  // change the daemon records from here on shows in the count even when it puts back equal files.
  const u64 changes = valid ? context.store.ChangeCount(indexed.kuid) : 0;
  std::string unreadable;
  const std::string judged = valid ? SafeFolder::SettledTreeSignature(folder, &unreadable) : "";
  // What the files are compared against once judged: a tree that keeps no verdict (a change time
  // ahead of the clock, say) still has its findings, and may still change while they are made.
  const std::string before = valid && judged.empty() ? SafeFolder::TreeSignature(folder) : judged;
  if (!valid) {
    AddResult(response, ResultsLog::kError, KUID::Null(),
              "PymDaemon: no asset of the database is at " + std::string(path.View()));
  } else if (!ReadAssetFolder(folder, indexed.folder, indexed.path, scanned, reason)) {
    valid = false;
    AddResult(response, ResultsLog::kError, indexed.kuid, "PymDaemon: " + reason);
  } else if (scanned.record.kuid != indexed.kuid) {
    valid = false;
    AddResult(response, ResultsLog::kError, indexed.kuid,
              "PymDaemon: the configuration names another KUID");
  } else {
    // The configuration just read, not the index's copy of it: the folder is what is validated.
    const Soup config = DecodeConfig(scanned.config);
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
      const bool met = context.store.GetAsset(dependency, target) ||
                       (context.NewestVersion(dependency, newest) &&
                        (dependency.IsShortForm() || newest.version >= dependency.version));
      if (!met) {
        valid = false;
        AddResult(response, ResultsLog::kError, indexed.kuid,
                  std::string("PymDaemon: the dependency ") + dependency.ToString().CStr() +
                      " is not installed");
      }
    }
    std::vector<ResultsLogEntry> findings;
    const HostRequests::HostValidation host =
        HostRequests::ValidateOnHost(context, folderName, path, indexed.kuid, response, findings);
    valid = valid && (host == HostRequests::HostValidation::kValid ||
                      host == HostRequests::HostValidation::kNoHost);
    // Only a whole validation tells whether the asset is faulty: the daemon's checks alone leave
    // the record as it was.
    std::string error;
    const bool whole = host == HostRequests::HostValidation::kValid ||
                       host == HostRequests::HostValidation::kFaulty;
    // Signed again outside the change lock, which every install, commit and delete waits for;
    // held from the count's check until the verdict is recorded, so that no recorded change
    // comes in between.
    const std::string after = whole ? SafeFolder::TreeSignature(folder) : std::string();
    std::unique_lock<OwnedMutex> change(context.store.ChangeMutex(), std::defer_lock);
    if (whole) change.lock();
    if (whole && (after != before || context.store.ChangeCount(indexed.kuid) != changes)) {
      // The findings are about files that may no longer be there, and judge none that are.
      valid = false;
      AddResult(response, ResultsLog::kError, indexed.kuid,
                "PymDaemon: the asset changed while it was validated; validate it again");
    } else {
      response.results.AppendEntries(std::move(findings));
      if (whole && judged.empty()) {
        AddResult(response, ResultsLog::kWarning, indexed.kuid,
                  "PymDaemon: the verdict is not kept: " + unreadable);
      } else if (whole && !context.store.SetValidationFault(indexed.kuid, judged, !valid, &error)) {
        Qel::Log::Get("PymDaemon")
            .Printf(Qel::Log::kMessage, "PymDaemon> %s: validation result not stored: %s",
                    indexed.kuid.ToString().CStr(), error.c_str());
      }
    }
  }
  TBuffer out(&response.body, false);
  out.WriteU8(valid ? 1 : 0);
}

void DependenciesOfList(RequestContext& context, const u8* payload, size_t size,
                        Response& response) {
  PayloadStream in(payload, size);
  u32 count = 0;
  in.Get().ReadU32(count, 0);
  std::vector<KUID> out;
  for (u32 i = 0; i < count && i < kMaxKuidListEntries; ++i) {
    KUID kuid;
    if (!ReadKuid(in.Get(), kuid)) break;
    AssetRecord r;
    if (!context.store.GetAsset(kuid, r)) continue;
    for (const KUID& dependency : r.dependencies) {
      if (std::find(out.begin(), out.end(), dependency) == out.end()) out.push_back(dependency);
    }
  }
  TBuffer body(&response.body, false);
  WriteKuidList(body, out);
}

void GetObsoletes(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  const bool found = context.ReadIndexedAsset(in.Get(), kuid, r);
  TBuffer out(&response.body, false);
  WriteKuidList(out, found ? r.obsoletes : std::vector<KUID>());
}

void GenerateKuid(RequestContext& context, const u8*, size_t, Response& response) {
  std::string error;
  const KUID kuid = context.store.GenerateKuid(&error);
  if (kuid.IsNull())
    AddResult(response, ResultsLog::kError, kuid, "PymDaemon: no KUID made: " + error);
  TBuffer out(&response.body, false);
  out.WriteKUID(kuid);
}

void CreatorName(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u32 userId = 0;
  const bool read = in.Get().ReadU32(userId, 0);
  const std::string name = read ? context.store.GetCreatorName(userId) : std::string();
  TBuffer out(&response.body, false);
  out.WriteU32(name.empty() ? 0xFFFFFFFFu : userId);
  out.WritePString(Qel::PString(name));
}

void SetFavourite(RequestContext& context, const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 favourite = 0;
  if (!ReadKuid(in.Get(), kuid) || !in.Get().ReadU8(favourite, 0)) return;
  context.store.SetFavourite(kuid, favourite != 0);
}

// Also taken as a post, whose failure only the daemon's log learns.
void SetKeywords(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  Qel::String keywords;
  std::string error = "malformed request";
  if (ReadKuid(in.Get(), kuid)) {
    in.Get().ReadString(keywords);
    if (in.Get().GetError() == TStream::kErrorNone &&
        context.store.SetKeywords(kuid, std::string(keywords.View()), &error)) {
      return;
    }
  }
  Qel::Log::Get("PymDaemon")
      .Printf(Qel::Log::kMessage, "PymDaemon> %s: keywords not stored: %s", kuid.ToString().CStr(),
              error.c_str());
  AddResult(response, ResultsLog::kError, kuid, "PymDaemon: keywords not stored: " + error);
}

}  // namespace PymDaemonSrv::AssetRequests
