// The DXT block compressor as a module of its own, loaded when the first texture needs DXT
// blocks: the compressor library brings a dozen image libraries and the shared C++ runtime with
// it, which every other command would pay for at start-up. Only plain C types cross the boundary,
// so the module and the program each keep their own C++ runtime.
#pragma once

#include <cstdint>

extern "C" {

// The module's file, found beside the program (its run path).
#define KESTRO_DXT_CODEC_FILE "libkestrodxtcodec.so"
// The symbol of its entry point, a DxtCompressFunction.
#define KESTRO_DXT_CODEC_ENTRY "KestroDxtCompress"

enum DxtBlockFormat : std::int32_t {
  kDxtFormat1 = 1,
  kDxtFormat1Alpha = 2,
  kDxtFormat3 = 3,
  kDxtFormat5 = 5,
};

struct DxtRequest {
  const std::uint8_t* pixels;  // packed B, G, R, A rows of width * 4 bytes
  std::int32_t width;
  std::int32_t height;
  std::int32_t format;  // a DxtBlockFormat
  std::int32_t mipmaps;
  std::int32_t normalMap;
  std::int32_t wrap;
  std::int32_t cuda;
};

// Where the levels go: beginImage opens each level, writeData appends to it (0 refuses the
// bytes), error reports the compressor's own failure text.
struct DxtSink {
  void* context;
  void (*beginImage)(void* context, std::int32_t width, std::int32_t height, std::int32_t level);
  std::int32_t (*writeData)(void* context, const void* data, std::int32_t size);
  void (*error)(void* context, const char* text);
};

enum DxtResult : std::int32_t {
  kDxtDone = 0,
  kDxtImageRefused = 1,  // the compressor would not take the image
  kDxtFailed = 2,        // it took the image and failed (its text went to the sink)
};

using DxtCompressFunction = std::int32_t (*)(const DxtRequest* request, const DxtSink* sink);

}  // extern "C"
