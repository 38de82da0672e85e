// Constants shared by the asset-database client and the daemon: tags, handshake, framing,
// limits, the client's connection tries, notification kinds, opcodes, the discovery block, the
// names of its shared objects and the online service's default address.
// Kept free of everything but qel/types.h and the standard library so that the daemon can use it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "qel/types.h"

namespace PymProtocol {

// Four-character tags; the first character is the most significant byte, so the bytes of a
// little-endian u32 appear reversed on the wire ("CMYP" for 'PYMC').
constexpr u32 kTagClient = FourCC("PYMC");  // 0x50594D43, first handshake word of the client
constexpr u32 kTagDaemon = FourCC("PYMD");  // 0x50594D44, first word of the daemon's answer
constexpr u32 kTagReply = FourCC("repl");   // 0x7265706C
constexpr u32 kTagNotify = FourCC("note");  // 0x6E6F7465
// In place of kTagDaemon from a daemon that cannot take one more connection (at its limit, or
// short of a thread for it): the client tries again a moment later, rather than take the store's
// holder for one that refuses it.
constexpr u32 kTagBusy = FourCC("PYMB");  // 0x50594D42
static_assert(kTagClient == 0x50594D43u && kTagDaemon == 0x50594D44u && kTagBusy == 0x50594D42u);
static_assert(kTagReply == 0x7265706Cu && kTagNotify == 0x6E6F7465u);

// Client handshake, in order: kTagClient, kProtocolVersion, kBuildNumber, isClient (0 or 1),
// u32 byte length of the database path, the path bytes without terminator.
constexpr u32 kProtocolVersion = 360;
constexpr u32 kBuildNumber = 48249;
// Daemon answer: kTagDaemon (or kTagBusy, after which the daemon closes), then two u32 handshake
// words that the client keeps but never reads.
constexpr u32 kHandshakeWordCount = 2;
constexpr std::size_t kHandshakeAnswerSize = 4 + 4 * kHandshakeWordCount;

// The client's handshake as it goes out, in one piece.
inline std::vector<u8> HandshakeHello(std::string_view databasePath, u32 isClient) {
  std::vector<u8> hello;
  hello.reserve(5 * 4 + databasePath.size());
  for (const u32 word :
       {kTagClient, kProtocolVersion, kBuildNumber, isClient, u32(databasePath.size())}) {
    for (int shift = 0; shift < 32; shift += 8) hello.push_back(u8(word >> shift));
  }
  hello.insert(hello.end(), databasePath.begin(), databasePath.end());
  return hello;
}
// Whether an answer to the handshake (its first kHandshakeAnswerSize bytes) comes from a daemon,
// busy or not.
inline bool IsDaemonAnswer(const u8* answer) {
  const u32 tag =
      u32(answer[0]) | u32(answer[1]) << 8 | u32(answer[2]) << 16 | u32(answer[3]) << 24;
  return tag == kTagDaemon || tag == kTagBusy;
}

// Sent alone (no frame) before an orderly close.
constexpr u32 kGoodbyeWord = 1;

// Request frame: u32 opcode, u32 transaction id (0 for a post), u32 payload length, payload.
// Daemon messages: u32 tag, then for kTagReply u32 transaction id, u32 body length, body;
// for kTagNotify u32 kind, u32 payload length, payload.
constexpr u32 kPostTransactionId = 0;
// The three header words of a request frame and of a daemon message.
constexpr u32 kFrameHeaderSize = 12;

// Transfers move at most this many bytes per send or receive call; posts are written in
// pieces of this size.
constexpr u32 kTransferChunk = 32768;

// Largest reply body, notification payload or count that the client accepts from the daemon.
constexpr u32 kMaxMessageLength = 256u * 1024u * 1024u;

// While a request runs, the daemon sends a kNoteMessage notification with the value 0 at this
// interval; the client takes a daemon silent for kDefaultSilenceLimitMs (settable) for frozen and
// fails the request. Long installs and repairs stay alive through the notes.
constexpr u32 kKeepAliveNoteSeconds = 5;
constexpr u32 kDefaultSilenceLimitMs = 60 * 1000;

// The client connects in up to this many tries (more while a daemon it started still runs),
// starting the daemon once before the second,
// with a pause before every try after the first (settable for tests: PymSetConnectPauseMs).
constexpr u32 kConnectTries = 11;
constexpr u32 kConnectPauseMs = 1000;
// How long a connection made waits at most for a daemon that its process started and that gives
// way to the one that serves.
constexpr u32 kGiveWayWaitMs = 5000;
// How long PymCloseDaemon waits for the daemon to close the connection: steps of this many
// milliseconds, at most this many steps (30 seconds).
constexpr u32 kCloseWaitStepMs = 100;
constexpr u32 kCloseWaitSteps = 300;
// How much of the end of the daemon's log the tool searches for its last error line.
constexpr std::size_t kDaemonLogTailBytes = 64 * 1024;

// The asset handle that the open and create requests answer for "none".
constexpr u64 kNoAssetHandle = ~0ull;

// The online-access service that the daemon's online profile names when online.txt names none,
// and that the client's endpoint falls back to when the profile it is handed names none.
constexpr u16 kOnlineServicePort = 5251;
constexpr const char* kOnlineServiceHost = "127.0.0.1";

// Repair levels of kOpStartRepair.
constexpr u32 kRepairBase = 20;
constexpr u32 kRepairPatcher = 50;
constexpr u32 kRepairDefault = 100;
constexpr u32 kRepairExtended = 150;

// Notification kinds.
constexpr u32 kNoteMessage = 0;      // u32 value for the options' message callback
constexpr u32 kNoteCommandHost = 1;  // a command-host request; answered with kOpCommandHostReply
constexpr u32 kNoteQuestion = 2;     // u32 transaction id, text, KUID; answered with kOpAnswer
constexpr u32 kNoteResults = 3;      // u32 request id, then a results log in stream form
constexpr u32 kNoteUrlDone = 4;      // u64 URL request id, then the result

// Command-host commands: the first field of a kNoteCommandHost payload.
constexpr u32 kHostValidate = 0;
constexpr u32 kHostTextureConvert = 1;
constexpr u32 kHostArchiveSaveToDisk = 2;
constexpr u32 kHostArchiveInstall = 3;

// Answers to a question (kNoteQuestion) besides the callback's own.
constexpr u32 kAnswerNoCallback = 2;
constexpr u32 kAnswerUnknownTransaction = 4;

// Opcodes.
constexpr u32 kOpKeepAlive = 0x0;       // empty request; reply not read
constexpr u32 kOpSearchAssets = 0x2;    // filter tree; reply u32 count, count KUIDs
constexpr u32 kOpStartRepair = 0x3;     // u32 level; results log kept registered
constexpr u32 kOpRepairProgress = 0x4;  // reply u8 running, f32 progress, text status
constexpr u32 kOpGetConfigSoup = 0x14;
constexpr u32 kOpGetAssetInfo = 0x15;
constexpr u32 kOpGetAssetLocation = 0x17;
constexpr u32 kOpResolveKuid = 0x1A;
constexpr u32 kOpLatestVersion = 0x1B;
constexpr u32 kOpGetDescription = 0x1C;
constexpr u32 kOpGetThumbnailPath = 0x1D;
constexpr u32 kOpOpenAsset = 0x1E;
constexpr u32 kOpReleaseAsset = 0x1F;
constexpr u32 kOpGetOpenAssetPath = 0x20;
constexpr u32 kOpRevertAsset = 0x21;
constexpr u32 kOpCommitAsset = 0x22;
constexpr u32 kOpCreateAsset = 0x23;
constexpr u32 kOpDeleteAsset = 0x24;
constexpr u32 kOpEndInstall = 0x25;  // empty request: the command's installs end
constexpr u32 kOpValidateAssetPath = 0x26;
constexpr u32 kOpInstallAssetFromFolder = 0x27;  // text folder, u32 options, u8; reply KUID, u8
constexpr u32 kOpInstallCdp = 0x28;  // text package path, u32 options, u8; reply u32 count, u8
constexpr u32 kOpDependenciesOfList = 0x2A;
constexpr u32 kOpGetObsoletes = 0x2B;
constexpr u32 kOpSaveAssetToCdp = 0x30;
constexpr u32 kOpSetFavorite = 0x32;  // post
constexpr u32 kOpSetKeywords = 0x36;  // post
constexpr u32 kOpGenerateKuid = 0x3A;
// u32 n, n x (KUID requires, KUID latest version, u32 size); reply u32 m, m u32 item indices
constexpr u32 kOpPickVnyItems = 0x4A;
constexpr u32 kOpCreatorName = 0x5A;  // u32 user id; reply u32 second value, name
constexpr u32 kOpGetSettingsSoup = 0x64;
constexpr u32 kOpSetSettingsSoup = 0x65;
constexpr u32 kOpGetSettingString = 0x66;
constexpr u32 kOpGetOnlineLocalData = 0x79;  // KUID, name key; reply soup
constexpr u32 kOpSetOnlineLocalData = 0x7A;  // post: KUID, name key, soup
constexpr u32 kOpVantryAccess = 0x87;
constexpr u32 kOpRegisterCommandHost = 0x8C;  // post, empty: this connection is a command host
constexpr u32 kOpCommandHostReply = 0x8D;     // post: the command host's reply stream
constexpr u32 kOpAnswer = 0x96;               // post: u32 transaction id, u32 answer
constexpr u32 kOpTextureConvertSetting = 0xB5;
constexpr u32 kOpStartUrlRequest = 0xE6;   // u8 0, text URL, u32 option, u32, soup
constexpr u32 kOpCloseUrlRequest = 0xE7;   // post: u64 id; the daemon cancels and forgets it
constexpr u32 kOpUrlRequestStatus = 0xE8;  // u64 id; reply the status record
constexpr u32 kOpRequestIdle = 0xEB;
constexpr u32 kOpIsIdleReached = 0xEC;
constexpr u32 kOpOnlineProfile = 0xF0;
constexpr u32 kOpOnlineLoginRejected = 0xF1;  // post
constexpr u32 kOpOnlineAuthTicket = 0xF2;
constexpr u32 kOpListBuilds = 0xFD;
constexpr u32 kOpPatcherRepairDone = 0x100;  // post
constexpr u32 kOpCloseDaemon = 0x10E;        // empty request; the daemon closes the connection

// Daemon-run URL requests. The start reply is the u64 request id and the status record; 0xE8
// replies and kNoteUrlDone notes (u64 id first) carry the status record: u8 done, u32 status
// word, u32 bytes received, u32 bytes expected (0 when unknown), text result file path (empty
// unless done and fetched whole), text reason (empty on success).
constexpr u64 kNoUrlRequest = ~0ull;
// Option words of the start request: a repository query answers a small text, a package
// transfer may be large.
constexpr u32 kUrlOptionPackage = 0;
constexpr u32 kUrlOptionQuery = 2;
// The status word: the answer's HTTP status once it has one, or one of these.
constexpr u32 kUrlStatusPending = 0;
constexpr u32 kUrlStatusFailed = 1;  // no answer: refused, unreachable, too large, cancelled
constexpr u32 kUrlStatusTimedOut = 2;
constexpr u32 kUrlStatusRefused = 3;  // the online login hand-off was refused
// The daemon ends every URL request within this time from its start, done with an error status
// when the transfer has not finished.
constexpr u32 kUrlTimeLimitSeconds = 120;

// The daemon's log in the UserData folder. Lines that begin with the error prefix tell why the
// daemon stopped or could not start; the tool shows the last one when it cannot reach a daemon.
constexpr const char* kDaemonLogFileName = "pymdaemon.log";
constexpr const char* kDaemonLogErrorPrefix = "PymDaemon> error: ";

// The lock file beside the index. The daemon that serves the store holds an exclusive lock on it
// for its whole life and writes into it where it serves ("<process id> <port>\n"); the file is
// empty while no daemon serves. A tool that cannot find the daemon otherwise finds it there.
constexpr const char* kStoreLockFileName = "assets.tdx.lock";

// The settings group that names, by KUID, each asset an install opened for editing (the name's
// value is the KUID again) and may have to take back. The daemon alone writes it: an open for an
// install (kOpenToInstall) names the asset, any later open for editing, commit, revert or install
// of the asset drops the name, and a start takes back the copy at the asset's editing path while
// the name stands, into the backups (its take-back failed on a full disk, or the tool was killed).
constexpr const char* kTakeBackGroup = "install-take-back";
// The second byte of kOpOpenAsset: 0 opens to read, 1 for editing, kOpenToInstall for editing by
// an install, which names the asset in kTakeBackGroup and is refused for an asset open for editing
// already. A kOpCreateAsset whose flag byte is kOpenToInstall names the new asset so too. The
// install holds the asset from then on until its connection sends kOpEndInstall or ends: every
// other connection's change of the asset is refused.
constexpr u8 kOpenToInstall = 2;
// A step of an install that holds the asset says so: its commit sets kCommitInstallStep in the
// option word, its revert and delete end with kInstallStep. The daemon refuses such a step from
// a connection whose install does not hold the asset, so that a tool whose install's connection
// ended changes nothing through another connection or another daemon.
constexpr u32 kCommitInstallStep = 0x100;
constexpr u8 kInstallStep = 1;

// The loopback address that the daemon listens on.
constexpr const char* kDaemonHost = "127.0.0.1";

// ---------------------------------------------------------------------------------------------
// Discovery block: 36 bytes of shared memory, little-endian.

constexpr u32 kNoProcess = 0xFFFFFFFFu;  // manager, owner or requester: none
constexpr u32 kBlockVersion = 3;
constexpr u8 kAttachCountUnknown = 255;  // the count of a block whose version field is 0
constexpr u32 kBlockSize = 36;

constexpr std::size_t kOffManager = 0;     // u32 manager process id
constexpr std::size_t kOffOwner = 4;       // u32 owner (daemon) process id
constexpr std::size_t kOffRequester = 8;   // u32 requester process id
constexpr std::size_t kOffReserved0 = 12;  // u32, written 0
constexpr std::size_t kOffVersion = 16;    // u32 layout version
constexpr std::size_t kOffAttach = 20;     // u8 attach count
constexpr std::size_t kOffRefuse = 24;     // u32 refuse word; non-zero refuses new attachments
constexpr std::size_t kOffReserved1 = 28;  // u8, written 0
constexpr std::size_t kOffPort = 32;       // u32 TCP port of the owner

}  // namespace PymProtocol

