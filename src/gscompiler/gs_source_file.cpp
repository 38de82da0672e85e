#include "gscompiler/gs_source_file.h"

#include <cstring>
#include <new>
#include <string>

#include "core/whole_file_writer.h"
#include "gscompiler/compile_environment.h"
#include "platform/byte_order.h"
#include "qel/file_facts.h"
#include "qel/lzss.h"

namespace {

constexpr int kCompressionLevel = 9;
// No LZSS stream grows by more than this factor (a 17-byte group of eight matches gives 144
// bytes), so a longer announced text cannot be genuine and is refused before allocating.
constexpr u64 kMaxExpansion = 9;

// One spare byte keeps the text NUL-terminated.
std::unique_ptr<u8[]> AllocateText(u64 length) {
  std::unique_ptr<u8[]> p(new (std::nothrow) u8[length + 1]);
  if (p) p[length] = 0;
  return p;
}

}  // namespace

const u8 GSSourceFile::kKey[kKeySize] = {
    0x15, 0x9C, 0x57, 0xB4, 0x47, 0xDC, 0xDD, 0xE9, 0xCB, 0x37, 0x0B, 0xCF, 0x95, 0x9E, 0xE2, 0x45,
    0x64, 0x11, 0xD6, 0x38, 0x74, 0xBD, 0x7F, 0xAA, 0x0F, 0x94, 0xF7, 0xC7, 0xF0, 0x04, 0x9E, 0xD4};

GSSourceFile::GSSourceFile() = default;
GSSourceFile::GSSourceFile(CompileEnvironment& environment) : environment_(&environment) {}
GSSourceFile::~GSSourceFile() = default;

void GSSourceFile::SetPendingPrefix(const Qel::PString& prefix) {
  CompileEnvironment::OfThisThread().pendingPrefix = prefix;
}

const Qel::PString& GSSourceFile::GetPendingPrefix() {
  return CompileEnvironment::OfThisThread().pendingPrefix;
}

CompileEnvironment& GSSourceFile::Environment() const {
  return environment_ != nullptr ? *environment_ : CompileEnvironment::OfThisThread();
}

void GSSourceFile::Clear() {
  data_.reset();
  packed_ = false;
  format_ = 0;
  dataLength_ = 0;
  textLength_ = 0;
  prefixLength_ = 0;
  sourcePath_ = Qel::File::Path();
  targetPath_ = Qel::File::Path();
}

void GSSourceFile::Reset() {
  Clear();
  format_ = 1;
}

bool GSSourceFile::Load(const char* rootName, const char* path) {
  Reset();
  sourcePath_ = Qel::File::Path(path);
  rootName_ = rootName;
  if (!path || !*path) return false;
  if (!Qel::File::Exists(Qel::File::InFolder(Qel::PString(rootName_.CStr()), path).CStr())) {
    return false;
  }
  if (sourcePath_.IsExt("gs")) return ReadPlain();
  if (sourcePath_.IsExt("gse")) return ReadPacked();
  return false;
}

bool GSSourceFile::ReadPlain() {
  std::string text;
  if (!Qel::ReadWholeFile(
          Qel::File::InFolder(Qel::PString(rootName_.CStr()), sourcePath_.CStr()).CStr(),
          kMaxTextLength, &text)) {
    return false;
  }
  const u64 size = text.size();
  const u32 prefix = Environment().pendingPrefix.Length();
  std::unique_ptr<u8[]> buffer = AllocateText(u64(prefix) + size);
  if (!buffer) return false;
  if (size != 0) std::memcpy(buffer.get() + prefix, text.data(), size_t(size));
  prefixLength_ = prefix;
  TakePendingPrefix(buffer.get());
  data_ = std::move(buffer);
  dataLength_ = textLength_ = prefix + u32(size);
  NormaliseLineEnds();
  return true;
}

bool GSSourceFile::ReadPacked() {
  Qel::File file;
  if (file.OpenInFolder(Qel::PString(rootName_.CStr()), sourcePath_.CStr(), Qel::File::kModeRead) !=
      0) {
    return false;
  }
  u8 header[kHeaderSize];
  const u32 got = file.Read(header, kHeaderSize);
  format_ = got >= 4 ? ByteOrder::LoadLE32(header) : 0xFFFFFFFFu;
  if (got != kHeaderSize) return false;
  const u32 n = ByteOrder::LoadLE32(header + 8);
  if (n < 1 || n > kMaxPackedLength) return false;
  std::unique_ptr<u8[]> buffer(new (std::nothrow) u8[n]);
  if (!buffer || file.Read(buffer.get(), n) != n) return false;
  data_ = std::move(buffer);
  dataLength_ = n;
  packed_ = true;
  return true;
}

