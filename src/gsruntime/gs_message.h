// A message between game objects: type ids given by the router, the sending and the receiving
// node, its timing word and an optional soup payload. Counted: made with one reference, freed on
// the last release.
#pragma once

#include "assetdata/soup.h"
#include "gsruntime/gs_thread.h"

namespace GSRuntime {

class GSMessage final : public GSThreadMessage {
 public:
  static constexpr u32 kDelayMask = 0x3FFFFFFF;
  static constexpr u32 kSniffedCopy = 1u << 30;
  static constexpr u32 kMadeByNode = 1u << 31;

  GSMessage(u16 majorId, u16 minorId, u32 sourceId, u32 destinationId, u32 timingWord)
      : major(majorId),
        minor(minorId),
        source(sourceId),
        destination(destinationId),
        timing(timingWord) {}
  GSMessage(const GSMessage&) = delete;
  GSMessage& operator=(const GSMessage&) = delete;

  u16 MajorId() const override { return major; }
  u16 MinorId() const override { return minor; }
  void AddReference() override { ++count_; }
  void Release() override {
    if (--count_ == 0) delete this;
  }
  // A new message with the same ids and timing bits, sharing the payload, counted once.
  GSMessage* Clone() const {
    auto* copy = new GSMessage(major, minor, source, destination, timing);
    copy->payload = payload;
    return copy;
  }
  u32 Delay() const { return timing & kDelayMask; }

  u16 major;
  u16 minor;
  u32 source;
  u32 destination;  // 0: no single receiver
  u32 timing;
  Soup payload;  // the empty handle: no payload

 private:
  ~GSMessage() override = default;

  u32 count_ = 1;
};

}  // namespace GSRuntime
