// Reads the QIRF framing of mesh files from memory: "QIRF", the body length, the body tag, then
// chunks of tag, u32 size (bytes after the size field) and u32 version. Chunks come in a fixed
// order; nothing is searched for or skipped. Every size must end inside its parent (the body
// inside the file, a chunk inside the body or its enclosing chunk), and every count that sizes
// an allocation is checked against the bytes left first (FitsRecords).
//
// Results are mesh load codes: RES_OK, RES_FILE_FORMAT_ERROR for framing faults and short reads,
// RES_FILE_VERSION_ERROR for a version a chunk does not accept.
#pragma once

#include <vector>

#include "qel/memory_file.h"
#include "qel/types.h"

struct ChunkHeader {
  char tag[4] = {};
  u32 start = 0;  // offset of the tag
  u32 end = 0;    // offset just after the chunk
  u32 version = 0;
  bool present = false;  // false for an optional chunk that is absent
};

class ChunkReader {
 public:
  enum class Presence { kMandatory, kOptional };
  enum class EndCheck {
    kExact,      // the position must be the chunk's end
    kNone,       // fixed-size chunks that are not checked
    kSeekToEnd,  // whatever was read, continue at the chunk's end
  };

  explicit ChunkReader(Qel::MemoryFile& memory) : memory_(memory) {}
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Reads the magic, the body length and the body tag; a null tag accepts any body.
  u32 OpenBody(const char* bodyTag);
  // The position must be the body's end and no read may have come up short.
  u32 CloseBody();

  // Reads a chunk's header. An optional chunk with another tag, or with fewer than four bytes
  // left in its parent, is absent: the position is left at that tag and `header.present` is
  // false. Versions outside [minVersion, maxVersion] give RES_FILE_VERSION_ERROR.
  u32 EnterChunk(const char* tag, Presence presence, u32 minVersion, u32 maxVersion,
                 ChunkHeader& header);
  u32 LeaveChunk(const ChunkHeader& header, EndCheck check = EndCheck::kExact);

  // True when the next four bytes inside the current parent are this tag; does not move.
  bool NextTagIs(const char* tag) const;
  // Bytes between the position and the end of the innermost open chunk (or body, or file).
  u32 BytesLeft() const;
  // count records of recordSize bytes fit in BytesLeft(); checked before anything is allocated.
  bool FitsRecords(u64 count, u64 recordSize) const { return count * recordSize <= BytesLeft(); }
  // RES_FILE_FORMAT_ERROR once any read came up short.
  u32 ReadResult() const;

  Qel::MemoryFile& Memory() { return memory_; }
  const char* GetBodyTag() const { return bodyTag_; }
  u32 GetBodyEnd() const { return ends_.empty() ? 0 : ends_.front(); }
  u32 GetDepth() const { return u32(ends_.size()); }

 private:
  u32 ParentEnd() const { return ends_.empty() ? memory_.GetSize() : ends_.back(); }

  Qel::MemoryFile& memory_;
  std::vector<u32> ends_;  // the body's end, then one per open chunk
  char bodyTag_[5] = {};
};
