// An allocator whose containers leave new elements of trivial types uninitialised: for buffers
// that are written over in full at once, where zeroing first would be a wasted pass.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace Qel {

template <typename T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  template <typename U>
  struct rebind {  // NOLINT(readability-identifier-naming): the allocator interface's name
    using other = DefaultInitAllocator<U>;  // NOLINT(readability-identifier-naming)
  };
  using std::allocator<T>::allocator;

  // The allocator interface's names.
  template <typename U>
  // NOLINTNEXTLINE(readability-identifier-naming)
  void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U, typename... Args>
  // NOLINTNEXTLINE(readability-identifier-naming)
  void construct(U* at, Args&&... args) {
    std::allocator_traits<std::allocator<T>>::construct(static_cast<std::allocator<T>&>(*this), at,
                                                        std::forward<Args>(args)...);
  }
};

}  // namespace Qel
