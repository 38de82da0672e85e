#include "qelgfx/mesh_file_support.h"

#include <cstring>

#include "qel/file.h"
#include "qel/file_write.h"
#include "qel/memory_file.h"

namespace Qel {

namespace {

u32 PaddingAfter(u64 end) { return u32((4 - (end & 3)) & 3); }

}  // namespace

u64 MeshFileSupport::MarkSizePos(File& file) {
  if (!file.IsOpen()) return kNoMark;
  const u64 mark = file.GetPosition();
  return WriteU32(file, 0) ? mark : kNoMark;
}

bool MeshFileSupport::WriteSizeAtMark(File& file, u64 mark) {
  if (mark == kNoMark || !file.IsOpen()) return false;
  const u64 end = file.GetPosition();
  if (end < mark + 4 || end - (mark + 4) > 0xFFFFFFFFu) return false;
  const u32 size = u32(end - (mark + 4));
  const bool ok = file.Seek(i64(mark), 0) && WriteU32(file, size);
  return file.Seek(i64(end), 0) && ok;
}

u32 MeshFileSupport::PaddedStringSize(u32 length, u64 offset) {
  const u64 end = offset + 4 + u64(length) + 1;
  return u32(end - offset) + PaddingAfter(end);
}

bool MeshFileSupport::WritePaddedString(File& file, const char* text) {
  if (!text) text = "";
  const size_t length = std::strlen(text);
  if (length >= 0xFFFFFFFFu) return false;
  const u32 count = u32(length + 1);
  static const u8 kZeros[4] = {};
  if (!WriteU32(file, count) || !WriteBlock(file, text, count)) return false;
  return WriteBlock(file, kZeros, PaddingAfter(file.GetPosition()));
}

bool MeshFileSupport::ReadPaddedString(MemoryFile& memory, String& text) {
  const u32 start = memory.GetPosition();
  u32 count = 0;
  if (!memory.ReadU32(count)) return false;
  const u64 end = u64(memory.GetPosition()) + count;
  if (count == 0 || end + PaddingAfter(end) > memory.GetSize()) {
    memory.Seek(start);
    memory.Skip(0xFFFFFFFFu);  // sets the short-read flag without moving
    return false;
  }
  const char* bytes = reinterpret_cast<const char*>(memory.GetCursor());
  text = String(bytes, strnlen(bytes, count - 1));
  memory.Skip(count + PaddingAfter(end));
  return true;
}

}  // namespace Qel
