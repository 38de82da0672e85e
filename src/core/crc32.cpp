#include "core/crc32.h"

#include <array>

namespace {

constexpr std::array<u32, 256> MakeTable() {
  std::array<u32, 256> table{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<u32, 256> kTable = MakeTable();

u32 Step(u32 crc, u8 byte) { return kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

}  // namespace

u32 Crc32(const u8* data, u32 length) {
  if (!data) return 0;
  u32 crc = 0xFFFFFFFFu;
  for (u32 i = 0; i < length; ++i) crc = Step(crc, data[i]);
  return ~crc;
}

u32 Crc32LowerCaseString(const char* text) {
  if (!text) return 0;
  u32 crc = 0xFFFFFFFFu;
  for (; *text; ++text) {
    u8 c = u8(*text);
    if (c >= 'A' && c <= 'Z') c = u8(c - 'A' + 'a');
    crc = Step(crc, c);
  }
  return ~crc;
}
