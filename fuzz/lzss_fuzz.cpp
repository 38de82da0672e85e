// Hostile LZSS streams through both decoders, which must agree; and compress/decompress round
// trips.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/byte_order.h"
#include "qel/io_slave.h"
#include "qel/lzss.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Qel::LZSSCompress codec;

  // The first two bytes give the expected size; the rest is the stream.
  if (size >= 2) {
    const u8* stream = data + 2;
    const u32 streamLen = u32(size - 2);
    const u32 expected = ByteOrder::LoadLE16(data);

    Qel::IOSlaveMemory source(stream, streamLen);
    Qel::IOSlaveMemory sink;
    const bool streamOk = codec.DecompressStream(sink, source, streamLen);

    // Room for any output the stream can describe, so only a malformed stream fails here.
    std::vector<u8> full(size_t(streamLen) * 9 + 16);
    const u32 fullLen = codec.DecompressBlock(stream, streamLen, full.data(), u32(full.size()));
    Check(streamOk == (fullLen != Qel::Compress::kDecodeFailed));
    if (streamOk) {
      Check(fullLen == sink.Size());
      Check(fullLen == 0 || std::memcmp(full.data(), sink.Data(), fullLen) == 0);
    }

    std::vector<u8> out(expected);
    const u32 got = codec.DecompressBlock(stream, streamLen, out.data(), expected);
    const bool fits = streamOk && fullLen <= expected;
    Check(fits == (got != Qel::Compress::kDecodeFailed));
    if (fits) {
      Check(got == fullLen);
      Check(got == 0 || std::memcmp(out.data(), full.data(), got) == 0);
    }
  }

  // Round trip of the whole input at a level taken from it.
  if (size > 0) {
    const int level = data[0] % 10;
    std::vector<u8> packed(Qel::LZSSCompress::MaxCompressedSize(u32(size)));
    const u32 n = codec.CompressBlock(data, u32(size), packed.data(), u32(packed.size()), level);
    Check(n != 0);
    std::vector<u8> back(size);
    Check(codec.DecompressBlock(packed.data(), n, back.data(), u32(size)) == size);
    Check(std::memcmp(back.data(), data, size) == 0);
    // One byte less room must fail cleanly.
    Check(codec.CompressBlock(data, u32(size), packed.data(), n - 1, level) == 0);
  }
  return 0;
}
