#include "qel/memory_file.h"

#include <cstring>

#include "platform/byte_order.h"
#include "qel/file.h"

namespace Qel {

void MemoryFile::SetData(const void* data, u32 size) {
  const u8* bytes = static_cast<const u8*>(data);
  bytes_.assign(bytes, bytes + (bytes ? size : 0));
  position_ = 0;
  shortRead_ = false;
}

void MemoryFile::Clear() {
  bytes_.clear();
  bytes_.shrink_to_fit();
  position_ = 0;
  shortRead_ = false;
}

bool MemoryFile::Load(File& file) {
  Clear();
  if (!file.IsOpen()) return false;
  const u64 length = file.GetLength();
  const u64 at = file.GetPosition();
  if (at > length || length - at > 0xFFFFFFFEu) return false;
  const u32 n = u32(length - at);
  bytes_.resize(n);
  if (n > 0 && file.Read(bytes_.data(), n) != n) {
    Clear();
    return false;
  }
  return true;
}

bool MemoryFile::LoadFile(const char* path) {
  File file;
  if (file.Open(path, File::kModeRead) != 0) {
    Clear();
    return false;
  }
  return Load(file);
}

bool MemoryFile::Read(void* target, u32 n) {
  if (n > GetBytesLeft()) {
    shortRead_ = true;
    return false;
  }
  if (n > 0) std::memcpy(target, bytes_.data() + position_, n);
  position_ += n;
  return true;
}

bool MemoryFile::ReadU32(u32& value) {
  u8 raw[4];
  if (!Read(raw, 4)) return false;
  value = ByteOrder::LoadLE32(raw);
  return true;
}

bool MemoryFile::ReadI32(i32& value) {
  u32 raw = 0;
  if (!ReadU32(raw)) return false;
  value = i32(raw);
  return true;
}

bool MemoryFile::ReadU16(u16& value) {
  u8 raw[2];
  if (!Read(raw, 2)) return false;
  value = ByteOrder::LoadLE16(raw);
  return true;
}

bool MemoryFile::ReadF32(f32& value) {
  u8 raw[4];
  if (!Read(raw, 4)) return false;
  value = ByteOrder::LoadLEF32(raw);
  return true;
}

bool MemoryFile::Skip(u32 n) {
  if (n > GetBytesLeft()) {
    shortRead_ = true;
    return false;
  }
  position_ += n;
  return true;
}

bool MemoryFile::Seek(u32 position) {
  if (position > GetSize()) return false;
  position_ = position;
  return true;
}

}  // namespace Qel
