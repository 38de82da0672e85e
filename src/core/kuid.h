// The identifier of an asset: creator number, the creator's number for the asset, and a
// version. Value type; a default-constructed KUID is the null KUID (-1, -1, 127).
#pragma once

#include <cstddef>
#include <functional>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class TStream;

struct KUID {
  // The soup/stream word keeps only these many bits of each field.
  static constexpr u32 kUserIdBits = 25;
  static constexpr u32 kUserIdMask = 0x1FFFFFFu;
  static constexpr i32 kMaxUserId = 33554431;
  static constexpr i32 kMinUserId = -33554432;
  static constexpr i32 kMaxVersion = 127;

  i32 userId = -1;
  i32 contentId = -1;
  i32 version = 127;

  constexpr KUID() = default;
  constexpr KUID(i32 user, i32 content, i32 ver) : userId(user), contentId(content), version(ver) {}

  static constexpr KUID Null() { return KUID(); }

  constexpr bool IsNull() const { return userId == -1 && contentId == -1 && version == 127; }
  // True when packing keeps every field.
  constexpr bool IsWellFormed() const {
    if (userId >= 0) return userId <= kMaxUserId && version >= 0 && version <= kMaxVersion;
    return userId >= kMinUserId && version == kMaxVersion;
  }
  // Short-form KUIDs print without their version.
  constexpr bool IsShortForm() const {
    return (version == 0 && userId >= 0) || (version == kMaxVersion && userId < 0);
  }

  constexpr bool operator==(const KUID& o) const {
    return userId == o.userId && contentId == o.contentId && version == o.version;
  }
  constexpr bool operator!=(const KUID& o) const { return !(*this == o); }
  // Any strict order will do for maps and sorting; this one is by user, content, version.
  constexpr bool operator<(const KUID& o) const {
    if (userId != o.userId) return userId < o.userId;
    if (contentId != o.contentId) return contentId < o.contentId;
    return version < o.version;
  }

  // The pair stored in soup values: {version << 25 | low 25 bits of the user id, content id}.
  struct Packed {
    u32 word;
    u32 contentId;
  };
  static Packed Pack(const KUID& kuid);
  // Sign-extends the 25-bit user id.
  static KUID Unpack(u32 word, u32 contentId);

  // Stream form: the content id, then the packed word. A short read leaves the missing parts
  // null and the stream's error set.
  static void Write(const KUID& kuid, TStream& stream);
  static KUID Read(TStream& stream);

  // "<NULL>", "<kuid:u:c>" (short form) or "<kuid2:u:c:v>".
  Qel::PString ToString() const;
  // As ToString, but never shows the version.
  Qel::PString ToBaseString() const;
  // "NULLKUID", "kuid u c" or "kuid2 u c v".
  Qel::String ToSpacedString() const;
  // "NULLKUID", "u:c" or "u:c:v".
  Qel::String ToColonString() const;

  // Never fails loudly: text that is not accepted gives the null KUID. Strict mode accepts only
  // the keyword forms with their exact shape; lenient mode also reads bare numbers.
  static KUID Parse(const char* text, bool strict);
};

inline constexpr KUID kNullKUID{};

template <>
struct std::hash<KUID> {
  size_t operator()(const KUID& k) const noexcept {
    u64 h = (u64(u32(k.userId)) << 32) | u32(k.contentId);
    h ^= u64(u32(k.version)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return size_t(h);
  }
};
