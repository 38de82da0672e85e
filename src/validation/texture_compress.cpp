#include "validation/texture_compress.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "dxtcodec/dxt_codec.h"
#include "platform/process.h"
#include "platform/shared_module.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/texture_file.h"

namespace {

// Receives the compressor's levels. The library announces sizes of its own for levels smaller
// than a block and carries on after a write was refused, so each level's block is sized from its
// dimensions and every byte count is checked here, not trusted.
class OurOutputHandler final {
 public:
  OurOutputHandler(std::vector<std::unique_ptr<Qel::Bitmap>>& results, u32 format)
      : results_(results), format_(format) {}

  void BeginImage(int width, int height, int level) {
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

  bool WriteData(const void* data, int size) {
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
  const Qel::String& GetCompressorError() const { return compressorError_; }

  // The compressor's calls, through the module's C interface.
  DxtSink MakeSink() {
    DxtSink sink{};
    sink.context = this;
    sink.beginImage = [](void* self, i32 width, i32 height, i32 level) {
      static_cast<OurOutputHandler*>(self)->BeginImage(width, height, level);
    };
    sink.writeData = [](void* self, const void* data, i32 size) -> i32 {
      return static_cast<OurOutputHandler*>(self)->WriteData(data, size) ? 1 : 0;
    };
    sink.error = [](void* self, const char* text) {
      static_cast<OurOutputHandler*>(self)->compressorError_ = text != nullptr ? text : "";
    };
    return sink;
  }

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
  Qel::String compressorError_;
};

// The file format the blocks are checked against, and the compressor's format.
bool BlockFormat(u32 code, bool dxt1Alpha, u32& fileFormat, i32& format) {
  switch (code) {
    case 10:
      fileFormat = Qel::kTextureDXT1;
      format = dxt1Alpha ? kDxtFormat1Alpha : kDxtFormat1;
      return true;
    case 11:
      fileFormat = Qel::kTextureDXT3;
      format = kDxtFormat3;
      return true;
    case 12:
      fileFormat = Qel::kTextureDXT5;
      format = kDxtFormat5;
      return true;
    case 25:
    case 26:
    case 27:
      fileFormat = Qel::kTextureDXT1;
      format = kDxtFormat1;
      return true;
    default:
      return false;
  }
}

// The compressor module, loaded by the first call and kept for the process; null, with the
// loader's reason in `error`, when it cannot be loaded.
DxtCompressFunction LoadDxtCodec(Qel::String& error) {
  static std::once_flag once;
  static DxtCompressFunction entry = nullptr;
  static Qel::String failure;
  std::call_once(once, [] {
    // Only beside the program: a search of the loader's paths could find a module someone else
    // put in a folder the installation never named.
    const std::string program = Platform::ProgramPath();
    if (program.empty()) {
      failure = "the DXT compressor cannot be loaded (the program's folder is unknown)";
      return;
    }
    const std::string beside = program.substr(0, program.rfind('/') + 1) + KESTRO_DXT_CODEC_FILE;
    std::string reason;
    void* module = Platform::OpenSharedModule(beside, &reason);
    if (module != nullptr) {
      entry = reinterpret_cast<DxtCompressFunction>(dlsym(module, KESTRO_DXT_CODEC_ENTRY));
      if (entry == nullptr) reason = "it has no entry point " KESTRO_DXT_CODEC_ENTRY;
    }
    if (entry == nullptr) {
      failure = Qel::String::Format("the DXT compressor %s cannot be loaded (%s)", beside.c_str(),
                                    reason.c_str());
    }
  });
  error = failure;
  return entry;
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
  i32 blockFormat = kDxtFormat1;
  if (!BlockFormat(format, dxt1Alpha, fileFormat, blockFormat)) {
    lastError_ = Qel::String::Format("texture format %u is not one the converter makes", format);
    return false;
  }
  const DxtCompressFunction compress = LoadDxtCodec(lastError_);
  if (compress == nullptr) return false;
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
  DxtRequest request{};
  request.pixels = packed->GetPixels();
  request.width = i32(packed->GetWidth());
  request.height = i32(packed->GetHeight());
  request.format = blockFormat;
  request.mipmaps = mipmaps ? 1 : 0;
  request.normalMap = normalMap ? 1 : 0;
  request.wrap = wrap ? 1 : 0;
  request.cuda = cuda ? 1 : 0;

  const size_t before = images_.size();
  OurOutputHandler output(images_, fileFormat);
  const DxtSink sink = output.MakeSink();
  const i32 result = compress(&request, &sink);
  if (result == kDxtImageRefused) {
    lastError_ = "the compressor refused the image";
    return false;
  }
  const bool processed = result == kDxtDone;
  const bool whole = output.Finish();
  const u32 expected =
      mipmaps ? Qel::FullMipCount(source.GetWidth(), source.GetHeight()) : 1;
  if (!processed || !whole || images_.size() - before != expected) {
    lastError_ = !output.GetCompressorError().IsEmpty() ? output.GetCompressorError()
                 : !output.GetError().IsEmpty() ? output.GetError()
                                                : Qel::String::Format(
                                                      "the compressor made %u of %u levels",
                                                      u32(images_.size() - before), expected);
    return false;
  }
  return true;
}
