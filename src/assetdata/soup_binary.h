// The binary soup form, magic "ACS$".
//
// A 16-byte header (magic, u32 version, u32 reserved, u32 body size; little-endian) and a body:
// the chunks of the root's children. A chunk is {u32 size of what follows, u8 name length n
// including its NUL, the name, u8 type, payload}; a container's payload is its own children's
// chunks. Positions inside a body are offsets from its start; bodies are held 16-byte aligned,
// so that the padding of type 12 depends on the offset alone.
#pragma once

#include <string_view>
#include <vector>

#include "assetdata/soup_tree.h"
#include "platform/byte_order.h"
#include "qel/types.h"

class Soup;
class TStream;

// The magic "ACS$" read as a little-endian u32.
inline constexpr u32 kSoupMagic = 0x24534341u;
inline constexpr u32 kSoupHeaderSize = 16;

// Chunk type codes.
enum SoupChunkType : u8 {
  kChunkContainer = 0,
  kChunkInt = 1,
  kChunkFloat = 2,
  kChunkText = 3,
  kChunkRaw = 4,
  kChunkNull = 5,
  kChunkAlignedRaw = 12,  // padding to a 16-byte boundary, then raw bytes
  kChunkKUID = 13,
};

// The type code written for a value kind.
u8 SoupChunkTypeForKind(u32 kind);
// The kind a chunk type reads as.
u32 SoupKindForChunkType(u8 type);

// The header of a body of `bodySize` bytes, written as WriteSoup writes it.
void MakeSoupHeader(u8* header, u32 bodySize);
// Appends the chunks of the soup's children to `out`, as WriteSoup writes them when they stand
// `depth` containers below the top of the soup being written (0: the soup's own children). For
// writers that place a soup inside a larger one piece by piece. False as for WriteSoup.
bool AppendSoupChunks(std::vector<u8>& out, const Soup& soup, u32 depth);

// Writes the header and the body. False when tags nested deeper than kMaxSoupDepth were left out
// or the body would not fit the format; stream errors stay in the stream.
bool WriteSoup(TStream& out, const Soup& soup);

// An owned body, 16-byte aligned.
class SoupBody {
 public:
  SoupBody() = default;
  ~SoupBody() { Reset(); }
  SoupBody(const SoupBody&) = delete;
  SoupBody& operator=(const SoupBody&) = delete;
  SoupBody(SoupBody&& other) noexcept;
  SoupBody& operator=(SoupBody&& other) noexcept;

  // Discards what was held and allocates size bytes (nothing for 0).
  void Allocate(u32 size);
  void Reset();

  u8* Data() { return data_; }
  const u8* Data() const { return data_; }
  u32 Size() const { return size_; }
  bool IsEmpty() const { return size_ == 0; }

 private:
  u8* data_ = nullptr;
  u32 size_ = 0;
};

// Reads a header and its body into `body`, which holds nothing afterwards when the soup is
// empty, truncated or malformed. False for a wrong magic, or a body size that is negative or
// runs past the stream; a malformed body is no error and reads as empty. `version` is the
// header's (0xFFFFFFFF when the header ran short).
bool ReadSoupBinary(TStream& in, u32& version, SoupBody& body);

// The body check: every chunk well formed, containers nested at most kMaxSoupDepth deep, trailing
// bytes fewer than 6. `tooDeep`, when given, is set when the nesting failed the check.
bool ValidateSoupBody(const u8* bytes, u32 length, bool* tooDeep = nullptr);

// One chunk located by a walk. Offsets count from the start of the body.
struct SoupChunk {
  u32 offset = 0;         // of the chunk's size field
  std::string_view name;  // up to the name's first NUL
  u8 type = 0;
  u32 payloadOffset = 0;
  u32 payloadSize = 0;
};

// The smallest chunk: a size word, a name length, a one-byte name and a type.
inline constexpr u32 kSoupMinChunk = 6;

// Checks the chunk at `position` of a region ending at `end` (position + 6 <= end). On success
// gives the chunk's name length and the offset just past it. Inline, as the walk below: a walk
// of a large body makes these steps for every tag.
inline bool CheckSoupChunk(const u8* body, u32 position, u32 end, u32& nameLength, u32& next) {
  const u32 size = ByteOrder::LoadLE32(body + position);
  if (size < 2 || u64(size) + 4 > u64(end - position)) return false;
  const u32 n = body[position + 4];
  if (n < 1 || n + 2 > size) return false;
  if (body[position + 4 + n] != 0) return false;
  nameLength = n;
  next = position + 4 + size;
  return true;
}

// Visits the chunks of one container region of a body in order, stopping at the first chunk
// that breaks the chunk rules or when fewer than 6 bytes remain.
class SoupChunkWalker {
 public:
  // The region [start, start + length) must lie inside the body.
  SoupChunkWalker(const u8* body, u32 start, u32 length)
      : body_(body), position_(start), end_(u32(u64(start) + length)) {}

  bool Next(SoupChunk& out) {
    if (!body_ || end_ - position_ < kSoupMinChunk) return false;
    u32 n = 0;
    u32 next = 0;
    if (!CheckSoupChunk(body_, position_, end_, n, next)) {
      position_ = end_;
      return false;
    }
    const char* name = reinterpret_cast<const char*>(body_ + position_ + 5);
    out.offset = position_;
    out.name = std::string_view(name, NameLength(name, n));
    out.type = body_[position_ + 5 + n];
    out.payloadOffset = position_ + 6 + n;
    out.payloadSize = next - out.payloadOffset;
    position_ = next;
    return true;
  }

 private:
  // The name's characters before its first NUL; the checked chunk has one at name[n - 1]. Names
  // are short: a byte at a time costs less than a call.
  static size_t NameLength(const char* name, u32 n) {
    size_t length = 0;
    while (length + 1 < n && name[length] != 0) ++length;
    return length;
  }

  const u8* body_;
  u32 position_;
  u32 end_;
};

// The raw payload of a type-12 chunk after its padding to a 16-byte boundary; empty when the
// payload is shorter than its padding.
void SoupAlignedPayload(u32 payloadOffset, u32 payloadSize, u32& valueOffset, u32& valueSize);

// A text payload is used as it stands only in a version-1 (or later) soup whose payload is empty
// or ends in NUL; otherwise the value is a copy.
bool SoupTextNeedsCopy(const u8* payload, u32 size, u32 version);
// The copy: a NUL appended when missing, and a version-0 text converted from Windows-1252 to
// UTF-8 (the empty text, held as no block, when that fails).
MPRef<ACSRawDataCore> CopySoupText(const u8* payload, u32 size, u32 version);

// Decodes a checked body into a new in-memory container tree whose values are copies. Version 0
// texts are converted. Null for an empty body.
MPRef<ACSChunk> DecodeSoupBody(const u8* body, u32 size, u32 version);

// Reads a binary soup and decodes it into an in-memory tree: the soup is empty when the read
// fails, the body is empty or malformed, or the version is neither 0 nor 1. The result is
// ReadSoupBinary's.
bool ReadSoupTree(TStream& in, Soup& target);
