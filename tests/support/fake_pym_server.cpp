#include "fake_pym_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "assetdata/results_log.h"
#include "core/buffer_stream.h"
#include "platform/byte_order.h"
#include "platform/named_mutex.h"
#include "platform/socket_io.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "qel/shared_memory.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces)

bool ReadU32(int fd, u32& out) {
  u8 b[4];
  if (!Platform::ReceiveAll(fd, b, 4)) return false;
  out = ByteOrder::LoadLE32(b);
  return true;
}

template <class Pred>
bool WaitFor(std::mutex& m, std::condition_variable& cv, u32 watchdog_ms, Pred pred) {
  std::unique_lock<std::mutex> lock(m);
  return cv.wait_for(lock, std::chrono::milliseconds(watchdog_ms), pred);
}

}  // namespace

FakePymServer::FakePymServer(std::string databasePath)
    : databasePath_(std::move(databasePath)), answerTag_(kTagDaemon) {}

FakePymServer::~FakePymServer() {
  Stop();
  Unpublish();
  RemoveDiscoveryObjects(databasePath_);
}

bool FakePymServer::Start() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof(address);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FakePymServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
  CloseConnections();
  std::vector<std::unique_ptr<Session>> sessions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto& s : sessions) {
    if (s->thread.joinable()) s->thread.join();
    ::close(s->fd);
  }
}

void FakePymServer::AcceptLoop() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    auto session = std::make_unique<Session>();
    session->fd = fd;
    Session* raw = session.get();
    sessions_.push_back(std::move(session));
    raw->thread = std::thread([this, raw] { Serve(raw); });
    changed_.notify_all();
  }
}

void FakePymServer::Serve(Session* session) {
  const int fd = session->fd;
  Handshake hs;
  u32 length = 0;
  bool ok = ReadU32(fd, hs.tag) && ReadU32(fd, hs.version) && ReadU32(fd, hs.build) &&
            ReadU32(fd, hs.isClient) && ReadU32(fd, length) && length <= 4096;
  if (ok) {
    hs.databasePath.resize(length);
    ok = Platform::ReceiveAll(fd, hs.databasePath.data(), length);
  }
  if (ok) {
    u32 tag, first, second;
    std::optional<std::vector<u8>> bytes;
    bool reset;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handshakes_.push_back(hs);
      tag = answerTag_;
      first = answerWords_[0];
      second = answerWords_[1];
      bytes = answerBytes_;
      reset = resetHandshake_;
      changed_.notify_all();
    }
    // Tag 0: a frozen daemon, which takes the connection and never answers.
    ok = bytes ? !bytes->empty() && WriteAll(session, *bytes)
               : tag == 0 || WriteAll(session, Words({tag, first, second}));
    if (bytes && bytes->empty() && reset) {
      // The socket's last reference goes without lingering; its number stays taken until Stop.
      const linger now{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
      const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (null >= 0) {
        ::dup2(null, fd);
        ::close(null);
      }
    }
  }
  while (ok) {
    Frame frame;
    if (!ReadU32(fd, frame.opcode)) break;
    if (frame.opcode == kGoodbyeWord) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++goodbyes_;
      changed_.notify_all();
      continue;
    }
    if (!ReadU32(fd, frame.id) || !ReadU32(fd, length) || length > kMaxMessageLength) break;
    frame.payload.resize(length);
    if (!Platform::ReceiveAll(fd, frame.payload.data(), length)) break;
    Handler handler;
    bool autoReply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(frame);
      handler = handler_;
      autoReply = autoReply_;
      changed_.notify_all();
    }
    if (handler && handler(*this, frame)) continue;
    if (!autoReply || frame.id == kPostTransactionId) continue;
    std::vector<u8> reply = Words({kTagReply, frame.id, 0});
    if (!WriteAll(session, reply)) break;
    if (frame.opcode == kOpCloseDaemon) break;
  }
  ::shutdown(fd, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mutex_);
  session->open = false;
  changed_.notify_all();
}

bool FakePymServer::WriteAll(Session* session, const std::vector<u8>& bytes) {
  if (!session) return false;
  std::lock_guard<std::mutex> lock(session->writeLock);
  return Platform::SendAll(session->fd, bytes.data(), bytes.size());
}

FakePymServer::Session* FakePymServer::Newest() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) {
    if ((*it)->open) return it->get();
  }
  return nullptr;
}

bool FakePymServer::SendReply(u32 id, const std::vector<u8>& body) {
  std::vector<u8> bytes = Words({kTagReply, id, u32(body.size())});
  AppendBytes(bytes, body);
  return WriteAll(Newest(), bytes);
}

bool FakePymServer::SendNote(u32 kind, const std::vector<u8>& payload) {
  std::vector<u8> bytes = Words({kTagNotify, kind, u32(payload.size())});
  AppendBytes(bytes, payload);
  return WriteAll(Newest(), bytes);
}

