#include "qel/file_write.h"

#include "platform/byte_order.h"
#include "qel/file.h"

namespace Qel {

bool WriteBlock(File& file, const void* data, u32 size) {
  return size == 0 || file.Write(data, size) == size;
}

bool WriteU32(File& file, u32 value) {
  u8 raw[4];
  ByteOrder::StoreLE32(raw, value);
  return WriteBlock(file, raw, 4);
}

bool WriteI32(File& file, i32 value) { return WriteU32(file, u32(value)); }

bool WriteU16(File& file, u16 value) {
  u8 raw[2];
  ByteOrder::StoreLE16(raw, value);
  return WriteBlock(file, raw, 2);
}

bool WriteF32(File& file, f32 value) {
  u8 raw[4];
  ByteOrder::StoreLEF32(raw, value);
  return WriteBlock(file, raw, 4);
}

bool WriteTag(File& file, const char* tag) { return WriteBlock(file, tag, 4); }

}  // namespace Qel
