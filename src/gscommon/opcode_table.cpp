#include "gscommon/opcode_table.h"

#include <iterator>

#include "platform/byte_order.h"

namespace GSByteCode {

namespace {

using L = OperandLayout;

constexpr OpcodeInfo kOpcodes[] = {
#define GS_OPCODE_INFO(name, number, mnemonic, operands, effect, inputs) \
  {mnemonic, L::operands, effect, inputs},
    GS_OPCODE_LIST(GS_OPCODE_INFO)
#undef GS_OPCODE_INFO
};
static_assert(std::size(kOpcodes) == kOpcodeCount);

// The list's numbers run from 0 in steps of one, so an entry's number is its place here.
constexpr u32 kOpcodeNumbers[] = {
#define GS_OPCODE_NUMBER(name, number, mnemonic, operands, effect, inputs) number,
    GS_OPCODE_LIST(GS_OPCODE_NUMBER)
#undef GS_OPCODE_NUMBER
};
constexpr bool NumbersAreConsecutive() {
  for (u32 i = 0; i < kOpcodeCount; ++i) {
    if (kOpcodeNumbers[i] != i) return false;
  }
  return true;
}
static_assert(NumbersAreConsecutive(), "opcode numbers must run 0, 1, 2... in list order");
static_assert(kOpcodeCount <= 256);

}  // namespace

const OpcodeInfo* FindOpcode(u8 opcode) {
  return opcode < kOpcodeCount ? &kOpcodes[opcode] : nullptr;
}

u32 InstructionLength(const u8* code, u32 length, u32 offset) {
  if (offset >= length) return 0;
  const OpcodeInfo* info = FindOpcode(code[offset]);
  if (info == nullptr) return 0;
  const u32 left = length - offset - 1;
  u64 size = 0;
  switch (info->operands) {
    case L::kSwitch:
      if (left < 2) return 0;
      size = 2 + u64(ByteOrder::LoadLE16(code + offset + 1)) * 8 + 4;
      break;
    case L::kWait: {
      if (left < 2) return 0;
      // A negative count is malformed; it must not wrap into a large one.
      const i16 n = static_cast<i16>(ByteOrder::LoadLE16(code + offset + 1));
      if (n < 0) return 0;
      size = 2 + u64(n) * 8;
      break;
    }
    default:
      size = u64(FixedOperandBytes(info->operands));
      break;
  }
  return size <= left ? static_cast<u32>(size + 1) : 0;
}

}  // namespace GSByteCode
