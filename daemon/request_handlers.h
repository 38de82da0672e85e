// The requests that the daemon serves: each turns a request payload into a reply body and, when
// the request has something to report, results that go to the client before the reply.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "assetdata/cdp_package.h"
#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "core/stream.h"
#include "daemon/asset_editor.h"
#include "daemon/command_host_registry.h"
#include "daemon/note_channel.h"
#include "daemon/online_requests.h"
#include "daemon/repair_runner.h"
#include "daemon/repository_index.h"
#include "daemon/url_requests.h"
#include "qel/dynamic_buffer.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class AssetStore;
struct AssetRecord;

struct Response {
  // The transaction id of the request (0 for a post) and the connection it came on.
  u32 requestId = 0;
  u64 connectionId = 0;
  Qel::DynamicBuffer body;
  ResultsLog results;
  // When not 0, the results belong to this earlier transaction rather than to this one.
  u32 resultsId = 0;
  // Notes to the connection after the reply (URL requests).
  std::shared_ptr<NoteChannel> notes;
  // Set by the close request: the daemon ends once the reply is out.
  bool closeDaemon = false;
};

class RequestHandlers {
 public:
  explicit RequestHandlers(AssetStore& store);

  // Unknown opcodes leave the body empty, so that every transaction still gets its reply.
  void Handle(u32 opcode, const u8* payload, size_t size, Response& response);
  // Releases the assets that the connection still holds open.
  void ReleaseConnection(u64 connectionId);
  // Waits for a repair that still runs; the store must stay open until it returns.
  void WaitForBackgroundWork() {
    repair_.Join();
    urls_.CancelAll();
  }

 private:
  using Handler = void (RequestHandlers::*)(const u8*, size_t, Response&);

  void KeepAlive(const u8* payload, size_t size, Response& response);
  void SearchAssets(const u8* payload, size_t size, Response& response);
  void GetSettingsSoup(const u8* payload, size_t size, Response& response);
  void SetSettingsSoup(const u8* payload, size_t size, Response& response);
  void GetSettingString(const u8* payload, size_t size, Response& response);
  void Answer(const u8* payload, size_t size, Response& response);
  void CloseDaemon(const u8* payload, size_t size, Response& response);
  void StartRepair(const u8* payload, size_t size, Response& response);
  void RepairProgress(const u8* payload, size_t size, Response& response);
  void GetConfigSoup(const u8* payload, size_t size, Response& response);
  void GetAssetInfo(const u8* payload, size_t size, Response& response);
  void GetAssetLocation(const u8* payload, size_t size, Response& response);
  void ResolveKuid(const u8* payload, size_t size, Response& response);
  void LatestVersion(const u8* payload, size_t size, Response& response);
  void GetDescription(const u8* payload, size_t size, Response& response);
  void GetThumbnailPath(const u8* payload, size_t size, Response& response);
  void OpenAsset(const u8* payload, size_t size, Response& response);
  void ReleaseAsset(const u8* payload, size_t size, Response& response);
  void GetOpenAssetPath(const u8* payload, size_t size, Response& response);
  void RevertAsset(const u8* payload, size_t size, Response& response);
  void CommitAsset(const u8* payload, size_t size, Response& response);
  void CreateAsset(const u8* payload, size_t size, Response& response);
  void DeleteAsset(const u8* payload, size_t size, Response& response);
  void ValidateAssetPath(const u8* payload, size_t size, Response& response);
  void DependenciesOfList(const u8* payload, size_t size, Response& response);
  void GetObsoletes(const u8* payload, size_t size, Response& response);
  void GenerateKuid(const u8* payload, size_t size, Response& response);
  void CreatorName(const u8* payload, size_t size, Response& response);
  void VantryAccess(const u8* payload, size_t size, Response& response);
  void TextureConvertSetting(const u8* payload, size_t size, Response& response);
  void ListBuilds(const u8* payload, size_t size, Response& response);
  void SaveAssetToCdp(const u8* payload, size_t size, Response& response);
  void InstallCdp(const u8* payload, size_t size, Response& response);
  void InstallAssetFromFolder(const u8* payload, size_t size, Response& response);
  void SetFavourite(const u8* payload, size_t size, Response& response);
  void RegisterCommandHost(const u8* payload, size_t size, Response& response);
  void CommandHostReply(const u8* payload, size_t size, Response& response);
  void RunHostCommand(const u8* payload, size_t size, Response& response);
  // Hands the validation to a registered command host, whose findings join the response's; true
  // when no host answered.
  bool ValidateOnHost(const Qel::PString& folderName, const Qel::String& path, Response& response);
  void RequestIdle(const u8* payload, size_t size, Response& response);
  void IsIdleReached(const u8* payload, size_t size, Response& response);
  void StartUrlRequest(const u8* payload, size_t size, Response& response);
  void CloseUrlRequest(const u8* payload, size_t size, Response& response);
  void UrlRequestStatus(const u8* payload, size_t size, Response& response);
  void PickVnyItems(const u8* payload, size_t size, Response& response);
  void SetKeywords(const u8* payload, size_t size, Response& response);

  // Open assets by handle. Bounded: a client that never releases cannot grow it without limit.
  u64 AddHandle(const KUID& kuid, u64 connectionId);
  bool FindHandle(u64 handle, KUID& kuid);
  // The newest indexed version of the asset's user and content id; false when there is none.
  bool NewestVersion(const KUID& kuid, KUID& out) const;
  // Raises `answer` to the newest version that the local repository offers, when that is newer.
  void NewerInRepository(const KUID& kuid, KUID& answer);
  // The local repository beside UserData, read again for its changes.
  RepositoryIndex& Repository();
  void WriteLocation(TStream& out, const AssetRecord* record) const;

  AssetStore& store_;
  AssetEditor editor_;
  RepairRunner repair_;
  CommandHostRegistry hosts_;
  UrlRequests urls_;
  OnlineRequests online_{store_, urls_};
  // The local repository beside UserData, read for the newest versions it offers.
  std::unique_ptr<RepositoryIndex> repository_;
  std::once_flag repositoryOnce_;
  std::unordered_map<u32, Handler> handlers_;
  std::mutex handlesMutex_;
  struct OpenHandle {
    KUID kuid;
    u64 connectionId;
  };
  std::unordered_map<u64, OpenHandle> handles_;
  u64 nextHandle_ = 1;
};

}  // namespace PymDaemonSrv
