#include "mesh/qirf_walk.h"

#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"

namespace {

// Deeper than any bone tree a mesh reader takes, shallow enough for the stack.
constexpr u32 kMaxDepth = 300;
constexpr u32 kHeaderBytes = 12;  // tag, size, version

// A chunk that holds chunks, and the bytes of its own that come before them.
struct Container {
  const char* body;
  const char* tag;
  u32 ownBytes;
  bool nameFirst;  // a padded string comes before those bytes
};

constexpr Container kContainers[] = {
    {"IDXM", "CHNK", 4, false},   // a word nothing reads; MATL, GEOM, NINF
    {"IDXM", "SKEL", 0, false},   // the root BONE
    {"IDXM", "BONE", 32, true},   // name, two vectors, a float, the child count; the children
    {"LODM", "MATT", 4, false},   // material count; the MATLs
    {"LODM", "MESH", 16, false},  // three counts and the distance; LODB and the LCHKs
    {"LODM", "LCHK", 8, false},   // chunk and material index; GEOM, NINF
};

std::string Hex(u32 value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

bool IsTagChar(u8 c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool LooksLikeTag(const u8* at) {
  return IsTagChar(at[0]) && IsTagChar(at[1]) && IsTagChar(at[2]) && IsTagChar(at[3]);
}

class Walker {
 public:
  Walker(const u8* data, const char* bodyTag,
         const std::function<void(const QIRFWalkEntry&)>& visit, QIRFWalkResult& result)
      : data_(data), bodyTag_(bodyTag), visit_(visit), result_(result) {}

  // Every chunk of [begin, end) is reported, and a fault stops the walk.
  bool Sequence(u32 begin, u32 end, u32 depth) {
    if (depth >= kMaxDepth) {
      return Fail(begin, "chunks nested deeper than " + std::to_string(kMaxDepth));
    }
    u32 at = begin;
    while (at < end) {
      if (end - at < kHeaderBytes) {
        return Fail(at, std::to_string(end - at) + " bytes left before the end of the parent at " +
                            Hex(end) + ", too few for a chunk header");
      }
      const u32 size = ByteOrder::LoadLE32(data_ + at + 4);
      const u64 chunkEnd = u64(at) + 8 + size;
      if (size < 4) return Fail(at, "chunk size " + std::to_string(size) + " leaves no version");
      if (chunkEnd > end) {
        return Fail(at, "chunk size " + std::to_string(size) + " passes the end of its parent at " +
                            Hex(end));
      }
      QIRFWalkEntry entry;
      entry.depth = depth;
      std::memcpy(entry.tag, data_ + at, 4);
      for (int i = 0; i < 4; ++i) {
        if (u8(entry.tag[i]) < 0x20 || u8(entry.tag[i]) > 0x7E) entry.tag[i] = '?';
      }
      entry.offset = at;
      entry.size = size;
      entry.version = ByteOrder::LoadLE32(data_ + at + 8);
      const u32 bodyBegin = at + kHeaderBytes;
      u32 children = u32(chunkEnd);
      if (const Container* container = FindContainer(data_ + at)) {
        const u64 own = OwnBytes(*container, bodyBegin, u32(chunkEnd));
        if (u64(bodyBegin) + own > chunkEnd) {
          return Fail(at, std::string(entry.tag) + " ends inside its own fields, before " +
                              Hex(u32(bodyBegin + own)));
        }
        children = bodyBegin + u32(own);
      }
      entry.dataBytes = children - bodyBegin;
      entry.hasChildren = children < chunkEnd;
      ++result_.chunkCount;
      visit_(entry);
      if (entry.hasChildren && !Sequence(children, u32(chunkEnd), depth + 1)) return false;
      at = u32(chunkEnd);
    }
    return true;
  }

 private:
  bool Fail(u32 at, std::string reason) {
    result_.failOffset = at;
    result_.reason = std::move(reason);
    return false;
  }

  const Container* FindContainer(const u8* tag) const {
    for (const Container& container : kContainers) {
      if (std::memcmp(container.body, bodyTag_, 4) == 0 &&
          std::memcmp(container.tag, tag, 4) == 0) {
        return &container;
      }
    }
    return nullptr;
  }

  // The container's own bytes from `begin`; past `end` when its fields do not fit. A padded
  // string is its u32 count, that many bytes, then zeros to the next 4-byte file offset.
  u64 OwnBytes(const Container& container, u32 begin, u32 end) const {
    u64 name = 0;
    if (container.nameFirst) {
      if (end - begin < 4) return u64(end - begin) + 4;
      const u64 textEnd = u64(begin) + 4 + ByteOrder::LoadLE32(data_ + begin);
      name = textEnd + (4 - textEnd % 4) % 4 - begin;
    }
    return name + container.ownBytes;
  }

  const u8* data_;
  const char* bodyTag_;
  const std::function<void(const QIRFWalkEntry&)>& visit_;
  QIRFWalkResult& result_;
};

}  // namespace

QIRFWalkResult WalkQIRF(const u8* data, u32 size,
                        const std::function<void(const QIRFWalkEntry&)>& visit) {
  QIRFWalkResult result;
  if (size < 4 || std::memcmp(data, "QIRF", 4) != 0) {
    result.reason = "the file does not start with \"QIRF\"";
    return result;
  }
  if (size < 12) {
    result.failOffset = 4;
    result.reason = "the file ends inside the header (" + std::to_string(size) + " bytes)";
    return result;
  }
  result.bodyLength = ByteOrder::LoadLE32(data + 4);
  std::memcpy(result.bodyTag, data + 8, 4);
  const u64 bodyEnd = 8 + u64(result.bodyLength);
  if (bodyEnd > size || result.bodyLength < 4) {
    result.failOffset = 4;
    result.reason = "body length " + std::to_string(result.bodyLength) +
                    " does not fit the file (" + std::to_string(size) + " bytes)";
    return result;
  }
  const bool meshBody =
      std::memcmp(result.bodyTag, "IDXM", 4) == 0 || std::memcmp(result.bodyTag, "LODM", 4) == 0;
  // A body of another kind that does not open with a chunk tag (a texture's, say) is data.
  if (!meshBody && bodyEnd >= 12 + 4 && !LooksLikeTag(data + 12)) {
    result.bodyDataBytes = u32(bodyEnd - 12);
    result.ok = true;
  } else {
    Walker walker(data, result.bodyTag, visit, result);
    result.ok = walker.Sequence(12, u32(bodyEnd), 0);
  }
  if (result.ok && bodyEnd < size) {
    result.ok = false;
    result.failOffset = u32(bodyEnd);
    result.reason = std::to_string(size - bodyEnd) + " bytes follow the end of the body";
  }
  return result;
}
