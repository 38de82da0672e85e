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

void GSStack::LogOverflow() const {
  if (GSMachine::LogHook() == nullptr) return;
  GSMachine::Log("GSStack overflow...");
  for (const GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
    const GSFunction* fn = FunctionOf(f);
    GSMachine::Log("function %s", fn != nullptr ? fn->name->c_str() : "?");
  }
}

void GSStack::LogReturnDiff(i64 diff) {
  GSMachine::Log("GSStack::ReturnValue> diff=%d", static_cast<int>(diff));
}

void GSStack::Unwind() {
  for (GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
    ReleaseFrameReferences(f, nullptr);
  }
  top_ = base_ - 1;
  SetCurrentFrameAt(kNoFrame);
  returnOffset_ = 0;
}

void GSStack::DropCallWords(const GSFunction* function, GSHandle me, const u32* arguments,
                            size_t count) {
  ObjectBridge::ReleaseIfSet(me);
  const GSByteCode::FunctionRecordHeader& h = function->record.header;
  for (u32 slot : function->record.referenceSlots) {
    if (slot >= 1 && slot < h.argumentWords && slot <= count) {
      ObjectBridge::ReleaseIfSet(arguments[slot - 1]);
    }
  }
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

GSContext* GSStack::CurrentContext() const {
  for (const GSFrameHeader* f = currentFrame_; f != nullptr; f = FrameAt(f->previousFrame)) {
    if (GSContext* context = ObjectBridge::ContextOf(Locals(f)[0])) return context;
  }
  return nullptr;
}

bool GSStack::PushWord(u32 word) {
  if (top_ + 1 >= end_) {
    overflowed_ = true;
    return false;
  }
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
