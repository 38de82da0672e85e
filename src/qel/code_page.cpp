#include "qel/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <bit>
#include <cstring>

namespace Qel {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr const char* kUtf16Native =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// Bytes that Windows-1252 leaves unassigned; the converter refuses them, Windows does not.
bool IsUnassigned1252(u32 c) {
  return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

// iconv descriptors carry shift state, so each thread keeps its own pair.
class Cp1252Converters {
 public:
  ~Cp1252Converters() {
    // Left reopenable for a conversion made later during the thread's exit.
    if (decode_ != kNone) iconv_close(decode_);
    if (encode_ != kNone) iconv_close(encode_);
    decode_ = encode_ = kNone;
  }
  iconv_t Decoder() { return Open(&decode_, kUtf16Native, "CP1252"); }
  iconv_t Encoder() { return Open(&encode_, "CP1252", kUtf16Native); }

 private:
  static inline const iconv_t kNone = iconv_t(-1);
  static iconv_t Open(iconv_t* slot, const char* to, const char* from) {
    if (*slot == kNone) *slot = iconv_open(to, from);
    if (*slot != kNone) iconv(*slot, nullptr, nullptr, nullptr, nullptr);
    return *slot;
  }
  iconv_t decode_ = kNone;
  iconv_t encode_ = kNone;
};

thread_local Cp1252Converters t_converters;

bool Decode1252(std::string_view in, std::u16string* out) {
  iconv_t cd = t_converters.Decoder();
  if (cd == iconv_t(-1)) return false;
  out->reserve(in.size());
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char16_t chunk[512];
    char* dst = reinterpret_cast<char*>(chunk);
    size_t dstLeft = sizeof chunk;
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    out->append(chunk, (sizeof chunk - dstLeft) / sizeof(char16_t));
    if (r != size_t(-1)) break;
    if (err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    const u8 b = u8(*src);
    out->push_back(IsUnassigned1252(b) ? char16_t(b) : kReplacement);
    ++src;
    --srcLeft;
  }
  return true;
}

bool Encode1252(std::u16string_view in, std::string* out) {
  iconv_t cd = t_converters.Encoder();
  if (cd == iconv_t(-1)) return false;
  out->reserve(in.size());
  const char* base = reinterpret_cast<const char*>(in.data());
  char* src = const_cast<char*>(base);
  size_t srcLeft = in.size() * sizeof(char16_t);
  while (srcLeft > 0) {
    char chunk[512];
    char* dst = chunk;
    size_t dstLeft = sizeof chunk;
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    out->append(chunk, sizeof chunk - dstLeft);
    if (r != size_t(-1)) break;
    if (err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    // The converter stops on whole code units, at the unit it could not take.
    const size_t pos = size_t(src - base) / sizeof(char16_t);
    const char16_t c = in[pos];
    size_t skip = 1;
    if (IsUnassigned1252(c)) {
      out->push_back(char(c));
    } else {
      if (c >= 0xD800 && c <= 0xDBFF && pos + 1 < in.size() && in[pos + 1] >= 0xDC00 &&
          in[pos + 1] <= 0xDFFF) {
        skip = 2;
      }
      out->push_back('?');
    }
    src += skip * sizeof(char16_t);
    srcLeft -= skip * sizeof(char16_t);
  }
  return true;
}

bool IsContinuation(u8 b) { return (b & 0xC0) == 0x80; }

}  // namespace

u32 ResolveCodePage(u32 codePage) { return codePage == kCodePageAnsi ? kCodePage1252 : codePage; }

bool IsSupportedCodePage(u32 codePage) {
  const u32 cp = ResolveCodePage(codePage);
  return cp == kCodePage1252 || cp == kCodePageUtf8;
}

std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  const auto* p = reinterpret_cast<const u8*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const u8 lead = p[i];
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // Trailing count and the allowed range of the first trailing byte, which rules out
    // overlong forms, surrogates and values above U+10FFFF.
    size_t trail;
    u8 lo = 0x80, hi = 0xBF;
    u32 cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k <= trail && i + k < n; ++k) {
      const u8 b = p[i + k];
      if (k == 1 ? (b < lo || b > hi) : !IsContinuation(b)) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k <= trail) {
      // Broken or cut short: one replacement for the lead and the trailing bytes it took.
      out.push_back(kReplacement);
      i += k;
      continue;
    }
    i += k;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    u32 cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
        ++i;
      } else {
        cp = kReplacement;
      }
    }
    if (cp < 0x80) {
      out.push_back(char(cp));
    } else if (cp < 0x800) {
      out.push_back(char(0xC0 | (cp >> 6)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(char(0xE0 | (cp >> 12)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (cp >> 18)));
      out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

bool MultiByteToUtf16(std::string_view in, u32 codePage, std::u16string* out) {
  out->clear();
  switch (ResolveCodePage(codePage)) {
    case kCodePageUtf8:
      *out = Utf8ToUtf16(in);
      return true;
    case kCodePage1252:
      if (Decode1252(in, out)) return true;
      out->clear();
      return false;
    default:
      return false;
  }
}

bool Utf16ToMultiByte(std::u16string_view in, u32 codePage, std::string* out) {
  out->clear();
  switch (ResolveCodePage(codePage)) {
    case kCodePageUtf8:
      *out = Utf16ToUtf8(in);
      return true;
    case kCodePage1252:
      if (Encode1252(in, out)) return true;
      out->clear();
      return false;
    default:
      return false;
  }
}

bool ConvertCodePage(std::string_view in, u32 fromCodePage, u32 toCodePage, std::string* out) {
  const u32 from = ResolveCodePage(fromCodePage);
  const u32 to = ResolveCodePage(toCodePage);
  if (!IsSupportedCodePage(from) || !IsSupportedCodePage(to)) {
    out->clear();
    return false;
  }
  if (from == to) {
    out->assign(in);
    return true;
  }
  std::u16string wide;
  return MultiByteToUtf16(in, from, &wide) && Utf16ToMultiByte(wide, to, out);
}

}  // namespace Qel
