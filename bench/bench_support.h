// The size a benchmark program runs at. Its temporary folders are scratch::Folder
// (tests/support/scratch_folder.h), removed with what they hold.
//
// `make bench` runs each benchmark at its full size. `make bench-ci` sets KESTRO_BENCH_SMALL=1,
// and each benchmark then runs once on a small input, so that a set-up that no longer works (a
// seeding the schema refuses, a file that stopped parsing) fails CI instead of rotting unseen.
#pragma once

#include <cstdlib>
#include <cstring>

inline bool BenchIsSmall() {
  static const bool small = [] {
    const char* value = std::getenv("KESTRO_BENCH_SMALL");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
  }();
  return small;
}

// `full` normally, `small` under `make bench-ci`.
template <class T>
T BenchSize(T full, T small) {
  return BenchIsSmall() ? small : full;
}
