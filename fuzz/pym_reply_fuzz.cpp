// Feeds arbitrary bytes to the client as if the daemon had sent them: tags, replies nobody waits
// for, notifications of every kind, the search reply, the asset-information reply, a URL request's
// status record and the daemon's pick of repository items (over a fixed repository answer, and
// over the bytes read as the answer). Nothing may crash, hang or read past the input; whatever a
// message announces, only the bytes that are there are consumed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/tcx_dispatcher.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_search.h"
#include "pymclient/pym_url_request.h"
#include "pymclient/vny_install.h"
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

Soup ParseAnswer(const void* data, size_t size) {
  TBuffer in(new Qel::DynamicBuffer(), true);
  in.WriteBytes(data, u32(size));
  in.Seek(0, 0);
  Soup answer;
  Soup::ParseText(answer, in, false);
  return answer;
}

// A repository answer of four items, two of them the same latest version.
Soup FixedAnswer() {
  static const char kText[] =
      "0\n{\nrequires <kuid:1:2>\nlatest-version <kuid2:1:2:3>\nlatest-version-size 10\n"
      "latest-version-path \"http://h:8/p.cdp\"\nbanner-uri \"http://h/b.jpg\"\n}\n"
      "1\n{\nlatest-version <kuid2:1:2:3>\n}\n"
      "2\n{\nlatest-version <kuid:-3:4>\nlatest-version-path \"ftp://[::1\"\n}\n"
      "3\n{\nlatest-version <kuid:5:6>\n}\n";
  return ParseAnswer(kText, sizeof kText - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    SetMainThread();
    return true;
  }();
  (void)ready;
  // Completion notes of URL requests reach the request registry, which knows none of their ids.
  static const VnyAccess vnyAccess;

  InputSource source(data, size);
  // Never connected: a question's answer and a command host's reply find no daemon.
  PymClientOptions options;
  options.mayStartDaemon = 0;
  const auto owned = std::make_shared<PymConnection>(options, 0);
  PymConnection& connection = *owned;
  for (int i = 0; i < 256; ++i) {
    const size_t before = source.Consumed();
    const PymMessageResult r = connection.ReadDaemonMessage(source);
    if (r == PymMessageResult::kFailed || r == PymMessageResult::kUnknownTag) break;
    if (r == PymMessageResult::kHandedOver) std::abort();  // no transaction is waiting
    if (source.Consumed() <= before) std::abort();         // a handled message consumes bytes
  }
  // The queued kinds run on the main thread; a question finds no transaction and no
  // connection, so it posts nothing.
  PumpMainThread();
  connection.JoinQuestionThreads();
  connection.DestroyQueuedNotifications();

  TBuffer reply(new Qel::DynamicBuffer(), true);
  reply.WriteBytes(data, u32(size));
  reply.Seek(0, 0);
  std::vector<KUID> kuids;
  ReadSearchReply(reply, kuids);
  if (kuids.size() * 8 + 4 > size && !kuids.empty()) std::abort();

  reply.Seek(0, 0);
  PymAssetInfo info;
  info.Read(reply);

  reply.Seek(0, 0);
  PymUrlStatus status;
  status.Read(reply);
  if (status.path.Length() > size || status.text.Length() > size) std::abort();

  // A record per distinct latest version, however often the daemon names each item.
  static const Soup answer = FixedAnswer();
  reply.Seek(0, 0);
  VnyAssetRecordList records;
  AddPickedVnyItems(answer, reply, records);
  if (records.Count() > 4) std::abort();

  // The bytes as the answer, with its first items picked.
  TBuffer picks(new Qel::DynamicBuffer(), true);
  picks.WriteU32(8);
  for (u32 i = 0; i < 8; ++i) picks.WriteU32(i);
  picks.Seek(0, 0);
  VnyAssetRecordList fromBytes;
  AddPickedVnyItems(ParseAnswer(data, size), picks, fromBytes);
  if (fromBytes.Count() > 8) std::abort();
  return 0;
}
