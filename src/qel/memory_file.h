// A whole file held in memory for parsing. Reads never pass the end: a read that would leaves its
// target unchanged, does not move, and sets a sticky short-read flag, so a reader can run a whole
// record and test once whether it was all there.
#pragma once

#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class File;

class MemoryFile {
 public:
  MemoryFile() = default;
  MemoryFile(const void* data, u32 size) { SetData(data, size); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Copies the bytes and rewinds; the short-read flag is cleared.
  void SetData(const void* data, u32 size);
  // Reads the rest of an open file from its current position. False, with the memory emptied,
  // when the file is not open, is longer than 4 GiB - 1 or cannot be read whole.
  bool Load(File& file);
  // Opens the file for reading and loads it.
  bool LoadFile(const char* path);
  void Clear();

  // Copies n bytes, or nothing (and sets the flag) when fewer are left.
  bool Read(void* target, u32 n);
  bool ReadU32(u32& value);
  bool ReadI32(i32& value);
  bool ReadU16(u16& value);
  bool ReadF32(f32& value);
  // Moves past n bytes, or does not move (and sets the flag) when fewer are left.
  bool Skip(u32 n);

  // Moves to an absolute offset; a position past the end is refused and leaves the position.
  bool Seek(u32 position);
  // Moves back by n bytes, never before the start.
  void Rewind(u32 n) { position_ = n > position_ ? 0 : position_ - n; }

  u32 GetPosition() const { return position_; }
  u32 GetSize() const { return u32(bytes_.size()); }
  u32 GetBytesLeft() const { return GetSize() - position_; }
  const u8* GetData() const { return bytes_.data(); }
  const u8* GetCursor() const { return bytes_.data() + position_; }

  bool HasShortRead() const { return shortRead_; }
  void ClearShortRead() { shortRead_ = false; }

 private:
  std::vector<u8> bytes_;
  u32 position_ = 0;
  bool shortRead_ = false;
};

}  // namespace Qel
