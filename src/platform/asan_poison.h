// Marks memory that a pool keeps but nobody may read, for AddressSanitizer: a use after the pool
// took it back is then caught although the memory was never given to the heap. Without the
// sanitizer both calls compile to nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KESTRO_ASAN_POISONING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define KESTRO_ASAN_POISONING 1
#endif
#endif

namespace Platform {

inline void PoisonMemory(const volatile void* memory, size_t size) {
#if defined(KESTRO_ASAN_POISONING)
  __asan_poison_memory_region(memory, size);
#endif
  (void)memory;
  (void)size;
}

inline void UnpoisonMemory(const volatile void* memory, size_t size) {
#if defined(KESTRO_ASAN_POISONING)
  __asan_unpoison_memory_region(memory, size);
#endif
  (void)memory;
  (void)size;
}

}  // namespace Platform
