#include "validation/texture_compress.h"

#include <nvtt/nvtt.h>

#include <algorithm>
#include <cstring>

#include "qelgfx/bitmap.h"
#include "qelgfx/texture_file.h"

namespace {

// Receives the compressor's levels. The library announces sizes of its own for levels smaller
// than a block and carries on after a write was refused, so each level's block is sized from its
// dimensions and every byte count is checked here, not trusted.
class OurOutputHandler final : public nvtt::OutputHandler {
 public:
  OurOutputHandler(std::vector<std::unique_ptr<Qel::Bitmap>>& results, u32 format)
      : results_(results), format_(format) {}

  void beginImage(int /*size*/, int width, int height, int /*depth*/, int /*face*/,
                  int level) override {
    if (!Finish()) return;
    const u32 bytes = width > 0 && height > 0 ? Qel::TextureMipBytes(format_, u32(width), u32(height))
                                              : 0;
    current_ = std::make_unique<Qel::Bitmap>();
    if (bytes == 0 || !current_->CreateBlock(u32(width), u32(height), bytes)) {
      Fail(Qel::String::Format("level %d of %dx%d cannot be held", level, width, height));
      current_.reset();
    }
    written_ = 0;
    level_ = level;
  }

  bool writeData(const void* data, int size) override {
    if (current_ == nullptr) {
      // Bytes before the first level are a header, which is turned off.
      if (!began_) return size == 0;
      return false;
    }
    if (size < 0 || u64(written_) + u32(size) > current_->GetByteCount()) {
      Fail(Qel::String::Format("level %d: the compressor wrote more than its %u bytes", level_,
                               current_->GetByteCount()));
      return false;
    }
    std::memcpy(current_->GetMutablePixels() + written_, data, size_t(size));
    written_ += u32(size);
    return true;
  }

  // Appends the level being filled when it is whole; false once anything failed.
  bool Finish() {
    began_ = true;
    if (current_ != nullptr) {
      if (written_ != current_->GetByteCount()) {
        Fail(Qel::String::Format("level %d: the compressor wrote %u of %u bytes", level_, written_,
                                 current_->GetByteCount()));
      } else if (error_.IsEmpty()) {
        results_.push_back(std::move(current_));
      }
      current_.reset();
    }
    return error_.IsEmpty();
  }

  const Qel::String& GetError() const { return error_; }

 private:
  void Fail(const Qel::String& reason) {
    if (error_.IsEmpty()) error_ = reason;
  }

  std::vector<std::unique_ptr<Qel::Bitmap>>& results_;
  u32 format_;
  std::unique_ptr<Qel::Bitmap> current_;
  u32 written_ = 0;
  int level_ = 0;
  bool began_ = false;
  Qel::String error_;
};

class OurErrorHandler final : public nvtt::ErrorHandler {
 public:
  void error(nvtt::Error e) override { text_ = nvtt::errorString(e); }
  const Qel::String& GetText() const { return text_; }

 private:
  Qel::String text_;
};

// The file format the blocks are checked against, and the compressor's format.
bool BlockFormat(u32 code, bool dxt1Alpha, u32& fileFormat, nvtt::Format& format) {
  switch (code) {
    case 10:
      fileFormat = Qel::kTextureDXT1;
      format = dxt1Alpha ? nvtt::Format_DXT1a : nvtt::Format_DXT1;
      return true;
    case 11:
      fileFormat = Qel::kTextureDXT3;
      format = nvtt::Format_DXT3;
      return true;
    case 12:
      fileFormat = Qel::kTextureDXT5;
      format = nvtt::Format_DXT5;
      return true;
    case 25:
    case 26:
    case 27:
      fileFormat = Qel::kTextureDXT1;
      format = nvtt::Format_DXT1;
      return true;
    default:
      return false;
  }
}

}  // namespace

TextureCompress::TextureCompress() = default;
TextureCompress::~TextureCompress() = default;

Qel::Bitmap* TextureCompress::GetImage(u32 index) const {
  return index < images_.size() ? images_[index].get() : nullptr;
}

Qel::Bitmap* TextureCompress::TakeImage(u32 index) {
  return index < images_.size() ? images_[index].release() : nullptr;
}

