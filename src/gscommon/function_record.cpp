#include "gscommon/function_record.h"

#include "gscommon/word_reader.h"

namespace GSByteCode {

bool ReadFunctionRecord(const u8* data, u32 size, u32 imageOffset, FunctionRecord* out) {
  WordReader r(data, size);
  u32 length = 0, tag = 0;
  if (!r.U32(&length) || !r.U32(&tag) || tag != kFunctionRecordTag || length > size || length < 8) {
    return false;
  }
  // Nothing of the record may be read past its own length.
  WordReader w(data, length);
  w.Skip(8);
  FunctionRecordHeader& h = out->header;
  u32 referenceCount = 0;
  w.U32(&h.name);
  w.U32(&h.returnType);
  w.I32(&h.returnClass);
  w.U32(&h.flags);
  w.I32(&h.slot);
  w.U32(&h.frameAdvance);
  w.I32(&h.localsOffset);
  w.U32(&h.headerOffset);
  w.U32(&h.frameWords);
  w.U32(&h.argumentWords);
  w.U32(&h.localWordsFirst);
  w.U32(&h.localWordsSecond);
  w.U32(&referenceCount);
  if (w.Failed() || referenceCount > (length - w.Position()) / 4) return false;
  out->referenceSlots.resize(referenceCount);
  for (u32& slot : out->referenceSlots) w.U32(&slot);
  if (!w.U32(&out->codeLength)) return false;
  out->code = data + w.Position();
  if (!w.Skip(out->codeLength)) return false;
  const u32 end = imageOffset + w.Position();
  w.Skip((4 - end % 4) % 4);
  out->hasLineTable = false;
  out->lines.clear();
  u32 marker = 0, count = 0;
  if (!w.Failed() && length - w.Position() >= 8 && w.U32(&marker) && marker == kLineTableTag) {
    if (!w.U32(&count) || count > (length - w.Position()) / 8) return false;
    out->hasLineTable = true;
    out->lines.resize(count);
    for (LineDebugInfo& e : out->lines) {
      w.U32(&e.offset);
      w.U32(&e.line);
    }
  }
  out->recordLength = length;
  return !w.Failed();
}

}  // namespace GSByteCode
