// The emitter's bytes and depth count, its labels and fix-ups, the function record, and every
// opcode of the table written and read back by the disassembler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gscommon/disassembler.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gsc_function.h"

namespace {

using GSByteCode::Opcode;
using GSCompiler::CodeEmitter;

std::vector<u8> Bytes(const CodeEmitter& e) {
  return {e.Code().Data(), e.Code().Data() + e.Code().Size()};
}

class CodeEmitterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_.Reset(nullptr, &log_);
    unit_.fileName = "u.gs";
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    while (const char* m = log_.Take()) out.push_back(m);
    return out;
  }
  GSCompileLog log_;
  UnitRecord unit_;
  CodeEmitter e_;
};

TEST_F(CodeEmitterTest, WritesTheEncodingsAndCountsTheDepth) {
  e_.EmitIndex(Opcode::kLoad, 1);
  e_.Emit(Opcode::kJmp, 16u);
  e_.EmitCall(Opcode::kCall, -2, 5);
  EXPECT_EQ(Bytes(e_), (std::vector<u8>{0x1F, 0x01, 0x00, 0x2B, 0x10, 0x00, 0x00, 0x00, 0x5E, 0xFE,
                                        0xFF, 0x05, 0x00}));

  CodeEmitter sum;
  sum.Emit(Opcode::kPushc, 1u);
  sum.EmitFloat(2.0f);
  sum.Emit(Opcode::kAdd);
  sum.Emit(Opcode::kRetv);
  EXPECT_EQ(std::pair(sum.MaxDepth(), sum.Depth()), std::pair(2, 0));
  EXPECT_EQ(Bytes(sum)[5], 0x1E);
  EXPECT_EQ(Bytes(sum)[9], 0x40) << "the float's bits, little-endian";
}

TEST_F(CodeEmitterTest, CountsCallsAndOnTargetsThroughAdjustments) {
  // me, two arguments, the call leaves one result; then a wait whose target receives a message.
  e_.Emit(Opcode::kPush0);
  e_.Emit(Opcode::kPush1);
  e_.Emit(Opcode::kPush1);
  e_.EmitCall(Opcode::kCall, -2, 0);
  e_.AdjustDepth(-2);
  e_.Emit(Opcode::kPop);
  const i32 on = e_.NewLabel();
  e_.Emit(Opcode::kWait);
  e_.WriteI16(1);
  e_.WriteU16(1);
  e_.WriteU16(2);
  e_.AddFixup(on, e_.Offset(), "no matching label", 1);
  e_.WriteU32(0);
  EXPECT_TRUE(e_.DefineMessageTarget(on));
  e_.Emit(Opcode::kPopr);
  EXPECT_EQ(e_.ResolveFixups(&unit_), 0);
  EXPECT_EQ(std::pair(e_.MaxDepth(), e_.Depth()), std::pair(3, 0));
}

TEST_F(CodeEmitterTest, PatchesLabelsBothWaysAndReportsTheUndefined) {
  const i32 loop = e_.NewLabel();
  const i32 out = e_.LabelFor(&e_);
  EXPECT_EQ(e_.LabelFor(&e_), out);
  EXPECT_TRUE(e_.DefineLabelHere(loop));
  EXPECT_FALSE(e_.DefineLabel(loop, 3)) << "defined once";
  EXPECT_FALSE(e_.DefineLabel(99, 3));
  e_.EmitJump(Opcode::kJz, out, "Break", 4);
  e_.EmitJump(Opcode::kJmp, loop, "Continue", 5);
  e_.EmitJump(Opcode::kJmp, e_.NewLabel(), "no matching label", 6);
  EXPECT_TRUE(e_.DefineLabelHere(out));
  e_.Emit(Opcode::kRet);
  EXPECT_EQ(e_.ResolveFixups(&unit_), 1);
  EXPECT_EQ(Messages(), std::vector<std::string>{"u.gs(6) : no matching label, line 6"});
  const std::string listing = GSByteCode::DisassembleCode(e_.Code().Data(), e_.Code().Size(), {});
  EXPECT_EQ(listing,
            "     0> JZ 15\n"
            "     5  JMP 0\n"
            "    10  JMP 0\n"
            "    15> RET\n");
  EXPECT_EQ(e_.Offset(), 16u) << "back at the end";
}

TEST_F(CodeEmitterTest, RefusesOperandsOutOfTheirRange) {
  e_.SetSourceLine(9);
  e_.EmitIndex(Opcode::kLoad, 65535);
  e_.EmitIndex(Opcode::kPushs, 65536);
  e_.EmitIndex(Opcode::kCalli, -32769);
  e_.EmitCall(Opcode::kCall, -2, -1);
  EXPECT_EQ(e_.ResolveFixups(&unit_), 3);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"u.gs(9) : operand out of range for PUSHS, line 9",
                                      "u.gs(9) : operand out of range for CALLI, line 9",
                                      "u.gs(9) : operand out of range for CALL, line 9"}));
}

