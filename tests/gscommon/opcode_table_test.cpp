#include "gscommon/opcode_table.h"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <set>
#include <string>

namespace {

using GSByteCode::kOpcodeCount;
using GSByteCode::Opcode;
using GSByteCode::OperandLayout;

struct ListRow {
  Opcode opcode;
  u32 number;
  const char* enumerator;
  const char* mnemonic;
  OperandLayout operands;
  i32 effect;
  u32 inputs;
};

// The list as written, beside the enum and the entry table expanded from it. (The interpreter's
// dispatch table, the third expansion, is checked by the interpreter's tests.)
constexpr ListRow kList[] = {
#define LIST_ROW(name, number, mnemonic, operands, effect, inputs) \
  {Opcode::name, number, #name, mnemonic, OperandLayout::operands, effect, inputs},
    GS_OPCODE_LIST(LIST_ROW)
#undef LIST_ROW
};

// "kSetmfrk" -> "SETMFRK": the mnemonic is the enumerator's name.
std::string MnemonicOf(const char* enumerator) {
  std::string text(enumerator + 1);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(OpcodeTableTest, EnumAndEntriesAgreeWithTheList) {
  ASSERT_EQ(std::size(kList), kOpcodeCount);
  std::set<std::string> mnemonics;
  for (u32 i = 0; i < kOpcodeCount; ++i) {
    const ListRow& row = kList[i];
    SCOPED_TRACE(row.enumerator);
    EXPECT_EQ(static_cast<u32>(row.opcode), i);
    EXPECT_EQ(row.number, i);
    EXPECT_EQ(MnemonicOf(row.enumerator), row.mnemonic);
    EXPECT_TRUE(mnemonics.insert(row.mnemonic).second) << "mnemonic twice";
    const GSByteCode::OpcodeInfo* info = GSByteCode::FindOpcode(static_cast<u8>(i));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info, &GSByteCode::InfoOf(row.opcode));
    EXPECT_STREQ(info->name, row.mnemonic);
    EXPECT_EQ(info->operands, row.operands);
    EXPECT_EQ(info->stackEffect, row.effect);
    EXPECT_EQ(info->stackInputs, row.inputs);
    // A handler pops at most what it needs.
    EXPECT_GE(row.effect + static_cast<i32>(row.inputs), 0);
  }
  for (u32 b = kOpcodeCount; b < 256; ++b) EXPECT_EQ(GSByteCode::FindOpcode(u8(b)), nullptr) << b;
}

}  // namespace