bool TextureCompress::Compress(Qel::Bitmap& source, u32 format, bool dxt1Alpha, bool wrap,
                               bool normalMap, bool mipmaps, bool cuda) {
  lastError_.Clear();
  const u32 sourceFormat = source.GetFormat();
  if ((sourceFormat != Qel::Bitmap::kARGB && sourceFormat != Qel::Bitmap::kRGB) ||
      source.IsBlock() || source.GetPixels() == nullptr) {
    lastError_ = "the source is not a colour image";
    return false;
  }
  if (sourceFormat == Qel::Bitmap::kARGB && format == 3) {
    u8* pixels = source.GetMutablePixels();
    for (u32 y = 0; y < source.GetHeight(); ++y) {
      u8* row = pixels + size_t(y) * source.GetPitch();
      for (u32 x = 0; x < source.GetWidth(); ++x) row[4 * x + 3] = 255;
    }
  }
  if (format == 1 || format == 3 || format == 5) return CompressEngine(source, format);
  return CompressBlocks(source, format, dxt1Alpha, wrap, normalMap, mipmaps, cuda);
}

bool TextureCompress::CompressEngine(const Qel::Bitmap& source, u32 format) {
  const u32 bitmapFormat = format == 1   ? Qel::Bitmap::kARGB
                           : format == 3 ? Qel::Bitmap::kRGB
                                         : Qel::Bitmap::kGrey;
  auto level = std::make_unique<Qel::Bitmap>();
  if (!level->Create(source.GetWidth(), source.GetHeight(), bitmapFormat) ||
      !level->CopyImage(source)) {
    lastError_ = "the image cannot be copied";
    return false;
  }
  for (;;) {
    level->DetachAlias();
    Qel::Bitmap* made = level.get();
    images_.push_back(std::move(level));
    if (made->GetWidth() <= 1 && made->GetHeight() <= 1) return true;
    level.reset(made->Scale(std::max(1u, made->GetWidth() / 2), std::max(1u, made->GetHeight() / 2)));
    if (level == nullptr) {
      lastError_ = "a level cannot be scaled";
      return false;
    }
  }
}

bool TextureCompress::CompressBlocks(const Qel::Bitmap& source, u32 format, bool dxt1Alpha,
                                     bool wrap, bool normalMap, bool mipmaps, bool cuda) {
  u32 fileFormat = 0;
  nvtt::Format blockFormat = nvtt::Format_DXT1;
  if (!BlockFormat(format, dxt1Alpha, fileFormat, blockFormat)) {
    lastError_ = Qel::String::Format("texture format %u is not one the converter makes", format);
    return false;
  }
  // The compressor reads packed B, G, R, A rows; a 24-bit source is widened first.
  Qel::Bitmap widened;
  const Qel::Bitmap* packed = &source;
  if (source.GetFormat() != Qel::Bitmap::kARGB) {
    if (!widened.Create(source.GetWidth(), source.GetHeight(), Qel::Bitmap::kARGB) ||
        !widened.CopyImage(source)) {
      lastError_ = "the image cannot be copied";
      return false;
    }
    packed = &widened;
  }
  nvtt::InputOptions input;
  input.setMipmapGeneration(mipmaps, -1);
  if (normalMap) input.setNormalMap(true);
  input.setWrapMode(wrap ? nvtt::WrapMode_Repeat : nvtt::WrapMode_Clamp);
  input.setTextureLayout(nvtt::TextureType_2D, int(packed->GetWidth()), int(packed->GetHeight()), 1);
  if (!input.setMipmapData(packed->GetPixels(), int(packed->GetWidth()), int(packed->GetHeight()),
                           1, 0, 0)) {
    lastError_ = "the compressor refused the image";
    return false;
  }
  // Named, never left to the library's default.
  input.setMipmapFilter(normalMap ? nvtt::MipmapFilter_Box : nvtt::MipmapFilter_Kaiser);

  nvtt::Compressor compressor;
  compressor.enableCudaAcceleration(cuda);
  nvtt::CompressionOptions compression;
  compression.setFormat(blockFormat);
  compression.setQuality(nvtt::Quality_Production);

  const size_t before = images_.size();
  OurOutputHandler output(images_, fileFormat);
  OurErrorHandler errors;
  nvtt::OutputOptions outputOptions;
  outputOptions.setOutputHandler(&output);
  outputOptions.setErrorHandler(&errors);
  outputOptions.setOutputHeader(false);
  const bool processed = compressor.process(input, compression, outputOptions);
  const bool whole = output.Finish();
  const u32 expected =
      mipmaps ? Qel::FullMipCount(source.GetWidth(), source.GetHeight()) : 1;
  if (!processed || !whole || images_.size() - before != expected) {
    lastError_ = !errors.GetText().IsEmpty()  ? errors.GetText()
                 : !output.GetError().IsEmpty() ? output.GetError()
                                                : Qel::String::Format(
                                                      "the compressor made %u of %u levels",
                                                      u32(images_.size() - before), expected);
    return false;
  }
  return true;
}