// Every opcode, with operands that its layout takes, back from the disassembler in order.
TEST_F(CodeEmitterTest, EveryOpcodeReadsBackThroughTheTable) {
  std::string expected;
  i32 lineOf = 100;
  GSCompiler::GSCFunction f;
  f.InstallLineHook();
  for (u32 code = 0; code < GSByteCode::kOpcodeCount; ++code) {
    const Opcode op = static_cast<Opcode>(code);
    const GSByteCode::OpcodeInfo& info = GSByteCode::InfoOf(op);
    CodeEmitter& e = f.emitter;
    f.SetLine(lineOf + static_cast<i32>(code / 10));
    const u32 offset = e.Offset();
    if (code % 10 == 0) expected += "; line " + std::to_string(f.currentLine) + "\n";
    char head[16];
    std::snprintf(head, sizeof head, "%6u%c ", offset, offset == 0 ? '>' : ' ');
    expected += head;
    expected += info.name;
    const i32 n = static_cast<i32>(code);
    switch (info.operands) {
      case GSByteCode::OperandLayout::kNone:
        e.Emit(op);
        break;
      case GSByteCode::OperandLayout::kI32:
        e.Emit(op, static_cast<u32>(-n));
        expected += " " + std::to_string(-n);
        break;
      case GSByteCode::OperandLayout::kTarget:
        e.Emit(op, 0u);
        expected += " 0";
        break;
      case GSByteCode::OperandLayout::kU16:
      case GSByteCode::OperandLayout::kSlot:
        e.EmitIndex(op, n);
        expected += " " + std::to_string(n);
        break;
      case GSByteCode::OperandLayout::kCall:
        e.EmitCall(op, -n, n);
        expected += " " + std::to_string(-n) + "," + std::to_string(n);
        break;
      case GSByteCode::OperandLayout::kWait:
        e.Emit(op);
        e.WriteI16(1);
        e.WriteU16(3);
        e.WriteU16(4);
        e.WriteU32(0);
        expected += " 1 {3/4:0}";
        break;
      case GSByteCode::OperandLayout::kSwitch:
        e.Emit(op);
        e.WriteU16(2);
        e.WriteU32(static_cast<u32>(-1));
        e.WriteU32(7);
        e.WriteU32(0);
        e.WriteU32(0);
        e.WriteU32(0);
        expected += " 2 {-1:0 7:0} 0";
        break;
    }
    expected += "\n";
    EXPECT_EQ(GSByteCode::InstructionLength(e.Code().Data(), e.Code().Size(), offset),
              e.Offset() - offset)
        << info.name;
  }
  EXPECT_EQ(GSByteCode::FindOpcode(116), nullptr);
  const CodeEmitter& e = f.emitter;
  EXPECT_EQ(GSByteCode::DisassembleCode(e.Code().Data(), e.Code().Size(), f.lines), expected);
}

TEST_F(CodeEmitterTest, FunctionRecordReadsBackAndUnbalancedCodeIsRefused) {
  GSCompiler::GSCFunction f;
  f.InstallLineHook();
  f.SetLine(3);
  f.emitter.EmitIndex(Opcode::kLoad, 1);
  f.SetLine(4);
  f.emitter.Emit(Opcode::kRetv);
  f.referenceSlots = {2};
  Utils::ByteBuffer image;
  image.WriteU8(0);  // the record starts off the word grid of its image
  const GSCompiler::FunctionRecordInfo info{7, 2, -1, 0x1FF, 0x10001, 2, 1, true};
  ASSERT_TRUE(GSCompiler::WriteFunctionRecord(f, info, image));
  GSByteCode::FunctionRecord r;
  ASSERT_TRUE(GSByteCode::ReadFunctionRecord(image.Data() + 1, image.Size() - 1, 1, &r));
  EXPECT_EQ(r.recordLength, image.Size() - 1);
  // The slot is 16 bits, sign-extended.
  EXPECT_EQ((std::vector<i64>{r.header.flags, r.header.slot, r.header.localsOffset,
                              r.header.frameWords, r.header.headerOffset, r.codeLength}),
            (std::vector<i64>{0x3B, 1, -2, 1 + 1 + 4, 2, 4}));
  EXPECT_EQ(r.referenceSlots, std::vector<u32>{2});
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(std::pair(r.lines[1].offset, r.lines[1].line), std::pair(3u, 4u));
  EXPECT_EQ((1 + 4 + 4 * 15 + 4 + 4 + r.codeLength) % 4, 1u) << "so the padding is three bytes";
  for (u32 cut = 8; cut < r.recordLength; cut += 5) {
    EXPECT_FALSE(GSByteCode::ReadFunctionRecord(image.Data() + 1, cut, 1, &r)) << cut;
  }

  f.emitter.Emit(Opcode::kPush0);
  EXPECT_FALSE(GSCompiler::WriteFunctionRecord(f, info, image));
}

}  // namespace
