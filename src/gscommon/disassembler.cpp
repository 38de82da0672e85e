#include "gscommon/disassembler.h"

#include <cstdio>
#include <set>

#include "platform/byte_order.h"

namespace GSByteCode {

bool DecodeInstruction(const u8* code, u32 length, u32 offset, Instruction* out) {
  const u32 size = InstructionLength(code, length, offset);
  if (size == 0) return false;
  const u8* p = code + offset + 1;
  out->offset = offset;
  out->length = size;
  out->info = FindOpcode(code[offset]);
  out->first = out->second = 0;
  out->cases.clear();
  out->targets.clear();
  switch (out->info->operands) {
    case OperandLayout::kNone:
      break;
    case OperandLayout::kI32:
    case OperandLayout::kTarget:
      out->first = static_cast<i32>(ByteOrder::LoadLE32(p));
      break;
    case OperandLayout::kU16:
      out->first = ByteOrder::LoadLE16(p);
      break;
    case OperandLayout::kSlot:
      out->first = static_cast<i16>(ByteOrder::LoadLE16(p));
      break;
    case OperandLayout::kCall:
      out->first = static_cast<i16>(ByteOrder::LoadLE16(p));
      out->second = ByteOrder::LoadLE16(p + 2);
      break;
    case OperandLayout::kSwitch:
    case OperandLayout::kWait: {
      const bool isSwitch = out->info->operands == OperandLayout::kSwitch;
      const u32 n = ByteOrder::LoadLE16(p);
      p += 2;
      for (u32 i = 0; i < n; ++i, p += 4) {
        if (isSwitch) {
          out->cases.emplace_back(static_cast<i32>(ByteOrder::LoadLE32(p)), 0);
        } else {
          out->cases.emplace_back(ByteOrder::LoadLE16(p), ByteOrder::LoadLE16(p + 2));
        }
      }
      for (u32 i = 0; i < n + (isSwitch ? 1 : 0); ++i, p += 4) {
        out->targets.push_back(ByteOrder::LoadLE32(p));
      }
      out->first = static_cast<i32>(n);
      break;
    }
  }
  return true;
}

std::string FormatInstruction(const Instruction& in) {
  std::string text = in.info->name;
  char part[48];
  switch (in.info->operands) {
    case OperandLayout::kNone:
      return text;
    case OperandLayout::kI32:
    case OperandLayout::kU16:
    case OperandLayout::kSlot:
      std::snprintf(part, sizeof part, " %d", in.first);
      return text + part;
    case OperandLayout::kTarget:
      std::snprintf(part, sizeof part, " %u", static_cast<u32>(in.first));
      return text + part;
    case OperandLayout::kCall:
      std::snprintf(part, sizeof part, " %d,%d", in.first, in.second);
      return text + part;
    case OperandLayout::kSwitch:
    case OperandLayout::kWait: {
      const bool isSwitch = in.info->operands == OperandLayout::kSwitch;
      std::snprintf(part, sizeof part, " %d {", in.first);
      text += part;
      for (size_t i = 0; i < in.cases.size(); ++i) {
        if (isSwitch) {
          std::snprintf(part, sizeof part, "%s%d:%u", i ? " " : "", in.cases[i].first,
                        in.targets[i]);
        } else {
          std::snprintf(part, sizeof part, "%s%d/%d:%u", i ? " " : "", in.cases[i].first,
                        in.cases[i].second, in.targets[i]);
        }
        text += part;
      }
      text += '}';
      if (isSwitch) {
        std::snprintf(part, sizeof part, " %u", in.targets.back());
        text += part;
      }
      return text;
    }
  }
  return text;
}

std::string DisassembleCode(const u8* code, u32 length, const std::vector<LineDebugInfo>& lines) {
  // First pass: where jumps land, so that the listing can mark them.
  std::set<u32> landings;
  Instruction in;
  u32 offset = 0;
  while (offset < length && DecodeInstruction(code, length, offset, &in)) {
    if (in.info->operands == OperandLayout::kTarget) landings.insert(static_cast<u32>(in.first));
    landings.insert(in.targets.begin(), in.targets.end());
    offset += in.length;
  }
  std::string text;
  char head[64];
  size_t nextLine = 0;
  offset = 0;
  while (offset < length) {
    while (nextLine < lines.size() && lines[nextLine].offset <= offset) {
      std::snprintf(head, sizeof head, "; line %u\n", lines[nextLine++].line);
      text += head;
    }
    if (!DecodeInstruction(code, length, offset, &in)) {
      std::snprintf(head, sizeof head, "%6u  bad instruction 0x%02X\n", offset, code[offset]);
      text += head;
      break;
    }
    std::snprintf(head, sizeof head, "%6u%c ", offset, landings.count(offset) ? '>' : ' ');
    text += head;
    text += FormatInstruction(in);
    text += '\n';
    offset += in.length;
  }
  return text;
}

}  // namespace GSByteCode
