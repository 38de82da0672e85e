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
  return u64(h.argumentWords) + h.localWordsFirst + h.localWordsSecond;
}

namespace {

bool IsCall(Opcode op) {
  return op == Opcode::kCall || op == Opcode::kCalln || op == Opcode::kCallt ||
         op == Opcode::kCalli;
}

// The abstract walk: the operand depth at each instruction start, over every path from the
// entry and from each wait's message targets. Every instruction's targets are known to be
// instruction starts by now.
//
// A call names a method-table slot, and what it leaves depends on the function found there at
// run time; the library often cannot tell whether that one returns a value. Such a call is
// walked both ways, the likelier first (a result when the next instruction reads a word),
// going back when a way fails; the interpreter then holds each call to the way that passed.
class DepthWalk {
 public:
  DepthWalk(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
            std::string* error)
      : f_(function),
        limits_(limits),
        error_(error),
        depth_(function.codeLength, -1),
        result_(function.codeLength, -1) {
    const GSByteCode::FunctionRecordHeader& h = function.header;
    maxDepth_ = i64(h.frameWords) - i64(h.localWordsFirst) - h.localWordsSecond -
                GSByteCode::kFrameHeaderWords;
    // Going back is bounded: code that needs more tries than this is refused.
    budget_ = u64(function.codeLength) * 16 + 4096;
  }

  bool Run(CallResultBits* results) {
    if (f_.codeLength == 0) {
      if (results != nullptr) results->clear();
      return true;
    }
    if (maxDepth_ < 0) return Fail(0, "frame smaller than its locals");
    if (!Reach(0, 0, 0) || !Walk()) return false;
    if (results != nullptr) {
      results->assign((f_.codeLength + 7) / 8, 0);
      for (u32 i = 0; i < f_.codeLength; ++i) {
        if (result_[i] > 0) (*results)[i / 8] |= u8(1u << (i % 8));
      }
    }
    return true;
  }

 private:
  bool Fail(u32 offset, const char* what) { return GSRuntime::Fail(error_, offset, what); }

  bool Reach(u32 from, u32 target, i64 depth) {
    if (depth > maxDepth_) return Fail(from, "stack deeper than the frame allows");
    if (target >= f_.codeLength) return Fail(from, "code runs past its end");
    if (depth_[target] < 0) {
      depth_[target] = static_cast<i32>(depth);
      trail_.push_back(target);
      pending_.push_back(target);
    } else if (depth_[target] != depth) {
      return Fail(target, "stack depths differ where paths meet");
    }
    return true;
  }

  // What the call at `offset` leaves: 0 or 1 word, or -1 when that cannot be told.
  i32 CallResult(Opcode op, u32 method, u32 argumentWords) const {
    if (op == Opcode::kCallt) return 0;  // a thread is started; nothing comes back
    // An inherited call runs the base version of this very function.
    if (op == Opcode::kCalli) return f_.header.returnType != 0 ? 1 : 0;
    if (limits_.callResult == nullptr) return -1;
    return limits_.callResult(limits_.callContext, method, argumentWords);
  }

  bool Walk() {
    while (!pending_.empty()) {
      const u32 offset = pending_.back();
      pending_.pop_back();
      if (++steps_ > budget_) return Fail(offset, "call results cannot be told");
      const Opcode op = static_cast<Opcode>(f_.code[offset]);
      if (!IsCall(op)) {
        if (!Step(offset, op, 0)) return false;
        continue;
      }
      const u8* operands = f_.code + offset + 1;
      const u32 argumentWords = u32(1 - i32(i16(ByteOrder::LoadLE16(operands))));
      const i32 known = CallResult(op, ByteOrder::LoadLE16(operands + 2), argumentWords);
      if (known >= 0) {
        if (!Step(offset, op, known)) return false;
        continue;
      }
      return Branch(offset, op);
    }
    return true;
  }

