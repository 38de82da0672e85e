#include "core/thread_call.h"

#include <utility>

int TCXCallbackBase::Invoke(intptr_t) { return -1; }

void TCXCallbackBase::AddReference() {
  Qel::SingleLock guard(lock_);
  ++references_;
}

void TCXCallbackBase::ReleaseReference() {
  bool last;
  {
    Qel::SingleLock guard(lock_);
    last = references_ == 0 || --references_ == 0;
  }
  if (last) delete this;
}

u32 TCXCallbackBase::GetReferenceCount() {
  Qel::SingleLock guard(lock_);
  return references_;
}

TCXCallback::TCXCallback(TCXCallbackBase* callable) : callable_(callable) {
  if (callable_ != nullptr) callable_->AddReference();
}

TCXCallback::TCXCallback(const TCXCallback& other) : callable_(other.callable_) {
  if (callable_ != nullptr) callable_->AddReference();
}

TCXCallback& TCXCallback::operator=(const TCXCallback& other) {
  // Taking the new reference first keeps self-assignment safe.
  TCXCallbackBase* const callable = other.callable_;
  if (callable != nullptr) callable->AddReference();
  Reset();
  callable_ = callable;
  return *this;
}

TCXCallback& TCXCallback::operator=(TCXCallback&& other) noexcept {
  if (this != &other) {
    Reset();
    callable_ = std::exchange(other.callable_, nullptr);
  }
  return *this;
}

TCXCallback::~TCXCallback() { Reset(); }

void TCXCallback::Reset() {
  if (callable_ != nullptr) std::exchange(callable_, nullptr)->ReleaseReference();
}

int TCXCallback::Invoke(intptr_t argument) const {
  return callable_ != nullptr ? callable_->Invoke(argument) : -1;
}
