#include "core/crc32.h"

#include <array>

#include "platform/byte_order.h"

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

// Tables for eight bytes at a time: entry k of a byte is its CRC followed by k zero bytes.
constexpr std::array<std::array<u32, 256>, 8> MakeSliceTables() {
  std::array<std::array<u32, 256>, 8> tables{};
  tables[0] = kTable;
  for (u32 k = 1; k < 8; ++k) {
    for (u32 i = 0; i < 256; ++i) {
      tables[k][i] = (tables[k - 1][i] >> 8) ^ kTable[tables[k - 1][i] & 0xFF];
    }
  }
  return tables;
}

constexpr std::array<std::array<u32, 256>, 8> kSlices = MakeSliceTables();

u32 Step(u32 crc, u8 byte) { return kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

}  // namespace

u32 Crc32(const u8* data, u32 length) {
  if (!data) return 0;
  u32 crc = 0xFFFFFFFFu;
  // Whole source files pass through here, so eight bytes go at a time.
  for (; length >= 8; data += 8, length -= 8) {
    const u32 low = ByteOrder::LoadLE32(data) ^ crc;
    const u32 high = ByteOrder::LoadLE32(data + 4);
    crc = kSlices[7][low & 0xFF] ^ kSlices[6][(low >> 8) & 0xFF] ^ kSlices[5][(low >> 16) & 0xFF] ^
          kSlices[4][low >> 24] ^ kSlices[3][high & 0xFF] ^ kSlices[2][(high >> 8) & 0xFF] ^
          kSlices[1][(high >> 16) & 0xFF] ^ kSlices[0][high >> 24];
  }
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
