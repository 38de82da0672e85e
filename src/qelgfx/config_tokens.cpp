#include "qelgfx/config_tokens.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace Qel {

bool ParseConfigFloat(const std::string& token, f32& value) {
  char* end = nullptr;
  errno = 0;
  const f32 parsed = std::strtof(token.c_str(), &end);
  if (end == token.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(parsed)) {
    return false;
  }
  value = parsed;
  return true;
}

bool ParseConfigU32(const std::string& token, u32& value) {
  if (token.empty() || token[0] == '-' || token[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  // A leading zero does not make a count octal.
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const unsigned long long parsed = std::strtoull(token.c_str(), &end, hex ? 16 : 10);
  if (*end != '\0' || errno == ERANGE || parsed > 0xFFFFFFFFull) return false;
  value = u32(parsed);
  return true;
}

}  // namespace Qel