  // Walks the rest both ways from the undecided call at `offset`.
  bool Branch(u32 offset, Opcode op) {
    const u32 next = offset + GSByteCode::InstructionLength(f_.code, f_.codeLength, offset);
    const GSByteCode::OpcodeInfo* after =
        next < f_.codeLength ? GSByteCode::FindOpcode(f_.code[next]) : nullptr;
    const i32 first = after != nullptr && after->stackInputs > 0 ? 1 : 0;
    const size_t mark = trail_.size();
    const std::vector<u32> pending = pending_;
    std::string firstError;
    for (const i32 result : {first, 1 - first}) {
      if (Step(offset, op, result) && Walk()) return true;
      if (steps_ > budget_) return false;
      if (result == first && error_ != nullptr) firstError = *error_;
      for (size_t i = mark; i < trail_.size(); ++i) {
        depth_[trail_[i]] = -1;
        result_[trail_[i]] = -1;
      }
      trail_.resize(mark);
      result_[offset] = -1;
      pending_ = pending;
    }
    if (error_ != nullptr) *error_ = firstError;
    return false;
  }

  // The instruction at `offset`, a call leaving `result` words.
  bool Step(u32 offset, Opcode op, i32 result) {
    const u8* code = f_.code;
    const GSByteCode::OpcodeInfo& info = *GSByteCode::FindOpcode(code[offset]);
    const u32 size = GSByteCode::InstructionLength(code, f_.codeLength, offset);
    const u8* operands = code + offset + 1;
    const i64 depth = depth_[offset];
    i64 needs = info.stackInputs;
    i64 after = depth + info.stackEffect;
    if (IsCall(op)) {
      const u32 argumentWords = u32(1 - i32(i16(ByteOrder::LoadLE16(operands))));
      result_[offset] = static_cast<i8>(result);
      needs = argumentWords;
      after = depth - argumentWords + result;
    }
    if (depth < needs) return Fail(offset, "stack underflow");
    switch (op) {
      case Opcode::kRet:
        if (f_.header.returnType != 0) return Fail(offset, "return without its value");
        if (depth != 0) return Fail(offset, "unbalanced return");
        return true;
      case Opcode::kRetv:
      case Opcode::kRetvr:
        if (f_.header.returnType == 0) return Fail(offset, "value returned from a void function");
        if (depth != 1) return Fail(offset, "unbalanced return");
        return true;
      case Opcode::kJmp:
        return Reach(offset, ByteOrder::LoadLE32(operands), after);
      case Opcode::kSwitch: {
        const u32 n = ByteOrder::LoadLE16(operands);
        const u8* list = operands + 2 + n * 4;
        for (u32 i = 0; i <= n; ++i) {
          if (!Reach(offset, ByteOrder::LoadLE32(list + i * 4), after)) return false;
        }
        return true;
      }
      case Opcode::kWait: {
        // The thread resumes only at a target, with the message pushed.
        const u32 n = ByteOrder::LoadLE16(operands);
        for (u32 i = 0; i < n; ++i) {
          if (!Reach(offset, ByteOrder::LoadLE32(operands + 2 + n * 4 + i * 4), after + 1)) {
            return false;
          }
        }
        return true;
      }
      default:
        break;
    }
    if (info.operands == OperandLayout::kTarget &&
        !Reach(offset, ByteOrder::LoadLE32(operands), after)) {
      return false;
    }
    return Reach(offset, offset + size, after);
  }

  const GSByteCode::FunctionRecord& f_;
  const VerifierLimits& limits_;
  std::string* error_;
  std::vector<i32> depth_;
  std::vector<i8> result_;  // per call site: the words it was walked as leaving
  std::vector<u32> pending_;
  std::vector<u32> trail_;  // offsets given a depth, in order, to go back over
  i64 maxDepth_ = 0;
  u64 steps_ = 0;
  u64 budget_ = 0;
};

}  // namespace

bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error, CallResultBits* results) {
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
  return DepthWalk(function, limits, error).Run(results);
}

}  // namespace GSRuntime
