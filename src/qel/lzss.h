// LZSS codec used by content packages, packed script files and the daemon.
//
// Stream layout. Items come in groups of up to eight, each group led by a flag byte. Bit i of the
// flag byte (least significant bit first) describes item i of the group:
//   1: a literal, one byte copied to the output;
//   0: a match, two bytes. With d = distance - 1 (0..4095) and n = length - 3 (0..15):
//        byte0 = d & 0xFF
//        byte1 = (d >> 8) << 4 | n
//      The match copies `length` (3..18) bytes starting `distance` (1..4096) bytes back in the
//      output; it may overlap the bytes it produces (distance < length repeats a pattern).
// There is no preset window: a match reaching before the first output byte is an error. The stream
// may end after any complete item; the unused high bits of the last flag byte are ignored (the
// encoder leaves them 0). A flag byte with no item after it, or a match cut after its first byte,
// is a truncated stream. An empty input compresses to an empty stream.
#pragma once

#include "qel/io_slave.h"
#include "qel/types.h"

namespace Qel {

class Compress {
 public:
  // What DecompressBlock returns for a malformed stream. Callers test "result == expectedLen".
  static constexpr u32 kDecodeFailed = 0xFFFFFFFFu;

  virtual ~Compress() = default;

  // Returns the compressed size, or 0 when the result would not fit in dstCapacity, the level is
  // outside 0..9 or the arguments are unusable. Never writes past dstCapacity.
  virtual u32 CompressBlock(const void* src, u32 srcLen, void* dst, u32 dstCapacity, int level) = 0;

  // Decodes a whole stream of sourceLength bytes from source into sink. Output is capped at
  // kMaxStreamOutput. False on a malformed stream, on a short source or on a short sink write;
  // the sink may then hold part of the output.
  virtual bool DecompressStream(IOSlave& sink, IOSlave& source, u32 sourceLength) = 0;

  // Decodes src into dst, which holds expectedLen bytes. Returns the bytes produced: expectedLen on
  // success, fewer when the stream ends early. A malformed stream (a match before the output start,
  // output past expectedLen, a truncated item, trailing bytes) gives kDecodeFailed; an expectedLen
  // of kDecodeFailed itself is refused with 0. Either way the result differs from expectedLen.
  virtual u32 DecompressBlock(const void* src, u32 srcLen, void* dst, u32 expectedLen) = 0;
};

class LZSSCompress : public Compress {
 public:
  static constexpr u32 kWindowSize = 4096;
  static constexpr u32 kMinMatch = 3;
  static constexpr u32 kMaxMatch = 18;
  static constexpr u32 kMaxStreamOutput = 1u << 30;
  // Longer inputs are refused by CompressBlock (returns 0).
  static constexpr u32 kMaxBlockInput = 0xF0000000u;

  // Worst case of CompressBlock for srcLen bytes: all literals, one flag byte per eight.
  static constexpr u64 MaxCompressedSize(u32 srcLen) { return u64(srcLen) + (u64(srcLen) + 7) / 8; }

  u32 CompressBlock(const void* src, u32 srcLen, void* dst, u32 dstCapacity, int level) override;
  bool DecompressStream(IOSlave& sink, IOSlave& source, u32 sourceLength) override;
  u32 DecompressBlock(const void* src, u32 srcLen, void* dst, u32 expectedLen) override;
};

}  // namespace Qel
