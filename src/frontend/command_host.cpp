#include "frontend/command_host.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "assetdata/results_log.h"
#include "core/buffer_stream.h"
#include "core/core_statics.h"
#include "core/crash_handlers.h"
#include "core/kuid.h"
#include "core/log_printf.h"
#include "core/main_thread_wait.h"
#include "core/tcx_dispatcher.h"
#include "frontend/host_work.h"
#include "frontend/package_archive.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/resource_db_cache.h"
#include "pymclient/spec_registry.h"
#include "qel/thread.h"
#include "qel/wevent.h"
#include "validation/validation_run.h"

namespace {

namespace pp = PymProtocol;

constexpr u32 kWaitMs = 50;
constexpr u32 kDrainPauseMs = 10;
// The drain gives up after this many pauses: a call that no thread will ever run must not keep
// the host from ending.
constexpr u32 kDrainPauses = 1000;

const char* CommandName(u32 id) {
  switch (id) {
    case pp::kHostValidate:
      return "PYM_CMDHOST_VALIDATE";
    case pp::kHostTextureConvert:
      return "PYM_CMDHOST_TEXTURECONVERT";
    case pp::kHostArchiveSaveToDisk:
      return "PYM_CMDHOST_ARCHIVE_SAVETODISK";
    case pp::kHostArchiveInstall:
      return "PYM_CMDHOST_ARCHIVE_INSTALL";
    default:
      return nullptr;
  }
}

// A count and that many KUIDs; stops at the first short read, so a false count costs nothing.
std::vector<KUID> ReadKuidList(TStream& in) {
  std::vector<KUID> kuids;
  u32 count = 0;
  in.ReadU32(count, 0);
  for (u32 i = 0; i < count && in.GetError() == TStream::kErrorNone; ++i) {
    KUID kuid;
    in.ReadKUID(kuid);
    if (in.GetError() == TStream::kErrorNone) kuids.push_back(kuid);
  }
  return kuids;
}

// The validation and texture commands work inside the content folder's resource database.
bool OpenContentFolder(const ContentDatabaseScope& database, const Qel::PString& folderName,
                       ResultsLog& log) {
  if (database.IsOpen()) return true;
  ResultsLog::AddResult(&log, ResultsLog::kError, KestroPropertyRef(),
                        "Unable to open the content folder '" + Qel::String(folderName) + "'.");
  return false;
}

void RunCommand(u32 id, TStream& request, TBuffer& reply) {
  Qel::PString folderName;
  Qel::String path;
  u32 key = 0;
  std::vector<KUID> kuids;
  if (id == pp::kHostValidate || id == pp::kHostTextureConvert) {
    request.ReadPString(folderName);
    request.ReadString(path);
  } else {
    request.ReadU32(key, 0);
    request.ReadString(path);
    kuids = ReadKuidList(request);
  }
  if (request.GetError() != TStream::kErrorNone) return;

  ResultsLog log;
  const Qel::File::Path filePath(path);
  switch (id) {
    case pp::kHostValidate: {
      const ContentDatabaseScope database(folderName);
      const bool valid = OpenContentFolder(database, folderName, log) &&
                         TETLib::RunValidateAssetTask(folderName, filePath, &log);
      log.Write(reply);
      reply.WriteBool(valid);
      break;
    }
    case pp::kHostTextureConvert: {
      const ContentDatabaseScope database(folderName);
      const u32 status = OpenContentFolder(database, folderName, log)
                             ? ConvertTexturesAtPath(folderName, filePath, log)
                             : 0;
      log.Write(reply);
      reply.WriteU32(status);
      break;
    }
    case pp::kHostArchiveSaveToDisk: {
      const bool saved = SaveArchiveFile(key, path, kuids, log);
      log.Write(reply);
      reply.WriteU32(saved ? 1 : 0);
      break;
    }
    default: {
      InstallArchive(key, kuids, path, log);
      log.Write(reply);
      reply.WriteU32(u32(kuids.size()));
      for (const KUID& kuid : kuids) reply.WriteKUID(kuid);
      break;
    }
  }
  LogPrintf("CommandHostCallback> complete");
}

}  // namespace