bool FakePymServer::SendRaw(const std::vector<u8>& bytes) { return WriteAll(Newest(), bytes); }

void FakePymServer::CloseConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Shutting down wakes the session thread, which then marks the session closed.
  for (auto& s : sessions_) ::shutdown(s->fd, SHUT_RDWR);
}

void FakePymServer::SetAutoReply(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  autoReply_ = on;
}

void FakePymServer::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void FakePymServer::SetHandshakeAnswer(u32 tag, u32 first, u32 second) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerTag_ = tag;
  answerWords_[0] = first;
  answerWords_[1] = second;
  answerBytes_.reset();
}

void FakePymServer::SetHandshakeBytes(std::vector<u8> bytes, bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerBytes_ = std::move(bytes);
  resetHandshake_ = reset;
}

bool FakePymServer::WaitForFrames(size_t n, u32 watchdog_ms) {
  return WaitFor(mutex_, changed_, watchdog_ms, [&] { return frames_.size() >= n; });
}

bool FakePymServer::WaitForGoodbyes(u32 n, u32 watchdog_ms) {
  return WaitFor(mutex_, changed_, watchdog_ms, [&] { return goodbyes_ >= n; });
}

bool FakePymServer::WaitForNoConnection(u32 watchdog_ms) {
  return WaitFor(mutex_, changed_, watchdog_ms, [&] {
    for (auto& s : sessions_) {
      if (s->open) return false;
    }
    return true;
  });
}

std::vector<FakePymServer::Frame> FakePymServer::GetFrames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<FakePymServer::Handshake> FakePymServer::GetHandshakes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handshakes_;
}

u32 FakePymServer::GetConnectionCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return u32(sessions_.size());
}

u32 FakePymServer::GetGoodbyeCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return goodbyes_;
}

std::vector<u8> FakePymServer::Words(std::initializer_list<u32> words) {
  std::vector<u8> out;
  for (u32 w : words) ByteOrder::AppendLE32(out, w);
  return out;
}

void FakePymServer::AppendBytes(std::vector<u8>& out, const std::vector<u8>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<u8> FakePymServer::ResultsPayload(
    u32 requestId, const std::vector<std::pair<u32, std::string>>& entries) {
  ResultsLog log;
  for (const auto& [type, text] : entries) {
    ResultsLog::AddResult(&log, type, KestroPropertyRef(), Qel::String(text.c_str()));
  }
  TBuffer stream(new Qel::DynamicBuffer(), true);
  log.Write(stream);
  std::vector<u8> out = Words({requestId});
  const Qel::DynamicBuffer& buffer = *stream.GetBuffer();
  out.insert(out.end(), buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
  return out;
}

// ---------------------------------------------------------------------------------------------
// Discovery block

bool FakePymServer::WithBlock(const std::function<void(u8* block)>& change) {
  const std::string folder = DatabaseFolder(databasePath_);
  if (folder.empty()) return false;
  Platform::NamedMutex mutex;
  if (!mutex.Create(MutexNameText(folder), false)) return false;
  Qel::SharedMemory memory;
  if (!memory.Create(ShmNameText(folder), kBlockSize)) return false;
  mutex.Lock();
  u8* block = static_cast<u8*>(memory.GetData());
  auto* b = reinterpret_cast<PymDiscoveryBlock*>(block);
  if (b->layoutVersion == 0 && b->managerProcessId == 0) {
    b->managerProcessId = kNoProcess;
    b->ownerProcessId = kNoProcess;
    b->requesterProcessId = kNoProcess;
    b->layoutVersion = kBlockVersion;
    b->attachCount = 0;
  }
  change(block);
  mutex.Unlock();
  return true;
}

bool FakePymServer::Publish(u32 owner, u16 servedPort) {
  const u32 id = owner != 0 ? owner : u32(::getppid());
  const u32 port = servedPort != 0 ? servedPort : port_;
  return WithBlock([&](u8* block) {
    auto* b = reinterpret_cast<PymDiscoveryBlock*>(block);
    b->ownerProcessId = id;
    b->port = port;
  });
}

void FakePymServer::Unpublish() {
  WithBlock([](u8* block) {
    auto* b = reinterpret_cast<PymDiscoveryBlock*>(block);
    b->ownerProcessId = kNoProcess;
    b->port = 0;
  });
}

bool FakePymServer::SetRefuseWord(u32 value) {
  return WithBlock(
      [&](u8* block) { reinterpret_cast<PymDiscoveryBlock*>(block)->refuseWord = value; });
}

void FakePymServer::RemoveDiscoveryObjects(const std::string& databasePath) {
  const std::string folder = DatabaseFolder(databasePath);
  if (folder.empty()) return;
  Platform::NamedMutex::Remove(MutexNameText(folder));
  Qel::SharedMemory::Remove(ShmNameText(folder));
}
