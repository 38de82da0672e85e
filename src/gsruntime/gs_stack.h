// The word stack of one script thread: the frames of the functions being run (me, arguments,
// local variables and a 4-word header each) interleaved with the operand words the byte code
// pushes. Every word is 32 bits: frame headers hold a function number and word indexes, never a
// host pointer, like every other script word.
#pragma once

#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_arena.h"
#include "qel/types.h"

namespace GSRuntime {

class GSContext;
struct GSFunction;

// The frame header as it lies on the stack, four words above the function's local words.
struct GSFrameHeader {
  u32 function;       // the function's number in the machine's function table, and kBorrowedMe
  u32 returnOffset;   // the caller's offset after the call; 0 for a frame entered from native code
  u32 previousFrame;  // word index of the caller's header, or kNoFrame
  u32 localsBase;     // word index of local slot 0 (`me`)
};

class GSStack {
 public:
  static constexpr u32 kThreadWords = 1024;
  // Words past the observable limit: a frame may end exactly on the last word and a native's
  // result then lands one word beyond it.
  static constexpr u32 kMarginWords = 4;
  static constexpr u32 kNoFrame = 0xFFFFFFFFu;
  // In a header's function word: the frame's `me` is its caller's own, whose count outlives
  // the frame, so the frame holds none of its own and never releases it.
  static constexpr u32 kBorrowedMe = 0x80000000u;
  // In a header's function word: the frame runs in another script context than its caller, so
  // a return to the caller finds the caller's again. A frame without it runs in its caller's.
  static constexpr u32 kOwnContext = 0x40000000u;
  static constexpr u32 kFrameFlags = kBorrowedMe | kOwnContext;

  explicit GSStack(u32 capacityWords = kThreadWords);
  virtual ~GSStack();
  GSStack(const GSStack&) = delete;
  GSStack& operator=(const GSStack&) = delete;

  // Enters `function`, whose object reference and arguments the caller has pushed; false (with
  // the overflow lines logged) when its frame words do not fit.
  // `borrowedMe` (0 or kBorrowedMe) marks an object word the caller pushed without a count.
  inline bool PushFrame(const GSFunction* function, u32 returnOffset, u32 borrowedMe = 0);
  // PushFrame for the interpreter, which holds the top in hand: `top` is the caller's last
  // operand word, and the function's layout passed the library check. The new header, or null
  // (the overflow logged, the top left as it was) when the frame does not fit.
  inline GSFrameHeader* EnterFrame(u32* top, const GSFunction* function, u32 returnOffset,
                                   u32 borrowedMe);
  // Gives the current frame a count of its own on a borrowed `me`, before the frame replaces it.
  inline void OwnMe();
  // Leaves the current frame without a result; false without a frame or when it is unbalanced.
  // `function` is the frame's function when the caller knows it.
  inline bool PopFrame(const GSFunction* function = nullptr);
  // Leaves the current frame with the top word as its result, left where `me` lay.
  inline bool ReturnValue(bool allowEmpty, const GSFunction* function = nullptr);
  // Drops every frame, releasing the references they hold.
  void Unwind();
  // Releases the counted words of a call to `function` that entered no frame: `me` (0 for one
  // the call borrowed) and the reference arguments among the `count` words at `arguments`. Left
  // as operand words they would never be released: an unwind cannot tell them from numbers.
  static void DropCallWords(const GSFunction* function, GSHandle me, const u32* arguments,
                            size_t count);
  // "function %s, line %d" for every frame, innermost first.
  void Dump() const;
  // The context of the innermost frame whose `me` is bound to a native object, or null.
  GSContext* CurrentContext() const;
  // Marks the current frame as one that entered a context of its own (kOwnContext).
  void MarkOwnContext() {
    if (currentFrame_ != nullptr) currentFrame_->function |= kOwnContext;
  }

  // Pushes from native code; false (nothing written, the overflow noted) when the storage has
  // no room left.
  bool PushWord(u32 word);
  bool PushInt(i32 value) { return PushWord(static_cast<u32>(value)); }
  bool PushFloat(f32 value);
  // Pushes a reference the caller already counted.
  bool PushReference(GSHandle handle) { return PushWord(handle); }

  // Whether a push found no room since the note was last taken.
  bool Overflowed() const { return overflowed_; }
  // Whether a push found no room since the last call; clears the note.
  bool TakeOverflow() {
    const bool overflowed = overflowed_;
    overflowed_ = false;
    return overflowed;
  }

  u32* Base() const { return base_; }
  u32* Top() const { return top_; }
  void SetTop(u32* top) { top_ = top; }
  u32 Capacity() const { return capacity_; }
  bool Empty() const { return top_ < base_; }
  GSFrameHeader* CurrentFrame() const { return currentFrame_; }
  void SetCurrentFrame(GSFrameHeader* frame) {
    currentFrame_ = frame;
    currentFrameIndex_ = frame != nullptr ? IndexOf(frame) : kNoFrame;
  }
  // Makes the frame at word index `wordIndex` (or none, for kNoFrame) the current one.
  void SetCurrentFrameAt(u32 wordIndex) {
    currentFrame_ = FrameAt(wordIndex);
    currentFrameIndex_ = wordIndex;
  }
  u32 ReturnOffset() const { return returnOffset_; }
  GSFrameHeader* FrameAt(u32 wordIndex) const {
    return wordIndex == kNoFrame ? nullptr : reinterpret_cast<GSFrameHeader*>(base_ + wordIndex);
  }
  u32 IndexOf(const void* word) const {
    return static_cast<u32>(static_cast<const u32*>(word) - base_);
  }
  u32* Locals(const GSFrameHeader* frame) const { return base_ + frame->localsBase; }
  // The function of a frame, from its number.
  static const GSFunction* FunctionOf(const GSFrameHeader* frame) {
    return GSMachine::FunctionAt(frame->function & ~kFrameFlags);
  }

