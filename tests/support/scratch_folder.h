// Scratch folders, whole-file reads and log capture shared by the test suites. The helpers use
// the standard library so that they share no faults with the file code under test.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

#include "qel/log.h"

namespace scratch {

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder in the system's temporary folder, removed with its contents.
class Folder {
 public:
  Folder() {
    std::string name = (std::filesystem::temp_directory_path() / "kestro_test_XXXXXX").string();
    if (mkdtemp(name.data())) path_ = name;
  }
  ~Folder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::string& path() const { return path_; }
  std::string At(const std::string& rel) const { return path_ + "/" + rel; }
  std::string Read(const std::string& rel) const { return ReadAll(At(rel)); }
  std::set<std::string> Names(const std::string& rel = "") const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(At(rel))) {
      names.insert(e.path().filename().string());
    }
    return names;
  }
  // Writes the file, making its folders first.
  void Put(const std::string& rel, const std::string& content = "") const {
    std::filesystem::create_directories(std::filesystem::path(At(rel)).parent_path());
    std::ofstream(At(rel), std::ios::binary) << content;
  }

 private:
  std::string path_;
};

// What the engine log receives while `body` runs; afterwards the log discards, its default.
inline std::string CaptureLog(const std::function<void()>& body) {
  Folder folder;
  const std::string path = folder.At("captured.log");
  if (!Qel::Log::SetToFile(path.c_str())) return "<log not captured>";
  body();
  Qel::Log::SetToStdOut(false);
  return ReadAll(path);
}

// What the process writes to its standard output while `body` runs. Google Test's own capture
// writes into "/tmp/" whatever TMPDIR says, and leaves its file there when the process is killed
// while it captures (a forked tool or daemon): this one writes into the temporary folder, into a
// file whose name is gone once it is open.
inline std::string CaptureStdout(const std::function<void()>& body) {
  std::string path = (std::filesystem::temp_directory_path() / "kestro_stdout_XXXXXX").string();
  const int fd = mkstemp(path.data());
  if (fd < 0) return "<standard output not captured>";
  unlink(path.c_str());
  std::fflush(nullptr);
  const int saved = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  body();
  std::fflush(nullptr);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, off_t(out.size()))) > 0;) {
    out.append(buffer, size_t(n));
  }
  close(fd);
  return out;
}

}  // namespace scratch
