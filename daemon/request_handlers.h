// The requests that the daemon serves: each turns a request payload into a reply body and, when
// the request has something to report, results that go to the client before the reply.
#pragma once

#include <unordered_map>

#include "assetdata/results_log.h"
#include "qel/dynamic_buffer.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class AssetStore;

struct Response {
  Qel::DynamicBuffer body;
  ResultsLog results;
  // Set by the close request: the daemon ends once the reply is out.
  bool closeDaemon = false;
};

class RequestHandlers {
 public:
  explicit RequestHandlers(AssetStore& store);

  // Unknown opcodes leave the body empty, so that every transaction still gets its reply.
  void Handle(u32 opcode, const u8* payload, size_t size, Response& response);

 private:
  using Handler = void (RequestHandlers::*)(const u8*, size_t, Response&);

  void KeepAlive(const u8* payload, size_t size, Response& response);
  void SearchAssets(const u8* payload, size_t size, Response& response);
  void GetSettingsSoup(const u8* payload, size_t size, Response& response);
  void SetSettingsSoup(const u8* payload, size_t size, Response& response);
  void GetSettingString(const u8* payload, size_t size, Response& response);
  void Answer(const u8* payload, size_t size, Response& response);
  void CloseDaemon(const u8* payload, size_t size, Response& response);

  AssetStore& store_;
  std::unordered_map<u32, Handler> handlers_;
};

}  // namespace PymDaemonSrv
