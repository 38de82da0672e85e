#include "gsruntime/byte_code_verifier.h"

#include <cstdio>
#include <vector>

#include "gscommon/opcode_table.h"
#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;
using GSByteCode::OperandLayout;

bool Fail(std::string* error, u32 offset, const char* what) {
  if (error != nullptr) {
    char line[96];
    std::snprintf(line, sizeof line, "code offset %u: %s", offset, what);
    *error = line;
  }
  return false;
}

// What a u16 operand indexes.
enum class Index { kLocal, kString, kClass, kMeField, kObjectField, kNone };

Index IndexOf(Opcode op) {
  switch (op) {
    case Opcode::kLoad:
    case Opcode::kLoadr:
    case Opcode::kStore:
    case Opcode::kStorek:
    case Opcode::kStorer:
    case Opcode::kStorerk:
      return Index::kLocal;
    case Opcode::kPushs:
      return Index::kString;
    case Opcode::kIsclass:
    case Opcode::kNew:
    case Opcode::kStatic:
    case Opcode::kCast:
      return Index::kClass;
    case Opcode::kGetmf:
    case Opcode::kGetmfr:
    case Opcode::kSetmf:
    case Opcode::kSetmfr:
    case Opcode::kSetmfk:
    case Opcode::kSetmfrk:
      return Index::kMeField;
    case Opcode::kGetf:
    case Opcode::kGetfr:
    case Opcode::kSetf:
    case Opcode::kSetfk:
    case Opcode::kSetfr:
    case Opcode::kSetfrk:
      return Index::kObjectField;
    default:
      return Index::kNone;
  }
}

}  // namespace

u64 LocalSlotCount(const GSByteCode::FunctionRecordHeader& h) {
  return 1 + u64(h.argumentWords) + h.localWordsFirst + h.localWordsSecond;
}

bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error) {
  const u8* code = function.code;
  const u32 length = function.codeLength;
  const u64 locals = LocalSlotCount(function.header);
  const u32 frameWords = function.header.frameWords;
  // A bit per byte: set where an instruction starts. Targets are checked once all are known.
  std::vector<bool> starts(length, false);
  std::vector<std::pair<u32, u32>> targets;  // (instruction offset, target)
  u32 offset = 0;
  u32 last = 0;
  while (offset < length) {
    const u32 size = GSByteCode::InstructionLength(code, length, offset);
    if (size == 0) {
      return Fail(error, offset,
                  GSByteCode::FindOpcode(code[offset]) ? "operands past the code" : "bad opcode");
    }
    starts[offset] = true;
    const Opcode op = static_cast<Opcode>(code[offset]);
    const u8* operands = code + offset + 1;
    switch (GSByteCode::FindOpcode(code[offset])->operands) {
      case OperandLayout::kNone:
      case OperandLayout::kI32:
        break;
      case OperandLayout::kU16: {
        const u32 value = ByteOrder::LoadLE16(operands);
        switch (IndexOf(op)) {
          case Index::kLocal:
            if (value >= locals || value >= frameWords) return Fail(error, offset, "bad slot");
            break;
          case Index::kString:
            if (value >= limits.strings) return Fail(error, offset, "bad string index");
            break;
          case Index::kClass:
            if (value >= limits.classReferences) return Fail(error, offset, "bad class index");
            break;
          case Index::kMeField:
            if (value >= limits.memberWords) return Fail(error, offset, "bad field");
            break;
          case Index::kObjectField:
          case Index::kNone:
            break;
        }
        break;
      }
      case OperandLayout::kTarget:
        targets.emplace_back(offset, ByteOrder::LoadLE32(operands));
        break;
      case OperandLayout::kCall:
      case OperandLayout::kSlot: {
        // The object lies at or below the stack top, inside the frame's words.
        const i16 slot = static_cast<i16>(ByteOrder::LoadLE16(operands));
        if (slot > 0 || u32(-i32(slot)) >= frameWords) return Fail(error, offset, "bad call slot");
        if (op != Opcode::kCalli && ByteOrder::LoadLE16(operands + 2) >= limits.methods) {
          return Fail(error, offset, "bad method index");
        }
        break;
      }
      case OperandLayout::kSwitch: {
        const u32 n = ByteOrder::LoadLE16(operands);
        const u8* list = operands + 2 + n * 4;
        for (u32 i = 0; i <= n; ++i)
          targets.emplace_back(offset, ByteOrder::LoadLE32(list + i * 4));
        break;
      }
      case OperandLayout::kWait: {
        const u32 n = ByteOrder::LoadLE16(operands);
        for (u32 i = 0; i < n; ++i) {
          if (ByteOrder::LoadLE16(operands + 2 + i * 4) >= limits.strings ||
              ByteOrder::LoadLE16(operands + 4 + i * 4) >= limits.strings) {
            return Fail(error, offset, "bad message string");
          }
          targets.emplace_back(offset, ByteOrder::LoadLE32(operands + 2 + n * 4 + i * 4));
        }
        break;
      }
    }
    last = offset;
    offset += size;
  }
  // The interpreter reads no end marker: code must not run on past its last byte.
  if (length != 0) {
    const Opcode op = static_cast<Opcode>(code[last]);
    if (op != Opcode::kRet && op != Opcode::kRetv && op != Opcode::kRetvr && op != Opcode::kJmp &&
        op != Opcode::kSwitch) {
      return Fail(error, last, "code runs past its end");
    }
  }
  for (const auto& [from, target] : targets) {
    if (target >= length || !starts[target]) return Fail(error, from, "bad jump target");
  }
  return true;
}

}  // namespace GSRuntime