// The block as mapped; padding bytes are never written.
struct PymDiscoveryBlock {
  u32 managerProcessId;
  u32 ownerProcessId;
  u32 requesterProcessId;
  u32 reserved0;
  u32 layoutVersion;
  u8 attachCount;
  u8 padding0[3];
  u32 refuseWord;
  u8 reserved1;
  u8 padding1[3];
  u32 port;
};
static_assert(sizeof(PymDiscoveryBlock) == PymProtocol::kBlockSize);
static_assert(offsetof(PymDiscoveryBlock, ownerProcessId) == PymProtocol::kOffOwner);
static_assert(offsetof(PymDiscoveryBlock, requesterProcessId) == PymProtocol::kOffRequester);
static_assert(offsetof(PymDiscoveryBlock, layoutVersion) == PymProtocol::kOffVersion);
static_assert(offsetof(PymDiscoveryBlock, attachCount) == PymProtocol::kOffAttach);
static_assert(offsetof(PymDiscoveryBlock, refuseWord) == PymProtocol::kOffRefuse);
static_assert(offsetof(PymDiscoveryBlock, reserved1) == PymProtocol::kOffReserved1);
static_assert(offsetof(PymDiscoveryBlock, port) == PymProtocol::kOffPort);

namespace PymProtocol {

// Fixed first element of the mutex name.
constexpr const char* kMutexBaseName = "09731AC6-B611-4e2a-B181-578073F64F24";
// Element added to the mutex name to name the shared memory.
constexpr const char* kShmSuffix = "-ipc2";
// The file name that the database path must end in.
constexpr std::string_view kDatabaseFileName = "assets.tdx";

// Joins two path elements with exactly one '/' (leading separators of the second are dropped);
// an empty second element changes nothing.
inline std::string JoinNameElement(std::string base, std::string_view element) {
  std::size_t skip = 0;
  while (skip < element.size() && (element[skip] == '/' || element[skip] == '\\')) ++skip;
  if (element.empty()) {
  } else if (base.empty()) {
    base.assign(element.substr(skip));
  } else {
    if (base.back() != '/') base += '/';
    base.append(element.substr(skip));
  }
  for (char& c : base) {
    if (c == '\\') c = '/';
  }
  return base;
}

// The database folder of a database path: the path without its last 11 characters (the
// separator and "assets.tdx", matched in any case). The folder keeps its case: on Linux two
// folders that differ only in case are two installations. Empty when the path does not end in
// "assets.tdx" or has nothing before it. Whether the folder exists is the caller's test.
inline std::string DatabaseFolder(std::string_view databasePath) {
  if (databasePath.size() <= kDatabaseFileName.size()) return {};
  const std::string_view tail = databasePath.substr(databasePath.size() - kDatabaseFileName.size());
  for (std::size_t i = 0; i < tail.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != kDatabaseFileName[i]) return {};
  }
  return std::string(databasePath.substr(0, databasePath.size() - kDatabaseFileName.size() - 1));
}

// The database folder as it is on disk (symbolic links and "." resolved), which names the
// discovery objects and which a daemon compares with its own folder. Empty when the path names
// no existing folder.
inline std::string ResolvedDatabaseFolder(std::string_view databasePath) {
  const std::string folder = DatabaseFolder(databasePath);
  if (folder.empty()) return {};
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(folder, error);
  if (error || !std::filesystem::is_directory(resolved, error) || error) return {};
  return resolved.string();
}

// Name text of the named mutex of a database folder; every '\' becomes '/'.
inline std::string MutexNameText(std::string_view databaseFolder) {
  return JoinNameElement(kMutexBaseName, databaseFolder);
}

// Name text of the shared memory of a database folder.
inline std::string ShmNameText(std::string_view databaseFolder) {
  return JoinNameElement(MutexNameText(databaseFolder), kShmSuffix);
}

}  // namespace PymProtocol