 private:
  // Releases the frame's reference locals, last to first, then `me`; each slot is nulled as it
  // is released so that a later unwind of the same frame does not release it again.
  inline void ReleaseFrameReferences(GSFrameHeader* frame, const GSFunction* function);
  void LeaveFrame(GSFrameHeader* frame) {
    returnOffset_ = frame->returnOffset;
    SetCurrentFrameAt(frame->previousFrame);
  }
  void LogOverflow() const;
  static void LogReturnDiff(i64 diff);

  u32 returnOffset_ = 0;
  u32* top_ = nullptr;
  u32* base_ = nullptr;
  u32 capacity_ = 0;
  GSFrameHeader* currentFrame_ = nullptr;
  // currentFrame_ as the word index a new frame's header records, kept beside it so that a
  // call need not work it out.
  u32 currentFrameIndex_ = kNoFrame;
  u32* storage_ = nullptr;  // one word before base (the empty top) and the margin after it
  u32* end_ = nullptr;      // one past the last word raw pushes may fill
  bool overflowed_ = false;
};

// The source line of a code offset in the function's line table; -1 without one.
i32 LineOfOffset(const GSFunction* function, u32 offset);

// Calls and returns are the interpreter's hottest paths after dispatch: inline.
#if defined(__GNUC__)
#define KS_STACK_INLINE inline __attribute__((always_inline))
#else
#define KS_STACK_INLINE inline
#endif

KS_STACK_INLINE bool GSStack::PushFrame(const GSFunction* function, u32 returnOffset,
                                       u32 borrowedMe) {
  // Native functions' records never met the library check.
  if (function->record.header.frameAdvance < GSByteCode::kFrameHeaderWords) {
    LogOverflow();
    return false;
  }
  return EnterFrame(top_, function, returnOffset, borrowedMe) != nullptr;
}

KS_STACK_INLINE GSFrameHeader* GSStack::EnterFrame(u32* top, const GSFunction* function,
                                                   u32 returnOffset, u32 borrowedMe) {
  const GSByteCode::FunctionRecordHeader& h = function->record.header;
  const i64 used = top - base_;
  if (i64(h.frameWords) > i64(capacity_) - used) {
    LogOverflow();
    return nullptr;
  }
  // The local variables start at 0; the header is written below and operand words are always
  // pushed before they are read, so the rest need not be cleared.
  for (u32 *word = top + 1, *end = top + h.headerOffset; word < end; ++word) *word = 0;
  auto* header = reinterpret_cast<GSFrameHeader*>(top + h.headerOffset);
  header->function = function->number | borrowedMe;
  header->returnOffset = returnOffset;
  header->previousFrame = currentFrameIndex_;
  header->localsBase = static_cast<u32>(used + h.localsOffset);
  currentFrame_ = header;
  currentFrameIndex_ = static_cast<u32>(used + h.headerOffset);
  top_ = top + h.frameAdvance;
  return header;
}

KS_STACK_INLINE void GSStack::ReleaseFrameReferences(GSFrameHeader* frame,
                                                     const GSFunction* function) {
  if (function == nullptr) function = FunctionOf(frame);
  u32* locals = Locals(frame);
  if (function != nullptr) {
    const std::vector<u32>& slots = function->record.referenceSlots;
    for (size_t i = slots.size(); i-- > 0;) {
      const GSHandle handle = locals[slots[i]];
      locals[slots[i]] = 0;
      ObjectBridge::ReleaseIfSet(handle);
    }
  }
  const GSHandle me = locals[0];
  locals[0] = 0;
  if ((frame->function & kBorrowedMe) == 0) ObjectBridge::ReleaseIfSet(me);
}

KS_STACK_INLINE void GSStack::OwnMe() {
  GSFrameHeader* frame = currentFrame_;
  if (frame == nullptr || (frame->function & kBorrowedMe) == 0) return;
  frame->function &= ~kBorrowedMe;
  ObjectBridge::AddIfSet(Locals(frame)[0]);
}

KS_STACK_INLINE bool GSStack::PopFrame(const GSFunction* function) {
  GSFrameHeader* frame = currentFrame_;
  if (frame == nullptr) return false;
  ReleaseFrameReferences(frame, function);
  if (top_ != &frame->localsBase) return false;
  top_ = Locals(frame) - 1;
  LeaveFrame(frame);
  return true;
}

KS_STACK_INLINE bool GSStack::ReturnValue(bool allowEmpty, const GSFunction* function) {
  GSFrameHeader* frame = currentFrame_;
  if (frame == nullptr) return false;
  u32 value = *top_;
  ReleaseFrameReferences(frame, function);
  const i64 diff = top_ - reinterpret_cast<u32*>(frame);
  if (allowEmpty && diff == 3) {
    value = 0;
  } else if (diff != 4) {
    LogReturnDiff(diff);
    return false;
  }
  top_ = Locals(frame);
  *top_ = value;
  LeaveFrame(frame);
  return true;
}

}  // namespace GSRuntime
