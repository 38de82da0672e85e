#include "platform/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace Platform {

namespace {

// Makes `path` when missing and accepts it only as a real folder of ours, closed to others.
bool OwnFolder(const std::string& path) {
  ::mkdir(path.c_str(), 0700);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return false;
  }
  return (st.st_mode & 0077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

std::string AbsoluteFolderOf(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || value[0] != '/') return {};
  std::string folder = value;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

std::string UserRuntimeFolder() {
  std::string temp = AbsoluteFolderOf("TMPDIR");
  if (temp.empty()) temp = "/tmp";
  const std::string shared = temp + "/kestro-" + std::to_string(::geteuid());
  if (OwnFolder(shared)) return shared;
  const std::string home = AbsoluteFolderOf("HOME");
  if (!home.empty() && OwnFolder(home + "/.kestro-run")) return home + "/.kestro-run";
  return {};
}

}  // namespace Platform
