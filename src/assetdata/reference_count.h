// Counted objects and the owning handle that holds them.
//
// A counted object starts with one reference, owned by whoever made it; the last release destroys
// it through DeleteThis. It is never deleted directly.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/invariant.h"
#include "qel/critical_section.h"
#include "qel/types.h"

class ReferenceCountMP {
 public:
  ReferenceCountMP() : count_(1) {}
  ReferenceCountMP(const ReferenceCountMP&) = delete;
  ReferenceCountMP& operator=(const ReferenceCountMP&) = delete;

  virtual void DeleteThis() { delete this; }

  // A reference is only ever taken from one already held: the skip below relies on it.
  void AddReference() const {
    const i32 count = count_.Increment();
    KESTRO_ASSERT(count > 1);
    (void)count;
  }
  void ReleaseReference() const {
    // A count of 1 is the caller's own reference: no other thread can hold or take one, so the
    // atomic decrement, a large part of freeing a big tree, is skipped. A count below 1 would be
    // a release of a reference nobody holds.
    const i32 count = count_.Get();
    KESTRO_ASSERT(count >= 1);
    if (count == 1 || count_.Decrement() == 0) {
      const_cast<ReferenceCountMP*>(this)->DeleteThis();
    }
  }
  i32 GetReferenceCount() const { return count_.Get(); }

 protected:
  virtual ~ReferenceCountMP() = default;

 private:
  mutable Qel::ProtectedLong count_;
};

// One pointer to a counted object, possibly null. Copies take a reference, destruction releases.
template <class T>
class MPRef {
 public:
  MPRef() = default;
  MPRef(std::nullptr_t) {}  // NOLINT(runtime/explicit): null converts like a pointer
  // Takes a new reference to an object somebody else already holds.
  explicit MPRef(T* object) : p_(object) {
    if (p_) p_->AddReference();
  }
  MPRef(const MPRef& other) : p_(other.p_) {
    if (p_) p_->AddReference();
  }
  MPRef(MPRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  MPRef(const MPRef<U>& other) : p_(other.Get()) {  // NOLINT(runtime/explicit)
    if (p_) p_->AddReference();
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  MPRef(MPRef<U>&& other) noexcept : p_(other.Detach()) {}  // NOLINT(runtime/explicit)
  ~MPRef() {
    if (p_) p_->ReleaseReference();
  }

  // The new object is referenced before the old one is released, so self-assignment and
  // assigning a child of the old object are safe.
  MPRef& operator=(const MPRef& other) {
    Reset(other.p_);
    return *this;
  }
  MPRef& operator=(MPRef&& other) noexcept {
    if (this != &other) {
      T* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      if (old) old->ReleaseReference();
    }
    return *this;
  }
  MPRef& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  // Takes over the reference the caller holds (the one a new object is made with).
  static MPRef Adopt(T* object) {
    MPRef ref;
    ref.p_ = object;
    return ref;
  }

  void Reset(T* object = nullptr) {
    if (object) object->AddReference();
    T* old = std::exchange(p_, object);
    if (old) old->ReleaseReference();
  }
  // Gives up the pointer without releasing it; the caller now owns that reference.
  T* Detach() { return std::exchange(p_, nullptr); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  friend bool operator==(const MPRef& a, const MPRef& b) { return a.p_ == b.p_; }
  friend bool operator==(const MPRef& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// A new counted object held by the returned handle alone.
template <class T, class... Args>
MPRef<T> MakeMP(Args&&... args) {
  return MPRef<T>::Adopt(new T(std::forward<Args>(args)...));
}
