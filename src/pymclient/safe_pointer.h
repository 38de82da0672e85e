// Weak pointers that go null when their target dies: a target keeps the list of the safe pointers
// that point at it and clears them when it is destroyed, or earlier when its owner says so.
// Neither side locks; a target and its pointers belong to one thread at a time.
#pragma once

template <class T>
class SafePointer;

template <class T>
class SafePointerTarget {
 public:
  SafePointerTarget() = default;
  // A copy is a new target: the pointers stay with the original.
  SafePointerTarget(const SafePointerTarget&) {}
  SafePointerTarget& operator=(const SafePointerTarget&) { return *this; }
  ~SafePointerTarget() { ClearSafePointers(); }

  // Every safe pointer registered on the target becomes null and leaves the list.
  void ClearSafePointers() {
    while (first_ != nullptr) first_->Reset();
  }

 private:
  friend class SafePointer<T>;
  SafePointer<T>* first_ = nullptr;
};

template <class T>
class SafePointer {
 public:
  SafePointer() = default;
  explicit SafePointer(T* target) { Set(target); }
  SafePointer(const SafePointer& other) { Set(other.target_); }
  SafePointer& operator=(const SafePointer& other) {
    if (this != &other) Set(other.target_);
    return *this;
  }
  ~SafePointer() { Reset(); }

  void Set(T* target) {
    Reset();
    if (target == nullptr) return;
    SafePointerTarget<T>& list = *target;
    target_ = target;
    next_ = list.first_;
    if (next_ != nullptr) next_->prev_ = this;
    list.first_ = this;
  }
  void Reset() {
    if (target_ == nullptr) return;
    SafePointerTarget<T>& list = *target_;
    (prev_ != nullptr ? prev_->next_ : list.first_) = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
    target_ = nullptr;
    prev_ = next_ = nullptr;
  }
  T* Get() const { return target_; }

 private:
  T* target_ = nullptr;
  SafePointer* prev_ = nullptr;
  SafePointer* next_ = nullptr;
};
