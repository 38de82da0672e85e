// Writes the QIRF framing of mesh files: "QIRF", the body length, the body tag, then tagged,
// sized and versioned chunks whose sizes are patched when each one ends. Every write is checked
// and the first failure sticks, so that a writer can tell a complete file from a partial one.
#pragma once

#include <vector>

#include "qel/file.h"
#include "qel/types.h"

class ChunkWriter {
 public:
  explicit ChunkWriter(Qel::File& file) : file_(file) {}
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // "QIRF", the length placeholder and the four-character body tag.
  bool BeginFile(const char* bodyTag);
  // Patches the body length; every chunk must have ended. True when the whole file was written.
  bool EndFile();

  bool BeginChunk(const char* tag, u32 version);
  bool EndChunk();

  bool WriteU32(u32 value);
  bool WriteI32(i32 value);
  bool WriteU16(u16 value);
  bool WriteF32(f32 value);
  bool WriteBlock(const void* data, u32 size);
  // A null text is written as the empty text.
  bool WritePaddedString(const char* text);

  bool IsOk() const { return ok_; }
  u32 GetOpenChunkCount() const { return marks_.empty() ? 0 : u32(marks_.size() - 1); }

 private:
  bool Check(bool ok) { return ok_ = ok_ && ok; }

  Qel::File& file_;
  std::vector<u64> marks_;  // the body length first, then one per open chunk
  bool ok_ = true;
};
