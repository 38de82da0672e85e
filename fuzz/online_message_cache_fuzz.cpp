// Hostile message cache files: each loads within its bytes or is set aside, never a crash, and
// whatever loaded saves and loads back to the same list.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "online/online_access_client_endpoint.h"
#include "online_fuzz_daemon.h"
#include "online/online_message_cache.h"
#include "qel/dynamic_buffer.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Saved(const OnlineAccessClientEndpoint& endpoint) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  endpoint.SaveStoredMessages(out);
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  SetApplicationTime(0.0);
  static const std::string path = "/tmp/oa_messages_fuzz_" + std::to_string(getpid()) + ".dat";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  if (size != 0) std::fwrite(data, 1, size, file);
  std::fclose(file);
  OnlineAccessClientEndpoint endpoint(std::make_unique<FixedDaemon>());
  const Qel::String name(path.c_str());
  const auto result = OnlineMessageCache::Load(endpoint, name);
  Check(endpoint.GetStoredMessageCount() <= OnlineAccessClientEndpoint::kMaxStoredMessages);
  if (result == OnlineMessageCache::LoadResult::kLoaded) {
    Check(OnlineMessageCache::Save(endpoint, name));
    OnlineAccessClientEndpoint again(std::make_unique<FixedDaemon>());
    Check(OnlineMessageCache::Load(again, name) == OnlineMessageCache::LoadResult::kLoaded);
    Check(Saved(again) == Saved(endpoint));
  }
  std::remove(path.c_str());
  std::remove((path + ".bad").c_str());
  return 0;
}
