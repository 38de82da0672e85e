#include "gsruntime/gs_thread.h"

#include <string>

#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

namespace {

constexpr const char* kRunResultNames[] = {
    "ER_Done",
    "ER_Blocked",
    "ER_IllegalInstruction",
    "ER_DivideByZero",
    "ER_NullArrayReference",
    "ER_ArrayOutOfBounds",
    "ER_ArrayRangeError",
    "ER_NullStringReference",
    "ER_StringOutOfBounds",
    "ER_NullReference",
    "ER_ClassCreateError",
    "ER_NativeCallError",
    "ER_StackOverflow",
    "ER_NoStackFrame",
    "ER_ThreadError",
    "ER_StackReturnError",
    "ER_Exception",
    "ER_LinkError",
    "ER_Timeout",
};

// Minor id 1 is the empty type, which matches any minor.
constexpr u16 kAnyMinor = 1;

}  // namespace

const char* RunResultName(i32 code) {
  constexpr i32 kCount = sizeof kRunResultNames / sizeof kRunResultNames[0];
  return code >= 0 && code < kCount ? kRunResultNames[code] : "ER_Unknown";
}

GSThread::GSThread(GSThreadOwner* owner, u32 flags)
    : flags_(flags), stack_(GSStack::kThreadWords), owner_(owner) {}

void GSThread::Destroy(GSThread* thread) {
  if (thread == nullptr) return;
  if (thread->runDepth_ == 0) {
    delete thread;
    return;
  }
  thread->state_ = kDead;
  thread->deletePending_ = true;
}

GSThread::~GSThread() {
  stack_.Unwind();
  if (owner_ != nullptr) {
    ReleaseQueue();
    for (const WaitEntry& entry : waitList_) owner_->Unsubscribe(entry.majorId);
  }
  waitList_.clear();
  state_ = kReady;
  resumeOffset_ = 0;
  flags_ = 0;
  sleepTime_ = 0;
}

void GSThread::ReleaseQueue() {
  for (GSThreadMessage* message : queue_) message->Release();
  queue_.clear();
}

const GSThread::WaitEntry* GSThread::Match(const GSThreadMessage* message) const {
  for (const WaitEntry& entry : waitList_) {
    if (entry.majorId == message->MajorId() &&
        (entry.minorId == message->MinorId() || entry.minorId == kAnyMinor)) {
      return &entry;
    }
  }
  return nullptr;
}

void GSThread::CancelWait() {
  if (owner_ != nullptr) {
    for (const WaitEntry& entry : waitList_) owner_->Unsubscribe(entry.majorId);
  }
  waitList_.clear();
}

bool GSThread::DeliverMessage(GSThreadMessage* message, bool queue) {
  if (owner_ == nullptr || !owner_->CanReceive()) return false;
  const WaitEntry* entry = Match(message);
  if (entry == nullptr) return false;
  if (state_ == kBlocked) {
    const u32 target = entry->target;
    const GSHandle object = owner_->BuildMessageObject(message);
    if (!stack_.PushReference(object)) {
      if (object != 0) ObjectBridge::ReleaseReference(object);
      RaiseException("GSStack overflow...", false);
      return true;
    }
    resumeOffset_ = target;
    state_ = kReady;
    sleepTime_ = 0;
    return true;
  }
  if (!queue) return true;
  if (queue_.size() >= kQueueLimit) {
    std::string text = "Message Queue Overflow for node " + std::to_string(owner_->NodeId()) +
                       " (discarded message follows)\n";
    text += owner_->FormatMessage(message);
    text += " thread state is " + std::to_string(state_) + "\n";
    text += " messages already in queue follow:\n";
    for (const GSThreadMessage* queued : queue_) text += owner_->FormatMessage(queued);
    RaiseException(text.c_str(), true);
    ReleaseQueue();
    return true;
  }
  message->AddReference();
  queue_.push_back(message);
  return true;
}

bool GSThread::ProcessQueue() {
  if (owner_ == nullptr) return state_ == kReady;
  for (size_t n = queue_.size(); n > 0; --n) {
    GSThreadMessage* message = queue_.front();
    queue_.pop_front();
    const bool waiting = state_ == kBlocked;
    if (DeliverMessage(message, false) && !waiting) {
      queue_.push_back(message);  // kept: it matches the new wait
      continue;
    }
    message->Release();
  }
  return state_ == kReady;
}

void GSThread::RaiseException(const char* text, bool keepAlive) {
  if (!keepAlive) state_ = kDead;
  std::string exception = text;
  if (const GSFrameHeader* frame = stack_.CurrentFrame()) {
    if (const GSFunction* function = GSStack::FunctionOf(frame)) {
      exception += " (file " + function->library->name + ")";
    }
  }
  // Straight to the hook: an overflow report runs far past the machine's line buffer.
  if (GSLogHook log = GSMachine::LogHook()) log("%s", exception.c_str());
  if (GSExceptionHook hook = GSMachine::ExceptionHook()) {
    GSThreadOwner* object = owner_;
    for (const GSFrameHeader* f = stack_.CurrentFrame(); object == nullptr && f != nullptr;
         f = stack_.FrameAt(f->previousFrame)) {
      object = ObjectBridge::GameObjectOf(stack_.Locals(f)[0]);
    }
    hook(exception.c_str(), &stack_, object, keepAlive);
  }
}

GSThread::SavedState GSThread::SaveState() {
  SavedState saved{stack_.CurrentFrame(), stack_.Top(), state_, resumeOffset_};
  stack_.PushWord(0);
  stack_.SetCurrentFrame(nullptr);
  return saved;
}

void GSThread::RestoreState(const SavedState& saved) {
  stack_.SetCurrentFrame(saved.frame);
  stack_.SetTop(saved.top);
  state_ = saved.state;
  resumeOffset_ = saved.resumeOffset;
}

}  // namespace GSRuntime
