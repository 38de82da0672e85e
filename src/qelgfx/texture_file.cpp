#include "qelgfx/texture_file.h"

#include <cstring>

#include "platform/byte_order.h"
#include "qel/file.h"
#include "qel/file_write.h"
#include "qelgfx/bitmap.h"

namespace Qel {

namespace {

constexpr u32 kChunkHeader = 12;  // tag, size, version
constexpr u32 kInfoBytes = 24;
constexpr u32 kMipHeaderBytes = 16;

bool WriteChunkHeader(File& file, const char* tag, u32 payload) {
  return WriteTag(file, tag) && WriteU32(file, payload + 4) && WriteU32(file, kTextureChunkVersion);
}

bool Fail(String& error, u32 offset, const String& reason) {
  error = String::Format("at 0x%08x: ", offset) + reason;
  return false;
}

}  // namespace

u32 MipSide(u32 side, u32 level) { return level >= 32 || (side >> level) == 0 ? 1 : side >> level; }

u32 FullMipCount(u32 width, u32 height) {
  u32 side = width > height ? width : height;
  u32 count = 1;
  while (side > 1) {
    side >>= 1;
    ++count;
  }
  return count;
}

u32 TextureMipBytes(u32 format, u32 width, u32 height) {
  const u64 blocks = u64((width + 3) / 4) * ((height + 3) / 4);
  u64 bytes = 0;
  switch (format) {
    case kTextureARGB:
    case kTextureRGB:
      bytes = u64(width) * height * 4;
      break;
    case kTextureDXT1:
      bytes = blocks * 8;
      break;
    case kTextureDXT3:
    case kTextureDXT5:
      bytes = blocks * 16;
      break;
    default:
      return 0;
  }
  return bytes > Bitmap::kMaxBytes ? 0 : u32(bytes);
}

const char* TextureFormatName(u32 format) {
  switch (format) {
    case kTextureARGB:
      return "ARGB";
    case kTextureRGB:
      return "RGB";
    case kTextureDXT1:
      return "DXT1";
    case kTextureDXT3:
      return "DXT3";
    case kTextureDXT5:
      return "DXT5";
    default:
      return "unknown";
  }
}

bool WriteTextureInfo(File& file, const TextureFileInfo& info) {
  return WriteChunkHeader(file, "TINF", kInfoBytes) && WriteU32(file, info.width) &&
         WriteU32(file, info.height) && WriteU32(file, info.format) &&
         WriteU32(file, info.imageCount) && WriteU32(file, info.mipCount) &&
         WriteU32(file, info.flags);
}

bool WriteTextureMip(File& file, u32 level, u32 width, u32 height, const void* bytes, u32 count) {
  return count <= 0xFFFFFFFFu - kMipHeaderBytes - 4 &&
         WriteChunkHeader(file, "TMIP", kMipHeaderBytes + count) && WriteU32(file, level) &&
         WriteU32(file, width) && WriteU32(file, height) && WriteU32(file, count) &&
         WriteBlock(file, bytes, count);
}

bool ReadTextureFile(const u8* data, u32 size, TextureFileInfo& info,
                     std::vector<TextureFileMip>& mips, String& error) {
  info = TextureFileInfo();
  mips.clear();
  if (data == nullptr || size < 12 || std::memcmp(data, "QIRF", 4) != 0) {
    return Fail(error, 0, "not a QIRF file");
  }
  if (ByteOrder::LoadLE32(data + 4) != size - 8) {
    return Fail(error, 4, "the container length does not match the file");
  }
  if (std::memcmp(data + 8, "MMTF", 4) != 0) return Fail(error, 8, "the body is not a texture");
  u32 at = 12;
  // The next chunk's payload (after its version), checked against the file's end.
  auto chunk = [&](const char* tag, u32& payload) {
    if (size - at < kChunkHeader) return Fail(error, at, String("no room for a ") + tag + " chunk");
    if (std::memcmp(data + at, tag, 4) != 0) return Fail(error, at, String("expected ") + tag);
    const u32 chunkSize = ByteOrder::LoadLE32(data + at + 4);
    if (chunkSize < 4 || chunkSize > size - at - 8) {
      return Fail(error, at, String(tag) + " size passes the end of the file");
    }
    if (ByteOrder::LoadLE32(data + at + 8) != kTextureChunkVersion) {
      return Fail(error, at, String(tag) + " has an unknown version");
    }
    payload = chunkSize - 4;
    return true;
  };
  u32 payload = 0;
  if (!chunk("TINF", payload)) return false;
  if (payload != kInfoBytes) return Fail(error, at, "TINF has the wrong size");
  const u8* fields = data + at + kChunkHeader;
  info.width = ByteOrder::LoadLE32(fields);
  info.height = ByteOrder::LoadLE32(fields + 4);
  info.format = ByteOrder::LoadLE32(fields + 8);
  info.imageCount = ByteOrder::LoadLE32(fields + 12);
  info.mipCount = ByteOrder::LoadLE32(fields + 16);
  info.flags = ByteOrder::LoadLE32(fields + 20);
  if (info.width == 0 || info.height == 0 || info.width > Bitmap::kMaxSide ||
      info.height > Bitmap::kMaxSide) {
    return Fail(error, at, "TINF size out of range");
  }
  if (TextureMipBytes(info.format, 1, 1) == 0) return Fail(error, at, "TINF format unknown");
  if (info.imageCount == 0 || info.imageCount > kMaxTextureImages) {
    return Fail(error, at, "TINF image count out of range");
  }
  if (info.mipCount == 0 || info.mipCount > FullMipCount(info.width, info.height)) {
    return Fail(error, at, "TINF mip count out of range");
  }
  at += kChunkHeader + payload;
  for (u32 image = 0; image < info.imageCount; ++image) {
    for (u32 level = 0; level < info.mipCount; ++level) {
      if (!chunk("TMIP", payload)) return false;
      if (payload < kMipHeaderBytes) return Fail(error, at, "TMIP too short");
      const u8* mip = data + at + kChunkHeader;
      TextureFileMip entry;
      entry.level = ByteOrder::LoadLE32(mip);
      entry.width = ByteOrder::LoadLE32(mip + 4);
      entry.height = ByteOrder::LoadLE32(mip + 8);
      entry.byteCount = ByteOrder::LoadLE32(mip + 12);
      entry.bytes = mip + kMipHeaderBytes;
      if (entry.level != level || entry.width != MipSide(info.width, level) ||
          entry.height != MipSide(info.height, level)) {
        return Fail(error, at, String::Format("TMIP is not level %u of image %u", level, image));
      }
      if (entry.byteCount != TextureMipBytes(info.format, entry.width, entry.height) ||
          entry.byteCount != payload - kMipHeaderBytes) {
        return Fail(error, at, "TMIP byte count does not fit its size and format");
      }
      mips.push_back(entry);
      at += kChunkHeader + payload;
    }
  }
  if (at != size) return Fail(error, at, "data after the last TMIP");
  return true;
}

}  // namespace Qel