bool GSSourceFile::Unpack() {
  if (!packed_) return true;
  // Whatever goes wrong below, the object must not keep half-unscrambled bytes.
  if (dataLength_ < 4) {
    Clear();
    return false;
  }
  Scramble(data_.get(), dataLength_);
  const u32 length = ByteOrder::LoadLE32(data_.get());
  const u32 packedLength = dataLength_ - 4;
  if (length == 0 || length > kMaxTextLength || u64(length) > u64(packedLength) * kMaxExpansion) {
    Clear();
    return false;
  }
  const u32 prefix = Environment().pendingPrefix.Length();
  std::unique_ptr<u8[]> text = AllocateText(u64(prefix) + length);
  if (!text) {
    Clear();
    return false;
  }
  Qel::LZSSCompress codec;
  if (codec.DecompressBlock(data_.get() + 4, packedLength, text.get() + prefix, length) != length) {
    Clear();
    return false;
  }
  prefixLength_ = prefix;
  TakePendingPrefix(text.get());
  data_ = std::move(text);
  dataLength_ = prefix + length;
  if (textLength_ == 0) textLength_ = dataLength_;
  packed_ = false;
  NormaliseLineEnds();
  return true;
}

bool GSSourceFile::Pack() {
  if (packed_) return true;
  // An empty text compresses to nothing, and a ".gse" announcing length 0 cannot be read back.
  if (dataLength_ == 0) return false;
  if (textLength_ == 0) textLength_ = dataLength_;
  const u64 capacity = Qel::LZSSCompress::MaxCompressedSize(dataLength_);
  std::unique_ptr<u8[]> buffer(new (std::nothrow) u8[4 + capacity]);
  if (!buffer) return false;
  Qel::LZSSCompress codec;
  const u32 compressed = codec.CompressBlock(data_.get(), dataLength_, buffer.get() + 4,
                                             u32(capacity), kCompressionLevel);
  // A body beyond the load limit would give a file that cannot be read back.
  if (compressed == 0 || u64(compressed) + 4 > kMaxPackedLength) return false;
  ByteOrder::StoreLE32(buffer.get(), dataLength_);
  data_ = std::move(buffer);
  dataLength_ = compressed + 4;
  Scramble(data_.get(), dataLength_);
  packed_ = true;
  return true;
}

bool GSSourceFile::Save(const char* rootName, const char* path) {
  targetPath_ = Qel::File::Path(path);
  rootName_ = rootName;
  if (targetPath_.IsExt("gse")) return SavePacked();
  if (targetPath_.IsExt("gs")) return SavePlain();
  return false;
}

bool GSSourceFile::SavePacked() {
  if (!Pack()) return false;
  u8 header[kHeaderSize] = {};
  ByteOrder::StoreLE32(header, format_);
  ByteOrder::StoreLE32(header + 8, dataLength_);
  return WriteTarget(header, kHeaderSize, data_.get(), dataLength_);
}

bool GSSourceFile::SavePlain() {
  if (!Unpack()) return false;
  return WriteTarget(nullptr, 0, data_.get(), dataLength_);
}

bool GSSourceFile::WriteTarget(const void* header, u32 headerSize, const void* body, u32 bodySize) {
  if (targetPath_.IsEmpty()) return false;
  const Qel::String target =
      Qel::File::InFolder(Qel::PString(rootName_.CStr()), targetPath_.CStr());
  return WriteWholeFile(target.CStr(), {{header, headerSize}, {body, bodySize}}) ==
         WriteResult::kWritten;
}

const char* GSSourceFile::GetText() {
  if (!Unpack()) return nullptr;
  if (!data_) return "";
  return reinterpret_cast<const char*>(data_.get());
}

u32 GSSourceFile::GetTextLength() { return Unpack() ? dataLength_ : 0; }

void GSSourceFile::TakePendingPrefix(u8* buffer) {
  const Qel::PString prefix = Environment().TakePendingPrefix();
  if (prefixLength_ != 0) std::memcpy(buffer, prefix.Get(), prefixLength_);
}

void GSSourceFile::NormaliseLineEnds() {
  u8* p = data_.get();
  if (!p) return;
  // The prefix and the source are normalised apart, so a line end never spans the seam and the
  // source's bytes after the prefix are the same as without one.
  const u32 prefixEnd = NormaliseRange(p, 0, prefixLength_, 0);
  const u32 out = NormaliseRange(p, prefixLength_, dataLength_, prefixEnd);
  prefixLength_ = prefixEnd;
  p[out] = 0;
  dataLength_ = out;
  textLength_ = out;
}

u32 GSSourceFile::NormaliseRange(u8* p, u32 begin, u32 end, u32 out) {
  // A source is long and carriage returns are rare, so the bytes up to each one move as a run:
  // line feeds in it stay as they are. A carriage return after such a line feed ends the same line.
  u32 in = begin;
  while (in < end) {
    const void* found = std::memchr(p + in, '\r', end - in);
    const u32 next = found != nullptr ? u32(static_cast<const u8*>(found) - p) : end;
    const bool afterLineFeed = next > in && p[next - 1] == '\n';
    std::memmove(p + out, p + in, next - in);
    out += next - in;
    if (next == end) break;
    in = next + 1;
    if (afterLineFeed) continue;
    p[out++] = '\n';
    if (in < end && p[in] == '\n') ++in;
  }
  return out;
}

void GSSourceFile::Scramble(u8* data, u32 length) {
  for (u32 i = 0; i < length; ++i) data[i] ^= kKey[i % kKeySize];
}
