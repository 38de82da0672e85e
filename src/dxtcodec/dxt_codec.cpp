#include "dxtcodec/dxt_codec.h"

#include <nvtt/nvtt.h>

#include <algorithm>

namespace {

// How DXT1 blocks are made from the compressor's DXT5 blocks: the library's own DXT1 search over
// three-colour blocks reads stack memory it never wrote, so its DXT1 blocks differ from run to
// run, while its DXT5 blocks are the same every time.
enum class Dxt1From { kNone, kColour, kColourAndAlpha };

// Passes the levels on; with a Dxt1From other than kNone, the compressor makes DXT5 blocks and
// each goes on as the DXT1 block made from it.
class SinkOutput final : public nvtt::OutputHandler {
 public:
  SinkOutput(const DxtSink& sink, Dxt1From from) : sink_(sink), from_(from) {}
  void beginImage(int /*size*/, int width, int height, int /*depth*/, int /*face*/,
                  int level) override {
    used_ = 0;
    sink_.beginImage(sink_.context, width, height, level);
  }
  bool writeData(const void* data, int size) override {
    if (from_ == Dxt1From::kNone || size <= 0) {
      return sink_.writeData(sink_.context, data, size) != 0;
    }
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
        const unsigned transparent = from_ == Dxt1From::kColourAndAlpha ? TransparentTexels() : 0;
        if (transparent != 0) {
          AsThreeColourBlock(colour, transparent);
        } else {
          AsFourColourBlock(colour);
        }
        if (sink_.writeData(sink_.context, colour, kHalf) == 0) return false;
      }
    }
    return true;
  }

 private:
  // The texels (bit i for texel i) whose alpha in the DXT5 alpha block is below one half.
  unsigned TransparentTexels() const {
    const unsigned a0 = block_[0];
    const unsigned a1 = block_[1];
    unsigned palette[8] = {a0, a1};
    if (a0 > a1) {
      for (unsigned i = 1; i < 7; ++i) palette[i + 1] = ((7 - i) * a0 + i * a1) / 7;
    } else {
      for (unsigned i = 1; i < 5; ++i) palette[i + 1] = ((5 - i) * a0 + i * a1) / 5;
      palette[6] = 0;
      palette[7] = 255;
    }
    unsigned long long indices = 0;
    for (int i = 0; i < 6; ++i) indices |= static_cast<unsigned long long>(block_[2 + i]) << (8 * i);
    unsigned transparent = 0;
    for (unsigned texel = 0; texel < 16; ++texel) {
      if (palette[(indices >> (3 * texel)) & 7] < 128) transparent |= 1u << texel;
    }
    return transparent;
  }

  static unsigned EndPoint(const unsigned char* colour, int which) {
    return colour[2 * which] | unsigned(colour[2 * which + 1]) << 8;
  }

  // A DXT5 colour block always has four colours; read as DXT1, one whose first end point is not
  // above its second has three and transparent black. Such a block is made the same four
  // colours in the order DXT1 reads as four: the end points swapped and each index's low bit
  // flipped (0<->1, 2<->3), or with equal end points every pixel at the first.
  static void AsFourColourBlock(unsigned char* colour) {
    const unsigned first = EndPoint(colour, 0);
    const unsigned second = EndPoint(colour, 1);
    if (first > second) return;
    if (first == second) {
      std::fill(colour + 4, colour + 8, 0);
      return;
    }
    std::swap(colour[0], colour[2]);
    std::swap(colour[1], colour[3]);
    for (int i = 4; i < 8; ++i) colour[i] ^= 0x55;
  }

  // A block with transparent texels in DXT1's three-colour order (first end point not above the
  // second): the end points keep their texels, the two colours between them become the one
  // midway, and the transparent texels take index 3.
  static void AsThreeColourBlock(unsigned char* colour, unsigned transparent) {
    const bool swap = EndPoint(colour, 0) > EndPoint(colour, 1);
    if (swap) {
      std::swap(colour[0], colour[2]);
      std::swap(colour[1], colour[3]);
    }
    for (unsigned texel = 0; texel < 16; ++texel) {
      unsigned char& row = colour[4 + texel / 4];
      const int shift = int(2 * (texel % 4));
      unsigned index = (row >> shift) & 3;
      if ((transparent >> texel) & 1) {
        index = 3;
      } else if (index >= 2) {
        index = 2;
      } else if (swap) {
        index ^= 1;
      }
      row = static_cast<unsigned char>((row & ~(3 << shift)) | (index << shift));
    }
  }

  static constexpr int kBlockBytes = 16;
  static constexpr int kHalf = 8;
  const DxtSink& sink_;
  Dxt1From from_;
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
  // DXT1, with or without its one-bit alpha, is made from DXT5 blocks (see Dxt1From).
  const Dxt1From from = request->format == kDxtFormat1        ? Dxt1From::kColour
                        : request->format == kDxtFormat1Alpha ? Dxt1From::kColourAndAlpha
                                                              : Dxt1From::kNone;
  compression.setFormat(from != Dxt1From::kNone ? nvtt::Format_DXT5
                                                : CompressorFormat(request->format));
  compression.setQuality(nvtt::Quality_Production);

  SinkOutput output(*sink, from);
  SinkErrors errors(*sink);
  nvtt::OutputOptions outputOptions;
  outputOptions.setOutputHandler(&output);
  outputOptions.setErrorHandler(&errors);
  outputOptions.setOutputHeader(false);
  return compressor.process(input, compression, outputOptions) ? kDxtDone : kDxtFailed;
}
