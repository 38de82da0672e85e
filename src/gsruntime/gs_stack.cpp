#include "gsruntime/gs_stack.h"

#include <cstring>

#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

GSStack::GSStack(u32 capacityWords) : capacity_(capacityWords) {
  storage_ = new u32[1 + capacityWords + kMarginWords]();
  base_ = storage_ + 1;
  top_ = base_ - 1;
  end_ = base_ + capacityWords + kMarginWords;
}

GSStack::~GSStack() {
  Unwind();
  delete[] storage_;
}

const GSFunction* GSStack::FunctionOf(const GSFrameHeader* frame) {
  return GSMachine::Instance().FunctionAt(frame->function);
}

bool GSStack::PushFrame(const GSFunction* function, u32 returnOffset) {
  const GSByteCode::FunctionRecordHeader& h = function->record.header;
  const i64 used = top_ - base_;
  if (i64(h.frameWords) > i64(capacity_) - used || h.frameAdvance < GSByteCode::kFrameHeaderWords) {
    if (GSMachine::LogHook() != nullptr) {
      GSMachine::Log("GSStack overflow...");
      for (const GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
        const GSFunction* fn = FunctionOf(f);
        GSMachine::Log("function %s", fn != nullptr ? fn->name->c_str() : "?");
      }
    }
    return false;
  }
  if (h.frameWords > 1) std::memset(top_ + 1, 0, (h.frameWords - 1) * sizeof(u32));
  auto* header = reinterpret_cast<GSFrameHeader*>(top_ + h.headerOffset);
  header->function = function->number;
  header->returnOffset = returnOffset;
  header->previousFrame = currentFrame_ != nullptr ? IndexOf(currentFrame_) : kNoFrame;
  header->localsBase = IndexOf(top_ + h.localsOffset);
  currentFrame_ = header;
  top_ += h.frameAdvance;
  return true;
}

void GSStack::ReleaseFrameReferences(GSFrameHeader* frame) {
  const GSFunction* function = FunctionOf(frame);
  u32* locals = Locals(frame);
  if (function != nullptr) {
    const std::vector<u32>& slots = function->record.referenceSlots;
    for (size_t i = slots.size(); i-- > 0;) {
      const GSHandle handle = locals[slots[i]];
      locals[slots[i]] = 0;
      if (handle != 0) ObjectBridge::ReleaseReference(handle);
    }
  }
  const GSHandle me = locals[0];
  locals[0] = 0;
  if (me != 0) ObjectBridge::ReleaseReference(me);
}

void GSStack::LeaveFrame(GSFrameHeader* frame) {
  returnOffset_ = frame->returnOffset;
  currentFrame_ = FrameAt(frame->previousFrame);
}

bool GSStack::PopFrame() {
  GSFrameHeader* frame = currentFrame_;
  if (frame == nullptr) return false;
  ReleaseFrameReferences(frame);
  if (top_ != &frame->localsBase) return false;
  top_ = Locals(frame) - 1;
  LeaveFrame(frame);
  return true;
}

bool GSStack::ReturnValue(bool allowEmpty) {
  GSFrameHeader* frame = currentFrame_;
  if (frame == nullptr) return false;
  u32 value = *top_;
  ReleaseFrameReferences(frame);
  const i64 diff = top_ - reinterpret_cast<u32*>(frame);
  if (allowEmpty && diff == 3) {
    value = 0;
  } else if (diff != 4) {
    GSMachine::Log("GSStack::ReturnValue> diff=%d", static_cast<int>(diff));
    return false;
  }
  top_ = Locals(frame);
  *top_ = value;
  LeaveFrame(frame);
  return true;
}

void GSStack::Unwind() {
  for (GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
    ReleaseFrameReferences(f);
  }
  top_ = base_ - 1;
  currentFrame_ = nullptr;
  returnOffset_ = 0;
}

void GSStack::Dump() const {
  if (currentFrame_ == nullptr || GSMachine::LogHook() == nullptr) return;
  const GSFrameHeader* inner = nullptr;
  for (const GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
    const GSFunction* function = FunctionOf(f);
    const i32 line = inner == nullptr ? -1 : LineOfOffset(function, inner->returnOffset);
    GSMachine::Log("function %s, line %d", function != nullptr ? function->name->c_str() : "?",
                   line);
    inner = f;
  }
}

void* GSStack::CurrentContext() const {
  for (const GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
    if (void* context = ObjectBridge::ContextOf(Locals(f)[0])) return context;
  }
  return nullptr;
}

bool GSStack::PushWord(u32 word) {
  if (top_ + 1 >= end_) return false;
  *++top_ = word;
  return true;
}

bool GSStack::PushFloat(f32 value) {
  u32 bits;
  std::memcpy(&bits, &value, sizeof bits);
  return PushWord(bits);
}

i32 LineOfOffset(const GSFunction* function, u32 offset) {
  if (function == nullptr || function->record.lines.empty()) return -1;
  const std::vector<GSByteCode::LineDebugInfo>& lines = function->record.lines;
  size_t count = 0;
  while (count < lines.size() && lines[count].offset <= offset) ++count;
  return static_cast<i32>(lines[count == 0 ? 0 : count - 1].line);
}

}  // namespace GSRuntime
