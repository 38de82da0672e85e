// Joins the fragments of reliable packets. Memory stays bounded whatever arrives: an assembly
// holds at most TMEPacket::kMaxPayload bytes and at most kMaxOpenAssemblies are open; when full,
// stale assemblies and then those farthest ahead of the next expected number make room.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "online/tme_packet.h"
#include "qel/types.h"

class TMEReassembly {
 public:
  static constexpr u32 kMaxOpenAssemblies = 128;

  struct Counters {
    u64 refused = 0;  // fragments with no room for their assembly
    u64 resets = 0;   // assemblies emptied because they outgrew the byte cap
    u64 evicted = 0;  // assemblies closed to make room for another
  };

  TMEReassembly();
  ~TMEReassembly();

  // Stores a fragment of packet `sequence`; `expected` is the next number the receiver
  // delivers. Returns the joined packet (positioned at its start, header fields 0) once every
  // fragment up to the last is there and none is empty; the assembly is closed then.
  std::unique_ptr<TMEPacket> Add(u8 sequence, u8 index, bool last, const u8* data, u32 length,
                                 u8 expected);
  void Erase(u8 sequence);
  void Clear();

  u32 GetOpenCount() const { return open_; }
  // Bytes held by the assembly of `sequence`; 0 when none is open.
  u32 GetBytes(u8 sequence) const;
  const Counters& GetCounters() const { return counters_; }

 private:
  struct Assembly {
    u8 count = 0;  // 0 until the last fragment arrived
    u32 bytes = 0;
    std::vector<std::vector<u8>> fragments;
  };

  bool MakeRoom(u8 sequence, u8 expected);
  std::unique_ptr<TMEPacket> Join(Assembly& assembly);

  std::array<std::unique_ptr<Assembly>, 256> assemblies_;
  u32 open_ = 0;
  Counters counters_;
};
