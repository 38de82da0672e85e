#include "gscompiler/gs_literal.h"

#include <bit>
#include <charconv>
#include <limits>

namespace GSCompiler {

namespace {

constexpr u32 kMaxLiteralValue = 0x7FFFFFFF;

bool IsQuote(char c) { return c == '"' || c == '\''; }

char EscapedChar(char c) {
  switch (c) {
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    case 'r':
      return '\r';
    case 'f':
      return '\f';
    case 'b':
      return '\b';
    case 'a':
      return '\a';
    case '0':
      return '\0';
    default:  // backslash, quotes and every other character stand for themselves
      return c;
  }
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The leading digits of the base, up to the first other character.
u32 ConvertDigits(std::string_view digits, int base, bool& beyond) {
  // Wide enough that one more digit after a value at the limit cannot wrap back below it.
  u64 value = 0;
  beyond = false;
  for (char c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0 || digit >= base) break;
    value = value * u64(base) + u64(digit);
    if (value > kMaxLiteralValue) {
      beyond = true;
      return kMaxLiteralValue;
    }
  }
  return u32(value);
}

}  // namespace

std::string UnquoteLiteral(std::string_view token, bool resolveEscapes) {
  if (!token.empty() && IsQuote(token.back())) token.remove_suffix(1);
  if (!token.empty() && token.front() == 'L') token.remove_prefix(1);
  if (token.empty() || !IsQuote(token.front())) return std::string();
  token.remove_prefix(1);
  if (!resolveEscapes) return std::string(token);

  std::string text;
  text.reserve(token.size());
  for (size_t i = 0; i < token.size(); ++i) {
    char c = token[i];
    if (c == '\\' && i + 1 < token.size()) c = EscapedChar(token[++i]);
    if (c == '\0') break;
    text.push_back(c);
  }
  return text;
}

u32 ConvertIntLiteral(std::string_view token, bool& beyond) {
  return ConvertDigits(token, 10, beyond);
}

u32 ConvertHexLiteral(std::string_view token, bool& beyond) {
  if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    token.remove_prefix(2);
  }
  return ConvertDigits(token, 16, beyond);
}

u32 ConvertFloatLiteral(std::string_view token) {
  if (!token.empty() && token.back() == 'f') token.remove_suffix(1);
  double number = 0.0;
  const auto result = std::from_chars(token.data(), token.data() + token.size(), number);
  if (result.ec == std::errc::result_out_of_range) {
    // Out of range with a non-zero whole part is too large; otherwise too small.
    const size_t point = token.find('.');
    const bool large = token.substr(0, point).find_first_not_of('0') != std::string_view::npos;
    number = large ? std::numeric_limits<double>::infinity() : 0.0;
  }
  float value;
  if (number > std::numeric_limits<float>::max()) {
    // Rounds as the conversion rounds, without leaving the float range undefined.
    value = number < 0x1.ffffffp127 ? std::numeric_limits<float>::max()
                                    : std::numeric_limits<float>::infinity();
  } else {
    value = float(number);
  }
  return std::bit_cast<u32>(value);
}

u32 ConvertCharLiteral(std::string_view token) {
  const std::string text = UnquoteLiteral(token, true);
  if (text.empty()) return 0;
  return u32(i32(i8(text[0])));
}

}  // namespace GSCompiler
