#include "dxtcodec/dxt_codec.h"

#include <nvtt/nvtt.h>

namespace {

class SinkOutput final : public nvtt::OutputHandler {
 public:
  explicit SinkOutput(const DxtSink& sink) : sink_(sink) {}
  void beginImage(int /*size*/, int width, int height, int /*depth*/, int /*face*/,
                  int level) override {
    sink_.beginImage(sink_.context, width, height, level);
  }
  bool writeData(const void* data, int size) override {
    return sink_.writeData(sink_.context, data, size) != 0;
  }

 private:
  const DxtSink& sink_;
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
  compression.setFormat(CompressorFormat(request->format));
  compression.setQuality(nvtt::Quality_Production);

  SinkOutput output(*sink);
  SinkErrors errors(*sink);
  nvtt::OutputOptions outputOptions;
  outputOptions.setOutputHandler(&output);
  outputOptions.setErrorHandler(&errors);
  outputOptions.setOutputHeader(false);
  return compressor.process(input, compression, outputOptions) ? kDxtDone : kDxtFailed;
}
