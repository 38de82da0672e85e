// What every request handler shares: the store and the services over it, the assets open
// through handles, the payload reader and the ways a handler reports into its response.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "assetdata/results_log.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "core/stream.h"
#include "daemon/asset_editor.h"
#include "daemon/command_host_registry.h"
#include "daemon/daemon_limits.h"
#include "daemon/install_holds.h"
#include "daemon/note_channel.h"
#include "daemon/repair_runner.h"
#include "daemon/repository_index.h"
#include "daemon/url_requests.h"
#include "qel/dynamic_buffer.h"
#include "qel/pstring.h"
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

class RequestContext {
 public:
  explicit RequestContext(AssetStore& assets);
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  // Open assets by handle. Bounded: a client that never releases cannot grow it without limit.
  u64 AddHandle(const KUID& kuid, u64 connectionId);
  bool FindHandle(u64 handle, KUID& kuid);
  void ReleaseHandle(u64 handle);
  // Releases the handles that the connection still holds, and ends its installs' holds.
  void ReleaseHandlesOf(u64 connectionId);
  // The asset a request names by the KUID it starts with; false when the payload holds no KUID
  // or the index has no such asset.
  bool ReadIndexedAsset(TStream& in, KUID& kuid, AssetRecord& record) const;
  // The newest indexed version of the asset's user and content id; false when there is none.
  bool NewestVersion(const KUID& kuid, KUID& out) const;
  // Raises `answer` to the newest version that the local repository offers, when that is newer.
  void NewerInRepository(const KUID& kuid, KUID& answer);
  // The local repository beside UserData, read again for its changes.
  RepositoryIndex& Repository();
  void WriteLocation(TStream& out, const AssetRecord* record) const;

  AssetStore& store;
  AssetEditor editor;
  // Called by a package request once the asset's files are listed and before any is read: lets a
  // test change the asset at the moment another client's change would come.
  std::function<void()> packListedHookForTests;
  // Before the repair, which reads it until its thread ends.
  InstallHolds holds;
  RepairRunner repair;
  CommandHostRegistry hosts;
  UrlRequests urls;

 private:
  std::unique_ptr<RepositoryIndex> repository_;
  std::once_flag repositoryOnce_;
  std::mutex handlesMutex_;
  struct OpenHandle {
    KUID kuid;
    u64 connectionId;
  };
  std::unordered_map<u64, OpenHandle> handles_;
  u64 nextHandle_ = 1;
};

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

// The KUID a request starts with; false for a payload too short to hold one.
bool ReadKuid(TStream& in, KUID& out);
// A path in either string form; false when it is missing or empty.
bool ReadPath(TStream& in, std::string& out);
void WriteKuidList(TStream& out, const std::vector<KUID>& list);

void AddResult(Response& response, u32 type, const KUID& kuid, const std::string& text);
// A change the daemon could not make: an error for the client and a line in the daemon's log,
// which outlives the client's console.
void AddFailure(Response& response, const KUID& kuid, const std::string& text);
// The line of an asset installed and, when the version it replaced is kept (`keptIn`), a line
// that names the place.
void AddInstalled(Response& response, const KUID& kuid, const std::string& keptIn = {});
// One warning line for each text: what a change that was made could not clean up or passed over.
void AddWarnings(Response& response, const KUID& kuid, const std::vector<std::string>& texts);
// A line of the daemon's log with one number in it.
void LogRequest(const char* format, u32 value);

}  // namespace PymDaemonSrv
