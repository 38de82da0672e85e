#include "core/kuid.h"

#include <charconv>
#include <cstdio>
#include <string_view>

#include "core/stream.h"
#include "platform/ascii_text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

enum class Scan { kRead, kNone, kOverflow };

// Optional blanks, an optional sign, then at least one digit. The value must fit an i32: a
// number beyond it is reported rather than wrapped.
Scan ScanDecimal(const char*& p, i32& out) {
  const char* q = p;
  while (IsBlank(*q)) ++q;
  bool negative = false;
  if (*q == '-' || *q == '+') negative = *q++ == '-';
  if (!IsAsciiDigit(*q)) return Scan::kNone;
  const i64 limit = negative ? i64(1) << 31 : (i64(1) << 31) - 1;
  i64 value = 0;
  for (; IsAsciiDigit(*q); ++q) {
    value = value * 10 + (*q - '0');
    if (value > limit) return Scan::kOverflow;
  }
  out = i32(negative ? -value : value);
  p = q;
  return Scan::kRead;
}

// Reads up to `count` decimals separated by ':'; fields that cannot be read keep their value.
// False when a number is out of range.
bool ScanFields(const char* p, i32* const fields[], int count) {
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (*p != ':') return true;
      ++p;
    }
    Scan s = ScanDecimal(p, *fields[i]);
    if (s == Scan::kOverflow) return false;
    if (s == Scan::kNone) return true;
  }
  return true;
}

const char* SkipDigits(const char* p) {
  while (IsAsciiDigit(*p)) ++p;
  return p;
}

// Optional '-', then digits ("any number" when `allowEmpty`), ':', digits. Returns the position
// after the second run of digits, or null on a mismatch.
const char* MatchPair(const char* p, bool allowEmpty) {
  if (*p == '-') ++p;
  const char* q = SkipDigits(p);
  if (q == p && !allowEmpty) return nullptr;
  if (*q != ':') return nullptr;
  p = q + 1;
  q = SkipDigits(p);
  if (q == p && !allowEmpty) return nullptr;
  return q;
}

// digits ':' digits ':' digits '>'; no sign anywhere.
bool MatchTripleShape(const char* p) {
  for (int i = 0; i < 3; ++i) {
    const char* q = SkipDigits(p);
    if (q == p) return false;
    if (*q != (i < 2 ? ':' : '>')) return false;
    p = q + 1;
  }
  return true;
}

// Every character of [p, end) is a digit, '-' or ':', with exactly `colons` colons.
bool OnlyNumberChars(const char* p, const char* end, int colons) {
  int seen = 0;
  for (; p < end; ++p) {
    if (*p == ':') {
      ++seen;
    } else if (!IsAsciiDigit(*p) && *p != '-') {
      return false;
    }
  }
  return seen == colons;
}

KUID ReadPair(const char* p) {
  KUID k;
  i32* const fields[] = {&k.userId, &k.contentId};
  if (!ScanFields(p, fields, 2)) return KUID();
  k.version = k.userId < 0 ? KUID::kMaxVersion : 0;
  return k;
}

KUID ReadTriple(const char* p) {
  KUID k;
  i32* const fields[] = {&k.userId, &k.contentId, &k.version};
  if (!ScanFields(p, fields, 3)) return KUID();
  if (u32(k.userId) > u32(KUID::kMaxUserId)) return KUID();
  return k;
}

KUID ParseLenientNumbers(const char* text) {
  const char* end = text;
  while (*end) ++end;
  if (OnlyNumberChars(text, end, 1)) return ReadPair(text);
  if (*text == '<') {
    const char* body = text + 1;
    const char* bodyEnd = (end > body && end[-1] == '>') ? end - 1 : end;
    if (OnlyNumberChars(body, bodyEnd, 1)) return ReadPair(body);
  }
  if (end > text && OnlyNumberChars(text, end, 0)) {
    KUID k;
    const char* p = text;
    if (ScanDecimal(p, k.contentId) == Scan::kOverflow) return KUID();
    return k;
  }
  return KUID();
}