void CommandHostCallback(TStream& request, TBuffer& reply) {
  u32 id = 0;
  request.ReadU32(id, 0);
  const char* name = CommandName(id);
  if (name == nullptr) {
    LogPrintf("CommandHostCallback> unsupported commandID=%d", int(id));
  } else {
    LogPrintf("CommandHostCallback> %s", name);
    RunCommand(id, request, reply);
    if (request.GetError() != TStream::kErrorNone) return;
  }
  if (SpecRegistry* registry = SpecRegistry::GetCurrent()) registry->DumpLeakedSpecs();
  CollectResourceGarbage();
}

namespace {

// Keeps the host's connection alive from a thread of its own: the main thread may work on one
// command for longer than the silence limit, and the daemon, waiting for the answer, sends
// nothing meanwhile. Each keep-alive's reply is the daemon's word the limit waits for.
class KeepAlive {
 public:
  explicit KeepAlive(u64 connection)
      : connection_(connection), thread_([this](Qel::Thread& self) { return Run(self); }) {
    thread_.Start();
  }
  ~KeepAlive() {
    thread_.RequestEnd();
    stop_.Set();
    thread_.Join();
  }
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;

 private:
  i32 Run(Qel::Thread& self) {
    const u32 limitMs = PymGetSilenceLimit();
    // Several tries within the limit, so one slow answer does not end the connection.
    u32 intervalMs = pp::kKeepAliveNoteSeconds * 1000;
    if (limitMs != 0) intervalMs = std::clamp(limitMs / 4, kMinIntervalMs, intervalMs);
    // A keep-alive on another connection would make one unknown to the daemon.
    while (connection_ != 0 && !stop_.Wait(intervalMs) && !self.IsEndRequested() &&
           PymConnectionNumber() == connection_) {
      PymKeepAlive();
    }
    return 0;
  }

  static constexpr u32 kMinIntervalMs = 10;
  const u64 connection_;
  Qel::WEvent stop_{true, false};
  Qel::Thread thread_;
};

}  // namespace

CommandHostEnd RunCommandHost() {
  PymSetCommandHostCallback(&CommandHostCallback);
  // The registration is a post, which the daemon does not answer. It serves one connection's
  // requests in order, so its answer to a request sent after it on the same connection says that
  // it has registered the host: only then may a command run after the line below find it.
  const u64 registeredOn = PymRegisterCommandHost() && PymIsConnected() ? PymConnectionNumber() : 0;
  if (registeredOn == 0 || !PymKeepAlive() || PymConnectionNumber() != registeredOn) {
    PymSetCommandHostCallback(nullptr);
    return CommandHostEnd::kUnreached;
  }
  InstallProcessHandlers(false);
  DisableConsoleCloseButton();
  LogPrintf("PymCommandHost");
  // The host prints nothing more until it ends: whoever started it must know it is serving.
  std::printf("Serving the asset database's commands; press Ctrl+C to stop.\n");
  std::fflush(stdout);

  // The daemon ends the host by ending its connection, and forgets the registration with it: on
  // a connection made afresh the host would carry on unknown to the daemon, so it stops.
  {
    const KeepAlive keepAlive(registeredOn);
    while (PymIsConnected() && PymConnectionNumber() == registeredOn &&
           !IsConsoleCloseRequested()) {
      WaitForMainThreadWork(kWaitMs);
      PumpMainThread();
    }
  }
  const CommandHostEnd end = IsConsoleCloseRequested() || PymDaemonStoppedInOrder()
                                 ? CommandHostEnd::kStopped
                                 : CommandHostEnd::kDaemonGone;

  PymSetCommandHostCallback(nullptr);
  AllowProcessExit();
  LogPrintf("PymCommandHost shutting down...");
  TCXDispatcher& dispatcher = GetDispatcher();
  for (u32 pause = 0; pause < kDrainPauses; ++pause) {
    dispatcher.RunNextCall(0);
    if (!dispatcher.HasPendingCalls()) break;
    Qel::Sleep(kDrainPauseMs);
  }
  return end;
}
