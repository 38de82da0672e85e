// Checks of the program's own invariants (a lock held, an index in range). They are compiled
// into the test build, where a broken invariant stops the run at once with its place; release
// builds drop them. Bytes from outside (files, peers, users) are never checked with this:
// they get a checked return and an error message.
#pragma once

#if defined(KESTRO_INVARIANTS)
#include <cstdio>
#include <cstdlib>

#define KESTRO_ASSERT(condition)                                                             \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)
#else
#define KESTRO_ASSERT(condition) \
  do {                           \
    (void)sizeof(condition);     \
  } while (false)
#endif
