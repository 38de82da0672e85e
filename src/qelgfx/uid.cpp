#include "qelgfx/uid.h"

#include <cstring>

namespace Qel {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UId::UId(const char* text) {
  if (!text) return;
  size_t len = std::strlen(text);
  if (len == 38 && text[0] == '{' && text[37] == '}') {
    ++text;
    len = 36;
  }
  if (len != 36) return;
  u8 bytes[16];
  int n = 0;
  for (size_t i = 0; i < 36; ++i) {
    const bool dash = (i == 8 || i == 13 || i == 18 || i == 23);
    if (dash) {
      if (text[i] != '-') return;
      continue;
    }
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return;
    bytes[n++] = static_cast<u8>(hi << 4 | lo);
    ++i;
  }
  data1 = u32(bytes[0]) << 24 | u32(bytes[1]) << 16 | u32(bytes[2]) << 8 | bytes[3];
  data2 = static_cast<u16>(bytes[4] << 8 | bytes[5]);
  data3 = static_cast<u16>(bytes[6] << 8 | bytes[7]);
  std::memcpy(data4, bytes + 8, 8);
}

bool UId::IsNull() const { return *this == UId(); }

bool UId::operator==(const UId& o) const {
  return data1 == o.data1 && data2 == o.data2 && data3 == o.data3 &&
         std::memcmp(data4, o.data4, 8) == 0;
}

}  // namespace Qel