KUID ParseForms(const char* text, bool strict) {
  if (StartsWithIgnoreCase(text, "<kuid:")) {
    const char* p = text + 6;
    if (strict) {
      const char* q = MatchPair(p, true);
      if (!q || *q != '>') return KUID();
    }
    return ReadPair(p);
  }
  if (StartsWithIgnoreCase(text, "<kuid2:")) {
    const char* p = text + 7;
    if (strict && !MatchTripleShape(p)) return KUID();
    return ReadTriple(p);
  }
  if (StartsWithIgnoreCase(text, "kuid:")) {
    const char* p = text + 5;
    if (strict && !MatchPair(p, false)) return KUID();
    return ReadPair(p);
  }
  if (StartsWithIgnoreCase(text, "kuid2:")) {
    const char* p = text + 6;
    if (strict && !MatchPair(p, false)) return KUID();
    return ReadTriple(p);
  }
  if (strict) return KUID();
  return ParseLenientNumbers(text);
}

}  // namespace

KUID::Packed KUID::Pack(const KUID& kuid) {
  return Packed{(u32(kuid.version) << kUserIdBits) | (u32(kuid.userId) & kUserIdMask),
                u32(kuid.contentId)};
}

KUID KUID::Unpack(u32 word, u32 contentId) {
  u32 user = word & kUserIdMask;
  if (user & (1u << (kUserIdBits - 1))) user |= ~kUserIdMask;
  return KUID(i32(user), i32(contentId), i32(word >> kUserIdBits));
}

void KUID::Write(const KUID& kuid, TStream& stream) {
  Packed packed = Pack(kuid);
  stream.WriteU32(packed.contentId);
  stream.WriteU32(packed.word);
}

KUID KUID::Read(TStream& stream) {
  Packed null = Pack(KUID());
  u32 contentId = 0;
  u32 word = 0;
  stream.ReadU32(contentId, null.contentId);
  stream.ReadU32(word, null.word);
  return Unpack(word, contentId);
}

Qel::PString KUID::ToString() const {
  if (IsNull()) return Qel::PString("<NULL>");
  // Written piece by piece: configurations carry many KUIDs, and this runs for each of them.
  char buffer[64];
  char* at = buffer;
  const auto put = [&](std::string_view text) {
    text.copy(at, text.size());
    at += text.size();
  };
  const auto number = [&](i32 value) { at = std::to_chars(at, buffer + sizeof buffer, value).ptr; };
  put(IsShortForm() ? "<kuid:" : "<kuid2:");
  number(userId);
  put(":");
  number(contentId);
  if (!IsShortForm()) {
    put(":");
    number(version);
  }
  put(">");
  return Qel::PString(std::string_view(buffer, size_t(at - buffer)));
}

Qel::PString KUID::ToBaseString() const {
  if (IsNull()) return Qel::PString("<NULL>");
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "<kuid:%d:%d>", userId, contentId);
  return Qel::PString(buffer);
}

Qel::String KUID::ToSpacedString() const {
  if (IsNull()) return Qel::String("NULLKUID");
  if (IsShortForm()) return Qel::String::Format("kuid %d %d", userId, contentId);
  return Qel::String::Format("kuid2 %d %d %d", userId, contentId, version);
}

Qel::String KUID::ToColonString() const {
  if (IsNull()) return Qel::String("NULLKUID");
  if (IsShortForm()) return Qel::String::Format("%d%c%d", userId, ':', contentId);
  return Qel::String::Format("%d%c%d%c%d", userId, ':', contentId, ':', version);
}

KUID KUID::Parse(const char* text, bool strict) {
  if (!text) return KUID();
  if (StartsWithIgnoreCase(text, "<NULL>")) return KUID();
  KUID k = ParseForms(text, strict);
  return k.IsWellFormed() ? k : KUID();
}
