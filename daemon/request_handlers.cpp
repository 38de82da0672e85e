#include "daemon/request_handlers.h"

#include <string>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_limits.h"
#include "daemon/filter_tree.h"
#include "platform/byte_order.h"
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

}  // namespace

RequestHandlers::RequestHandlers(AssetStore& store) : store_(store) {
  handlers_ = {
      {pp::kOpKeepAlive, &RequestHandlers::KeepAlive},
      {pp::kOpSearchAssets, &RequestHandlers::SearchAssets},
      {pp::kOpGetSettingsSoup, &RequestHandlers::GetSettingsSoup},
      {pp::kOpSetSettingsSoup, &RequestHandlers::SetSettingsSoup},
      {pp::kOpGetSettingString, &RequestHandlers::GetSettingString},
      {pp::kOpAnswer, &RequestHandlers::Answer},
      {pp::kOpCloseDaemon, &RequestHandlers::CloseDaemon},
  };
}

void RequestHandlers::Handle(u32 opcode, const u8* payload, size_t size, Response& response) {
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
  const std::vector<KUID> found = store_.Search(filter.root.get());
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

}  // namespace PymDaemonSrv
