#include "gscompiler/gsc_function.h"

namespace GSCompiler {

void GSCFunction::LineHook(u32 offset, void* context) {
  GSCFunction& f = *static_cast<GSCFunction*>(context);
  const u32 line = static_cast<u32>(f.currentLine);
  if (!f.lines.empty() && f.lines.back().line == line) return;
  f.lines.push_back({offset, line});
}

i32 GSCFunction::AcquireTemporary() {
  for (i32 t = 0; t < kMaxTemporaries; ++t) {
    if (temporariesInUse & (1u << t)) continue;
    temporariesInUse |= 1u << t;
    if (t + 1 > temporaryCount) temporaryCount = t + 1;
    return firstLocal + localCount + t;
  }
  return -1;
}

void GSCFunction::ReleaseTemporary(i32 slot) {
  const i32 t = slot - firstLocal - localCount;
  if (t >= 0 && t < kMaxTemporaries) temporariesInUse &= ~(1u << t);
}

u32 BeginRecord(Utils::ByteBuffer& out, u32 tag) {
  const u32 start = out.Position();
  out.WriteU32(0);
  out.WriteU32(tag);
  return start;
}

bool EndRecord(Utils::ByteBuffer& out, u32 start) {
  const u32 end = out.Position();
  if (out.OutOfStorage() || !out.SetPosition(start)) return false;
  out.WriteU32(end - start);
  return out.SetPosition(end) && !out.OutOfStorage();
}

bool WriteFunctionRecord(const GSCFunction& function, const FunctionRecordInfo& info,
                         Utils::ByteBuffer& out) {
  using namespace GSByteCode;
  const CodeEmitter& emitter = function.emitter;
  if (emitter.Depth() != 0) return false;
  const u32 codeLength = emitter.Code().Size();
  const u32 arguments = info.parameterCount + 1;
  const u32 start = BeginRecord(out, kFunctionRecordTag);
  out.WriteU32(info.nameString);
  out.WriteU32(info.returnType);
  out.WriteI32(info.returnClass);
  out.WriteU32(info.flags & kRecordFlagMask);
  out.WriteI32(info.slot < 0 ? -1 : static_cast<i16>(info.slot));
  out.WriteU32(info.localWords + kFrameHeaderWords);
  out.WriteI32(1 - static_cast<i32>(arguments));
  out.WriteU32(info.localWords + 1);
  out.WriteU32(static_cast<u32>(emitter.MaxDepth()) + info.localWords + kFrameHeaderWords);
  out.WriteU32(arguments);
  // The loader skips both counts; one of them holds them all.
  out.WriteU32(info.localsInSecondCount ? 0 : info.localWords);
  out.WriteU32(info.localsInSecondCount ? info.localWords : 0);
  out.WriteU32(static_cast<u32>(function.referenceSlots.size()));
  for (u32 slot : function.referenceSlots) out.WriteU32(slot);
  out.WriteU32(codeLength);
  if (codeLength > 0) out.Write(emitter.Code().Data(), codeLength);
  while (out.Position() % 4 != 0) out.WriteU8(0xFF);
  if (info.lineTable) {
    out.WriteU32(kLineTableTag);
    out.WriteU32(static_cast<u32>(function.lines.size()));
    for (const LineDebugInfo& e : function.lines) {
      out.WriteU32(e.offset);
      out.WriteU32(e.line);
    }
  }
  return EndRecord(out, start);
}

}  // namespace GSCompiler
