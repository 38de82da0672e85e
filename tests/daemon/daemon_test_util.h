// Helpers of the daemon suites: a byte writer for request payloads, temporary UserData folders
// with asset folders, and a raw-socket client that speaks the protocol from the client's side.
// Every wait is bounded by a watchdog so that a broken daemon fails a test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "assetdata/safe_folder.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_store.h"
#include "platform/byte_order.h"
#include "platform/socket_io.h"
#include "qel/dynamic_buffer.h"
#include "qel/types.h"
#include "support/scratch_folder.h"

namespace daemon_test {

class Bytes {
 public:
  Bytes& U8(u8 v) {
    data.push_back(v);
    return *this;
  }
  Bytes& U32(u32 v) {
    ByteOrder::AppendLE32(data, v);
    return *this;
  }
  Bytes& U64(u64 v) {
    ByteOrder::AppendLE64(data, v);
    return *this;
  }
  Bytes& Kuid(const KUID& k) {
    const KUID::Packed p = KUID::Pack(k);
    return U32(p.contentId).U32(p.word);
  }
  Bytes& Text(const std::string& s) {
    U32(u32(s.size()));
    data.insert(data.end(), s.begin(), s.end());
    return *this;
  }
  // The name form: length + 1, the characters and a NUL; the empty name is u32 0.
  Bytes& Name(const std::string& s) {
    if (s.empty()) return U32(0);
    U32(u32(s.size() + 1));
    data.insert(data.end(), s.begin(), s.end());
    data.push_back(0);
    return *this;
  }
  Bytes& Append(const std::vector<u8>& more) {
    data.insert(data.end(), more.begin(), more.end());
    return *this;
  }
  std::vector<u8> data;
};

// Filter elements in byte form, built independently of the client's filter classes.
inline std::vector<u8> Group(bool all, bool negated, const std::vector<std::vector<u8>>& kids) {
  Bytes b;
  b.U32(FourCC("grup")).U8(all).U8(negated).U32(u32(kids.size()));
  for (const auto& k : kids) b.Append(k);
  return b.data;
}
inline std::vector<u8> Str(u32 kind, const std::string& text, bool exact = false) {
  return Bytes().U32(FourCC("strn")).U32(kind).Text(text).U8(exact).data;
}
inline std::vector<u8> Flag(u32 index) { return Bytes().U32(FourCC("bool")).U32(index).data; }
inline std::vector<u8> Int(u32 kind, i32 lo, i32 hi, bool loIn, bool hiIn) {
  return Bytes().U32(FourCC("inte")).U32(kind).U32(u32(lo)).U32(u32(hi)).U8(loIn).U8(hiIn).data;
}
inline std::vector<u8> Time(u32 kind, u64 lo, u64 hi, bool loIn, bool hiIn) {
  return Bytes().U32(FourCC("time")).U32(kind).U64(lo).U64(hi).U8(loIn).U8(hiIn).data;
}
inline std::vector<u8> Ids(u32 kind, const std::vector<KUID>& kuids) {
  Bytes b;
  b.U32(FourCC("asst")).U32(kind).U32(u32(kuids.size()));
  for (const KUID& k : kuids) b.Kuid(k);
  return b.data;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An asset folder <userData>/<folder>/<relative> with a text configuration.
inline void MakeAsset(const std::string& userData, const std::string& folder,
                      const std::string& relative, const std::string& config) {
  WriteFile(userData + "/" + folder + "/" + relative + "/config.txt", config);
}

// A folder on another file system than `near`'s (tmpfs, in /dev/shm), where no rename from there
// reaches, removed with its files; `path` is empty where there is none.
struct OtherFileSystem {
  explicit OtherFileSystem(const std::string& near) {
    struct stat here {};
    struct stat there {};
    char name[] = "/dev/shm/kestro-test-XXXXXX";
    if (stat(near.c_str(), &here) == 0 && stat("/dev/shm", &there) == 0 &&
        here.st_dev != there.st_dev && mkdtemp(name) != nullptr) {
      path = name;
    }
  }
  ~OtherFileSystem() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

// How many times `part` is in `text`.
inline size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A configuration text with the given KUID text and further lines.
inline std::string Config(const std::string& kuid, const std::string& more = "") {
  return "kuid " + kuid + "\nkind \"scenery\"\n" + more;
}

// Records a faulty verdict on the files that the asset's record names now, as a validation with
// errors would.
inline bool MarkFaulty(PymDaemonSrv::AssetStore& store, const KUID& kuid, std::string& error) {
  std::lock_guard<PymDaemonSrv::OwnedMutex> lock(store.ChangeMutex());
  PymDaemonSrv::AssetRecord r;
  return store.GetAsset(kuid, r) &&
         store.SetValidationFault(kuid, SafeFolder::TreeSignature(store.FolderPathOf(r)), true,
                                  &error);
}

struct Message {
  u32 tag = 0;
  u32 word = 0;  // transaction id or notification kind
  std::vector<u8> body;
};

class RawClient {
 public:
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }

  bool Connect(u16 port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    // A watchdog on every receive: a daemon that never answers fails the test.
    timeval limit{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // Frames go out in several sends, as the real client's do.
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // Sends the handshake and checks the answer's first word.
  bool Handshake(const std::string& databasePath = "/x/userdata/assets.tdx") {
    Bytes b;
    b.U32(FourCC("PYMC")).U32(360).U32(48249).U32(1).Text(databasePath);
    if (!Send(b.data)) return false;
    u8 answer[12];
    return ReadExact(answer, 12) && ByteOrder::LoadLE32(answer) == FourCC("PYMD");
  }
  // Sends the frame header and the payload in pieces of at most `chunk` bytes, each its own send.
  bool SendFrame(u32 opcode, u32 id, const std::vector<u8>& payload, size_t chunk = 32768) {
    if (!Send(Bytes().U32(opcode).U32(id).U32(u32(payload.size())).data)) return false;
    for (size_t at = 0; at < payload.size(); at += chunk) {
      const size_t n = std::min(chunk, payload.size() - at);
      if (!Send(std::vector<u8>(payload.begin() + long(at), payload.begin() + long(at + n)))) {
        return false;
      }
    }
    return true;
  }
  bool Send(const std::vector<u8>& bytes) {
    return Platform::SendAll(fd_, bytes.data(), bytes.size());
  }
  bool ReadExact(void* out, size_t n) { return Platform::ReceiveAll(fd_, out, n); }
  bool Read(Message& m) {
    u8 header[12];
    if (!ReadExact(header, 12)) return false;
    m.tag = ByteOrder::LoadLE32(header);
    m.word = ByteOrder::LoadLE32(header + 4);
    m.body.resize(ByteOrder::LoadLE32(header + 8));
    return m.body.empty() || ReadExact(m.body.data(), m.body.size());
  }
  // Transaction: send, skip notifications (kept in `notes`), return the reply body.
  bool Transact(u32 opcode, u32 id, const std::vector<u8>& payload, std::vector<u8>& reply,
                std::vector<Message>* notes = nullptr) {
    if (!SendFrame(opcode, id, payload)) return false;
    Message m;
    while (Read(m)) {
      if (m.tag == FourCC("repl")) {
        reply = m.body;
        return m.word == id;
      }
      if (notes != nullptr) notes->push_back(m);
    }
    return false;
  }
  // True when the daemon has closed its side: the next receive sees the end of the stream.
  bool SeesClose() {
    u8 b;
    bool closed = false;
    return !Platform::ReceiveAll(fd_, &b, 1, &closed) && closed;
  }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// The host's answer to one validation: a finding and the verdict.
inline std::vector<u8> HostVerdict(const char* finding, bool valid) {
  // On the heap: ThreadSanitizer takes a lock on the stack for any later one at its address, and
  // would find an order between this log's lock and another test's store.
  const auto owned = std::make_unique<ResultsLog>();
  ResultsLog& log = *owned;
  ResultsLog::AddResult(&log, valid ? ResultsLog::kWarning : ResultsLog::kError,
                        KestroPropertyRef(), finding);
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  log.Write(out);
  out.WriteU8(valid ? 1 : 0);
  return std::vector<u8>(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
}

// The KUIDs of a search reply: u32 count and the KUIDs.
inline std::vector<KUID> ParseKuids(const std::vector<u8>& reply) {
  std::vector<KUID> out;
  for (size_t at = 4; reply.size() >= 4 && out.size() < ByteOrder::LoadLE32(reply.data());
       at += 8) {
    if (at + 8 > reply.size()) break;
    out.push_back(
        KUID::Unpack(ByteOrder::LoadLE32(&reply[at + 4]), ByteOrder::LoadLE32(&reply[at])));
  }
  return out;
}

}  // namespace daemon_test
