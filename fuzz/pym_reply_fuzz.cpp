// Feeds arbitrary bytes to the client as if the daemon had sent them: tags, replies nobody waits
// for, notifications of every kind, the search reply and the asset-information reply. Nothing may
// crash, hang or read past the input; whatever a message announces, only the bytes that are there
// are consumed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/tcx_dispatcher.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_search.h"
#include "qel/dynamic_buffer.h"

namespace {

class InputSource final : public PymMessageSource {
 public:
  InputSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Receive(void* buffer, u32 n) override {
    if (size_ - at_ < n) return false;
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return true;
  }
  size_t Consumed() const { return at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    SetMainThread();
    return true;
  }();
  (void)ready;

  InputSource source(data, size);
  for (int i = 0; i < 256; ++i) {
    const size_t before = source.Consumed();
    const PymMessageResult r = PymReadDaemonMessage(source);
    if (r == PymMessageResult::kFailed || r == PymMessageResult::kUnknownTag) break;
    if (r == PymMessageResult::kHandedOver) std::abort();  // no transaction is waiting
    if (source.Consumed() <= before) std::abort();         // a handled message consumes bytes
  }
  // The queued kinds run on the main thread; a question finds no transaction and no open
  // client, so it posts nothing.
  PumpMainThread();
  PymJoinQuestionThreads();
  PymDestroyQueuedNotifications();

  TBuffer reply(new Qel::DynamicBuffer(), true);
  reply.WriteBytes(data, u32(size));
  reply.Seek(0, 0);
  std::vector<KUID> kuids;
  ReadSearchReply(reply, kuids);
  if (kuids.size() * 8 + 4 > size && !kuids.empty()) std::abort();

  reply.Seek(0, 0);
  PymAssetInfo info;
  info.Read(reply);
  return 0;
}
