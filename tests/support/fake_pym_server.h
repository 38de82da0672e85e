// A scripted stand-in for the daemon, in the test's own process: it listens on loopback,
// publishes itself in the discovery block of a database folder, answers the handshake, records
// every frame and lets the test send replies, notifications and raw bytes, or close.
#pragma once

#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qel/types.h"

class FakePymServer {
 public:
  struct Frame {
    u32 opcode = 0;
    u32 id = 0;
    std::vector<u8> payload;
  };
  struct Handshake {
    u32 tag = 0;
    u32 version = 0;
    u32 build = 0;
    u32 isClient = 0;
    std::string databasePath;
  };
  // Called on the connection's thread for each frame; true when it answered the frame itself.
  using Handler = std::function<bool(FakePymServer& server, const Frame& frame)>;

  // `databasePath` is the client's database path (UserData root + "assets.tdx").
  explicit FakePymServer(std::string databasePath);
  // Stops, clears its entry in the block and deletes the block and its lock.
  ~FakePymServer();
  FakePymServer(const FakePymServer&) = delete;
  FakePymServer& operator=(const FakePymServer&) = delete;

  // Listens on 127.0.0.1 at a port of the system's choice.
  bool Start();
  void Stop();
  u16 GetPort() const { return port_; }

  // Records `owner` (default: this process's parent, which is alive and is not the client) and
  // the port (default: this server's; another stands for a daemon serving in this process) in
  // the discovery block, creating the block when needed.
  bool Publish(u32 owner = 0, u16 port = 0);
  // Clears the owner and the port.
  void Unpublish();
  // Sets the block's refuse word.
  bool SetRefuseWord(u32 value);

  // With auto reply (the default) every transaction that the handler leaves alone gets an empty
  // reply, and the close request also closes the connection.
  void SetAutoReply(bool on);
  void SetHandler(Handler handler);
  // The answer to the handshake: the tag (normally 'PYMD') and the two words; tag 0 sends none.
  void SetHandshakeAnswer(u32 tag, u32 first, u32 second);
  // In place of the answer, `bytes` as they are, the connection then left open (a program that is
  // no daemon); none at all closes the connection unanswered, as a daemon refuses a folder it
  // does not see as its store's, or with `reset` resets it, as a daemon does that goes away with
  // the connection still queued. Cleared by SetHandshakeAnswer.
  void SetHandshakeBytes(std::vector<u8> bytes, bool reset = false);

  // Script commands; each goes to the newest connection and is written whole.
  bool SendReply(u32 id, const std::vector<u8>& body);
  bool SendNote(u32 kind, const std::vector<u8>& payload);
  bool SendRaw(const std::vector<u8>& bytes);
  // Closes every connection (the listener stays).
  void CloseConnections();

  // Waits until at least n frames have arrived; false when the watchdog ran out first.
  bool WaitForFrames(size_t n, u32 watchdog_ms = 20000);
  // Waits until at least n goodbye words have arrived.
  bool WaitForGoodbyes(u32 n, u32 watchdog_ms = 20000);
  // Waits until no connection is open.
  bool WaitForNoConnection(u32 watchdog_ms = 20000);
  std::vector<Frame> GetFrames();
  std::vector<Handshake> GetHandshakes();
  u32 GetConnectionCount();
  u32 GetGoodbyeCount();

  // Byte builders for scripts.
  static std::vector<u8> Words(std::initializer_list<u32> words);
  static void AppendBytes(std::vector<u8>& out, const std::vector<u8>& bytes);
  // A results-log wire form: version 0, the count, then (type, text, no property) per entry.
  static std::vector<u8> ResultsPayload(u32 requestId,
                                        const std::vector<std::pair<u32, std::string>>& entries);

  // Deletes the lock file and the shared memory of the database path's discovery block.
  static void RemoveDiscoveryObjects(const std::string& databasePath);

 private:
  struct Session {
    int fd = -1;
    std::mutex writeLock;
    std::thread thread;
    bool open = true;
  };

  void AcceptLoop();
  void Serve(Session* session);
  bool WriteAll(Session* session, const std::vector<u8>& bytes);
  Session* Newest();
  bool WithBlock(const std::function<void(u8* block)>& change);

  const std::string databasePath_;
  int listener_ = -1;
  u16 port_ = 0;
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::vector<Frame> frames_;
  std::vector<Handshake> handshakes_;
  u32 goodbyes_ = 0;
  bool autoReply_ = true;
  Handler handler_;
  u32 answerTag_;
  u32 answerWords_[2] = {0x11, 0x22};
  std::optional<std::vector<u8>> answerBytes_;
  bool resetHandshake_ = false;
  bool stopping_ = false;
};
