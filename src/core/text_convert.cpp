#include "core/text_convert.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "qel/code_page.h"

namespace {

constexpr u32 kUtf8CodePage = 65001;

// Trailing bytes announced by a lead byte: 0 for ASCII and stray continuation bytes.
constexpr u8 TrailingBytes(u8 lead) {
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 1;
  if (lead < 0xF0) return 2;
  if (lead < 0xF8) return 3;
  return lead < 0xFC ? 4 : 5;
}

// What the lead and continuation marker bits add up to, per trailing count.
constexpr u32 kUtf8Offsets[4] = {0x00000000u, 0x00003080u, 0x000E2080u, 0x03C82080u};

}  // namespace

int ConvertCodePage(char* text, int size, u32 fromCodePage, u32 toCodePage) {
  if (text == nullptr || size < 0) return -1;
  if (size != 0 && std::memchr(text, '\0', size_t(size)) == nullptr) {
    text[0] = '\0';
    return -1;
  }
  std::string converted;
  if (!Qel::ConvertCodePage(text, fromCodePage, toCodePage, &converted)) {
    for (char* p = text; *p != '\0'; ++p) {
      if (u8(*p) >= 0x80) *p = '?';
    }
    return -1;
  }
  const size_t needed = converted.size() + 1;
  if (needed > size_t(size)) return int(needed);
  std::memcpy(text, converted.c_str(), needed);
  return 0;
}

int ConvertFromUtf8(char* text, int size, u32 toCodePage) {
  return ConvertCodePage(text, size, kUtf8CodePage, toCodePage);
}

int ConvertToUtf8(char* text, int size) {
  return ConvertCodePage(text, size, Qel::kCodePageAnsi, kUtf8CodePage);
}

u32 DecodeUtf8Char(std::string_view bytes, u32* outLength) {
  u32 length = 0;
  u32 codePoint = 0;
  if (!bytes.empty()) {
    const u8 lead = u8(bytes[0]);
    const u32 trailing = TrailingBytes(lead);
    length = 1;
    if (trailing > 3) {
      codePoint = kInvalidCodePoint;
    } else {
      codePoint = lead;
      for (; length <= trailing; ++length) {
        const u8 next = length < bytes.size() ? u8(bytes[length]) : 0;
        if ((next & 0xC0) != 0x80) break;
        codePoint = (codePoint << 6) + next;
      }
      codePoint = length <= trailing ? kInvalidCodePoint : codePoint - kUtf8Offsets[trailing];
    }
  }
  if (outLength != nullptr) *outLength = length;
  return codePoint;
}

u32 DecodeUtf8Char(const char* bytes, u32* outLength) {
  if (bytes == nullptr) return DecodeUtf8Char(std::string_view(), outLength);
  // Looks no further than the sequence can reach, and never past the NUL.
  return DecodeUtf8Char(std::string_view(bytes, strnlen(bytes, 4)), outLength);
}

namespace {

bool IsControl(u32 codePoint) {
  return (codePoint < 0x20 && codePoint != '\t') || (codePoint >= 0x7F && codePoint <= 0x9F) ||
         codePoint == 0x2028 || codePoint == 0x2029;
}

// Whether the sequence DecodeUtf8Char read is well-formed UTF-8: a lone continuation byte, an
// overlong form, a surrogate or a code point beyond U+10FFFF is not, so none of its bytes can
// pass for a character it does not encode.
bool IsWellFormed(std::string_view bytes, u32 codePoint, u32 length) {
  constexpr u32 kShortest[4] = {0, 0x80, 0x800, 0x10000};
  if (length == 1) return u8(bytes[0]) < 0x80;
  if (codePoint == kInvalidCodePoint) return bytes.substr(0, length) == "\xEF\xBF\xBD";
  return codePoint >= kShortest[length - 1] && codePoint <= 0x10FFFF &&
         (codePoint < 0xD800 || codePoint > 0xDFFF);
}

void AppendEscape(std::string& out, const char* form, u32 value) {
  char text[8];
  std::snprintf(text, sizeof text, form, value);
  out += text;
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    u32 length = 0;
    const u32 codePoint = DecodeUtf8Char(text, &length);
    const u8 lead = u8(text[0]);
    if (lead == '\r' || lead == '\n') {
      out += "\\n";
      const char pair = lead == '\r' ? '\n' : '\r';
      length = text.size() > 1 && text[1] == pair ? 2 : 1;
    } else if (!IsWellFormed(text, codePoint, length)) {
      // A stray byte: a terminal set to a single-byte code page would obey 0x80-0x9F.
      AppendEscape(out, "\\x%02x", lead);
      length = 1;
    } else if (IsControl(codePoint)) {
      AppendEscape(out, codePoint < 0x80 ? "\\x%02x" : "\\u%04x", codePoint);
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}
