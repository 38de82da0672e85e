// A cooperative line of script execution: a stack of frames plus what is needed to stop and
// resume it between updates. Threads belong to game objects, which run them on every update;
// the machine's static thread (no owner) runs script code that native code calls at once.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "gscommon/double_link_list.h"
#include "gsruntime/gs_stack.h"

namespace GSRuntime {

// A counted message as threads queue it; the game-object part of the runtime supplies it.
class GSThreadMessage {
 public:
  virtual ~GSThreadMessage() = default;
  virtual u16 MajorId() const = 0;
  virtual u16 MinorId() const = 0;
  virtual void AddReference() = 0;
  virtual void Release() = 0;
};

// What a thread needs of the game object that owns it.
class GSThreadOwner {
 public:
  virtual ~GSThreadOwner() = default;
  // Whether the owner has a router and a context, without which it takes no message.
  virtual bool CanReceive() const = 0;
  virtual i32 NodeId() const = 0;
  // The router's id of a message-type text, registering it when new.
  virtual u16 MessageTypeId(const std::string& text) = 0;
  virtual void Subscribe(u16 majorId) = 0;
  virtual void Unsubscribe(u16 majorId) = 0;
  // The script Message object for `message` in the owner's context, counted; 0 when none.
  virtual GSHandle BuildMessageObject(GSThreadMessage* message) = 0;
  // The router's one-line description of a message.
  virtual std::string FormatMessage(const GSThreadMessage* message) const = 0;
  // Where the owner's threads may be started from native code; null when it keeps none.
  virtual class GSThread* StartThread() { return nullptr; }
};

// Error codes of a run; RunResultName gives the text exceptions print ("ER_Done"...).
enum GSRunResult : i32 {
  kRunDone = 0,
  kRunBlocked,
  kRunIllegalInstruction,
  kRunDivideByZero,
  kRunNullArrayReference,
  kRunArrayOutOfBounds,
  kRunArrayRangeError,
  kRunNullStringReference,
  kRunStringOutOfBounds,
  kRunNullReference,
  kRunClassCreateError,
  kRunNativeCallError,
  kRunStackOverflow,
  kRunNoStackFrame,
  kRunThreadError,
  kRunStackReturnError,
  kRunException,
  kRunLinkError,
  kRunTimeout,
};
const char* RunResultName(i32 code);

class GSThread : public Utils::IDoubleLinkListNode {
 public:
  static constexpr u32 kStaticFlag = 1;
  static constexpr u32 kQueueLimit = 1024;

  enum State : i32 { kReady = 0, kBlocked = 1, kDead = 2 };

  struct WaitEntry {
    u16 majorId;
    u16 minorId;
    u32 target;
  };
  struct SavedState {
    GSFrameHeader* frame;
    u32* top;
    i32 state;
    u32 resumeOffset;
  };

  GSThread(GSThreadOwner* owner, u32 flags);
  ~GSThread() override;
  GSThread(const GSThread&) = delete;
  GSThread& operator=(const GSThread&) = delete;

  // Runs the thread for one time slice; the result is a GSRunResult.
  i32 Execute(f32 elapsedSeconds);
  // Bytes of code an outermost run (nested runs included) may step before it times out; at most
  // the usual budget. For fuzzing, where a slow run hides the next input's fault.
  static void SetRunBudget(u32 codeBytes);
  // The error exit of a run: "Thread Exception: ..." to the log and the exception hook, the
  // thread dead, its stack dumped and unwound.
  void FailRun(i32 code, i32 line, const char* file);

  bool DeliverMessage(GSThreadMessage* message, bool queue);
  // Offers the queued messages to a thread that has just begun to wait; true when it woke.
  bool ProcessQueue();
  void RaiseException(const char* text, bool keepAlive);
  // Saves frame, top, state and resume offset, then pushes a 0 word and clears the frame, so that
  // a nested call can run on this thread; RestoreState puts them back.
  SavedState SaveState();
  void RestoreState(const SavedState& saved);

  // Withdraws the subscriptions of the current wait and empties its list.
  void CancelWait();
  void MarkDead() { state_ = kDead; }
  // Deletes the thread; while a run of it is in progress (a native re-initialising its owner)
  // it is ended instead and deleted when that run returns.
  static void Destroy(GSThread* thread);

  i32 State() const { return state_; }
  void SetState(i32 state) { state_ = state; }
  u32 ResumeOffset() const { return resumeOffset_; }
  void SetResumeOffset(u32 offset) { resumeOffset_ = offset; }
  u32 Flags() const { return flags_; }
  bool IsStatic() const { return (flags_ & kStaticFlag) != 0; }
  GSStack& Stack() { return stack_; }
  f32 SleepTime() const { return sleepTime_; }
  void SetSleepTime(f32 seconds) { sleepTime_ = seconds; }
  GSThreadOwner* Owner() const { return owner_; }
  const std::vector<WaitEntry>& WaitList() const { return waitList_; }
  void AddWait(const WaitEntry& entry) { waitList_.push_back(entry); }
  size_t QueuedMessages() const { return queue_.size(); }
  // Whether a run of this thread is in progress (a native deleting it must defer that).
  bool Running() const { return runDepth_ != 0; }

 private:
  const WaitEntry* Match(const GSThreadMessage* message) const;
  void ReleaseQueue();

  i32 state_ = kReady;
  u32 resumeOffset_ = 0;
  u32 flags_ = 0;
  GSStack stack_;
  std::vector<WaitEntry> waitList_;
  std::deque<GSThreadMessage*> queue_;
  f32 sleepTime_ = 0;
  GSThreadOwner* owner_ = nullptr;
  u32 runDepth_ = 0;
  bool deletePending_ = false;
};

}  // namespace GSRuntime
