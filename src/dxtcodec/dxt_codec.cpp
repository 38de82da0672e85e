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
    offset_ = 0;
    sink_.beginImage(sink_.context, width, height, level);
  }
  bool writeData(const void* data, int size) override {
    if (!colourOnly_ || size <= 0) return sink_.writeData(sink_.context, data, size) != 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const int inBlock = int(offset_ % kBlockBytes);
      const int run = std::min(size, kBlockBytes - inBlock);
      const int skip = std::max(0, std::min(run, kHalf - inBlock));
      if (run > skip && sink_.writeData(sink_.context, bytes + skip, run - skip) == 0) return false;
      bytes += run;
      size -= run;
      offset_ += unsigned(run);
    }
    return true;
  }

 private:
  static constexpr int kBlockBytes = 16;
  static constexpr int kHalf = 8;
  const DxtSink& sink_;
  bool colourOnly_;
  unsigned offset_ = 0;
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
