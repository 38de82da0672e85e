// What every benchmark program shares: the size it runs at and its temporary folders.
//
// `make bench` runs each benchmark at its full size. `make bench-ci` sets KESTRO_BENCH_SMALL=1,
// and each benchmark then runs once on a small input, so that a set-up that no longer works (a
// seeding the schema refuses, a file that stopped parsing) fails CI instead of rotting unseen.
#pragma once

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>

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

// A new folder under /tmp, removed with everything in it when the object goes; an empty path
// when none could be made.
class BenchTempFolder {
 public:
  explicit BenchTempFolder(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~BenchTempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  BenchTempFolder(const BenchTempFolder&) = delete;
  BenchTempFolder& operator=(const BenchTempFolder&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};
