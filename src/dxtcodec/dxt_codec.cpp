#include "dxtcodec/dxt_codec.h"

#include <nvtt/nvtt.h>

#include <algorithm>

namespace {

// Passes the levels on; with colourOnly, the compressor makes DXT5 blocks and only the second
// half of each (its colour block) goes on, as a DXT1 block.
class SinkOutput final : public nvtt::OutputHandler {
 public:
  SinkOutput(const DxtSink& sink, bool colourOnly) : sink_(sink), colourOnly_(colourOnly) {}
  void beginImage(int /*size*/, int width, int height, int /*depth*/, int /*face*/,
                  int level) override {
    used_ = 0;
    sink_.beginImage(sink_.context, width, height, level);
  }
  bool writeData(const void* data, int size) override {
    if (!colourOnly_ || size <= 0) return sink_.writeData(sink_.context, data, size) != 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const int run = std::min(size, kBlockBytes - used_);
      std::copy(bytes, bytes + run, block_ + used_);
      used_ += run;
      bytes += run;
      size -= run;
      if (used_ == kBlockBytes) {
        used_ = 0;
        unsigned char* colour = block_ + kHalf;
        AsFourColourBlock(colour);
        if (sink_.writeData(sink_.context, colour, kHalf) == 0) return false;
      }
    }
    return true;
  }

 private:
  // A DXT5 colour block always has four colours; read as DXT1, one whose first end point is not
  // above its second has three and transparent black. Such a block is made the same four
  // colours in the order DXT1 reads as four: the end points swapped and each index's low bit
  // flipped (0<->1, 2<->3), or with equal end points every pixel at the first.
  static void AsFourColourBlock(unsigned char* colour) {
    const unsigned first = colour[0] | unsigned(colour[1]) << 8;
    const unsigned second = colour[2] | unsigned(colour[3]) << 8;
    if (first > second) return;
    if (first == second) {
      std::fill(colour + 4, colour + 8, 0);
      return;
    }
    std::swap(colour[0], colour[2]);
    std::swap(colour[1], colour[3]);
    for (int i = 4; i < 8; ++i) colour[i] ^= 0x55;
  }

  static constexpr int kBlockBytes = 16;
  static constexpr int kHalf = 8;
  const DxtSink& sink_;
  bool colourOnly_;
  unsigned char block_[kBlockBytes] = {};
  int used_ = 0;
};

class SinkErrors final : public nvtt::ErrorHandler {
 public:
  explicit SinkErrors(const DxtSink& sink) : sink_(sink) {}
  void error(nvtt::Error e) override { sink_.error(sink_.context, nvtt::errorString(e)); }

 private:
  const DxtSink& sink_;
};

nvtt::Format CompressorFormat(std::int32_t format) {
  switch (format) {
    case kDxtFormat1Alpha:
      return nvtt::Format_DXT1a;
    case kDxtFormat3:
      return nvtt::Format_DXT3;
    case kDxtFormat5:
      return nvtt::Format_DXT5;
    default:
      return nvtt::Format_DXT1;
  }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) std::int32_t KestroDxtCompress(
    const DxtRequest* request, const DxtSink* sink) {
  nvtt::InputOptions input;
  input.setMipmapGeneration(request->mipmaps != 0, -1);
  if (request->normalMap != 0) input.setNormalMap(true);
  input.setWrapMode(request->wrap != 0 ? nvtt::WrapMode_Repeat : nvtt::WrapMode_Clamp);
  input.setTextureLayout(nvtt::TextureType_2D, request->width, request->height, 1);
  if (!input.setMipmapData(request->pixels, request->width, request->height, 1, 0, 0)) {
    return kDxtImageRefused;
  }
  // Named, never left to the library's default.
  input.setMipmapFilter(request->normalMap != 0 ? nvtt::MipmapFilter_Box
                                                : nvtt::MipmapFilter_Kaiser);

  nvtt::Compressor compressor;
  compressor.enableCudaAcceleration(request->cuda != 0);
  nvtt::CompressionOptions compression;
  // The library's DXT1 search over three-colour blocks reads stack memory it never wrote, so its
  // DXT1 blocks differ from run to run. The colour half of its DXT5 blocks is a four-colour DXT1
  // block found without that search, and the same every time: an opaque DXT1 is made from that.
  const bool colourOnly = request->format == kDxtFormat1;
  compression.setFormat(colourOnly ? nvtt::Format_DXT5 : CompressorFormat(request->format));
  compression.setQuality(nvtt::Quality_Production);

  SinkOutput output(*sink, colourOnly);
  SinkErrors errors(*sink);
  nvtt::OutputOptions outputOptions;
  outputOptions.setOutputHandler(&output);
  outputOptions.setErrorHandler(&errors);
  outputOptions.setOutputHeader(false);
  return compressor.process(input, compression, outputOptions) ? kDxtDone : kDxtFailed;
}
