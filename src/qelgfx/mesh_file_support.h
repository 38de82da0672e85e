// Byte-level pieces shared by the mesh file readers and writers: size marks that are patched once
// a sized region is complete, and padded strings.
//
// Padded string: u32 byte count including the terminating NUL, the bytes, the NUL, then zero
// bytes up to the next 4-byte boundary of the file offset. A null text is written as the empty
// text (count 1, then three zero bytes of padding when it starts aligned).
#pragma once

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class File;
class MemoryFile;

class MeshFileSupport {
 public:
  // No mark could be taken (the file is not open or the placeholder could not be written).
  static constexpr u64 kNoMark = ~u64(0);

  // Writes a placeholder u32 at the current position and returns that position.
  static u64 MarkSizePos(File& file);
  // Writes at the mark the count of bytes written after its placeholder and returns to the end.
  // False when the mark is not usable, the count passes 32 bits or the write fails.
  static bool WriteSizeAtMark(File& file, u64 mark);

  static bool WritePaddedString(File& file, const char* text);
  // False, with the short-read flag set and the position unchanged, for a count of 0, a count
  // larger than the bytes left, or padding missing at the end of the memory. Bytes after an
  // embedded NUL are not part of the text.
  static bool ReadPaddedString(MemoryFile& memory, String& text);
  // Bytes the padded form of a text of `length` characters takes when it starts at `offset`.
  static u32 PaddedStringSize(u32 length, u64 offset);
};

}  // namespace Qel
