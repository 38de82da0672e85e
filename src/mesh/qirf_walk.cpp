#include "mesh/qirf_walk.h"

#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"

namespace {

constexpr u32 kMaxDepth = 64;
constexpr u32 kHeaderBytes = 12;  // tag, size, version

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
  Walker(const u8* data, const std::function<void(const QIRFWalkEntry&)>& visit,
         QIRFWalkResult& result)
      : data_(data), visit_(visit), result_(result) {}

  // Strict: every chunk of [begin, end) is reported, and a fault stops the walk.
  bool Sequence(u32 begin, u32 end, u32 depth) {
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
      const u32 children =
          depth + 1 < kMaxDepth ? FindChildren(bodyBegin, u32(chunkEnd)) : u32(chunkEnd);
      entry.dataBytes = children - bodyBegin;
      entry.hasChildren = children < chunkEnd;
      ++result_.chunkCount;
      visit_(entry);
      if (entry.hasChildren && !Sequence(children, u32(chunkEnd), depth + 1)) return false;
      if (!entry.hasChildren && !CheckDamagedChildren(bodyBegin, u32(chunkEnd), depth)) {
        return false;
      }
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

  // The first aligned offset from which [offset, end) is exactly a chunk sequence; end if none.
  u32 FindChildren(u32 begin, u32 end) {
    for (u32 at = begin; at + kHeaderBytes <= end && budget_ > 0; at += 4) {
      if (IsSequence(at, end)) return at;
    }
    return end;
  }

  bool IsSequence(u32 at, u32 end) {
    while (at < end) {
      if (--budget_ <= 0 || end - at < kHeaderBytes || !LooksLikeTag(data_ + at)) return false;
      const u32 size = ByteOrder::LoadLE32(data_ + at + 4);
      if (size < 4 || u64(at) + 8 + size > end) return false;
      at += 8 + size;
    }
    return true;
  }

  // A body that opens with a chunk tag, at once or after one word (as a chunk's count), but does
  // not parse as chunks is damaged where its sequence breaks.
  bool CheckDamagedChildren(u32 begin, u32 end, u32 depth) {
    if (depth + 1 >= kMaxDepth) return true;
    for (u32 at = begin; at <= begin + 4 && at + kHeaderBytes <= end; at += 4) {
      if (!LooksLikeTag(data_ + at)) continue;
      QIRFWalkResult probe;
      const std::function<void(const QIRFWalkEntry&)> ignore = [](const QIRFWalkEntry&) {};
      Walker inner(data_, ignore, probe);
      inner.budget_ = budget_;
      if (!inner.Sequence(at, end, depth + 1)) {
        // Tell only what breaks at the first chunk's own header; deeper breaks may be data.
        if (probe.failOffset == at) return Fail(probe.failOffset, probe.reason);
      }
    }
    return true;
  }

  const u8* data_;
  const std::function<void(const QIRFWalkEntry&)>& visit_;
  QIRFWalkResult& result_;
  // Bounds the search for nested chunks, so that a hostile body costs linear time at most.
  i64 budget_ = 1 << 22;
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
  // A body that does not open with a chunk tag (a texture's, say) is data of its own kind.
  if (bodyEnd >= 12 + 4 && !LooksLikeTag(data + 12)) {
    result.bodyDataBytes = u32(bodyEnd - 12);
    result.ok = true;
  } else {
    Walker walker(data, visit, result);
    result.ok = walker.Sequence(12, u32(bodyEnd), 0);
  }
  if (result.ok && bodyEnd < size) {
    result.ok = false;
    result.failOffset = u32(bodyEnd);
    result.reason = std::to_string(size - bodyEnd) + " bytes follow the end of the body";
  }
  return result;
}
