// The function record of a library (tag 9): the header words of a compiled function, its
// reference slots, its byte code and its line table. The compiler writes it; the loader and the
// disassembler read it.
#pragma once

#include <vector>

#include "qel/types.h"

namespace GSByteCode {

constexpr u32 kFunctionRecordTag = 9;
constexpr u32 kLineTableTag = 0x6462676C;  // "dbgl" as the bytes are read back
constexpr u32 kRecordFlagMask = 0x3B;      // public, native, final, thread, constructor
constexpr u32 kFrameHeaderWords = 4;

struct LineDebugInfo {
  u32 offset;
  u32 line;
};

// The words after the tag, in file order.
struct FunctionRecordHeader {
  u32 name = 0;  // string number of the signature text
  u32 returnType = 0;
  i32 returnClass = -1;  // class reference number, or -1
  u32 flags = 0;
  i32 slot = -1;         // method-table slot, or -1
  u32 frameAdvance = 0;  // local words + 4
  i32 localsOffset = 0;  // 1 - argument words
  u32 headerOffset = 0;  // local words + 1
  u32 frameWords = 0;    // maximum depth + local words + 4
  u32 argumentWords = 0;
  u32 localWordsFirst = 0;
  u32 localWordsSecond = 0;
};

struct FunctionRecord {
  FunctionRecordHeader header;
  std::vector<u32> referenceSlots;
  const u8* code = nullptr;  // into the read image
  u32 codeLength = 0;
  bool hasLineTable = false;
  std::vector<LineDebugInfo> lines;
  u32 recordLength = 0;  // bytes of the whole record
};

// Reads the record that starts at `data` (at most `size` bytes; `imageOffset` is where it lies in
// its image, for the padding). False for a record whose words run past its length or the data,
// or whose tag is not 9.
bool ReadFunctionRecord(const u8* data, u32 size, u32 imageOffset, FunctionRecord* out);

}  // namespace GSByteCode
