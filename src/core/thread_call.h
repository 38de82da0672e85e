// Counted callables handed between threads, and the value handle that carries them.
#pragma once

#include <cstdint>

#include "qel/critical_section.h"
#include "qel/types.h"

// A callable shared by every handle that holds it; the last handle to let go destroys it.
// The argument is pointer-sized because callers pass object addresses through it.
class TCXCallbackBase {
 public:
  TCXCallbackBase() = default;
  virtual ~TCXCallbackBase() = default;
  TCXCallbackBase(const TCXCallbackBase&) = delete;
  TCXCallbackBase& operator=(const TCXCallbackBase&) = delete;

  virtual int Invoke(intptr_t argument);

  void AddReference();
  // Destroys the callable when this was the last reference.
  void ReleaseReference();
  u32 GetReferenceCount();

 private:
  Qel::CriticalSection lock_;
  u32 references_ = 0;
};

// Calls a member function of T on one object; the result is always 0.
template <class T>
class TCXCallbackCPPVoidPtr final : public TCXCallbackBase {
 public:
  using Method = void (T::*)(intptr_t);

  TCXCallbackCPPVoidPtr(T* object, Method method) : object_(object), method_(method) {}

  int Invoke(intptr_t argument) override {
    if (object_ == nullptr || method_ == nullptr) return -1;
    (object_->*method_)(argument);
    return 0;
  }

 private:
  T* object_;
  Method method_;
};

// Calls a plain function and returns its result.
class TCXCallbackCIntPtr final : public TCXCallbackBase {
 public:
  using Function = int (*)(intptr_t);

  explicit TCXCallbackCIntPtr(Function function) : function_(function) {}

  int Invoke(intptr_t argument) override { return function_ != nullptr ? function_(argument) : -1; }

 private:
  Function function_;
};

// A value handle on one counted callable, or on none. Copies share the callable.
class TCXCallback {
 public:
  TCXCallback() = default;
  // Takes a reference on a callable created with new (null gives an empty handle).
  explicit TCXCallback(TCXCallbackBase* callable);
  template <class T>
  TCXCallback(T* object, typename TCXCallbackCPPVoidPtr<T>::Method method)
      : TCXCallback(new TCXCallbackCPPVoidPtr<T>(object, method)) {}
  explicit TCXCallback(TCXCallbackCIntPtr::Function function)
      : TCXCallback(new TCXCallbackCIntPtr(function)) {}

  TCXCallback(const TCXCallback& other);
  TCXCallback(TCXCallback&& other) noexcept : callable_(other.callable_) {
    other.callable_ = nullptr;
  }
  TCXCallback& operator=(const TCXCallback& other);
  TCXCallback& operator=(TCXCallback&& other) noexcept;
  ~TCXCallback();

  bool IsSet() const { return callable_ != nullptr; }
  // The callable's result, or -1 when the handle is empty.
  int Invoke(intptr_t argument) const;
  void Reset();

 private:
  TCXCallbackBase* callable_ = nullptr;
};
