#include "qel/file_facts.h"

#include <cerrno>
#include <memory>
#include <unordered_map>

#include "qel/file.h"

namespace Qel {

namespace {

struct Status {
  int error = 0;  // 0, or the errno of the failed call
  struct stat st {};
};

struct Facts {
  std::unordered_map<std::string, Status> lstats;
  std::unordered_map<std::string, Status> stats;
  std::unordered_map<std::string, std::vector<std::string>> listings;
  std::unordered_map<std::string, std::string> contents;
  std::unordered_map<std::string, struct stat> opened;
  std::unordered_map<std::string, std::optional<std::string>> resolved;
};

thread_local int t_depth = 0;
thread_local std::unique_ptr<Facts> t_facts;
thread_local unsigned long long t_generation = 0;

bool Ask(std::unordered_map<std::string, Status>* known, const std::string& path,
         struct stat* st, int (*call)(const char*, struct stat*)) {
  struct stat local {};
  struct stat* out = st != nullptr ? st : &local;
  if (known == nullptr) return call(path.c_str(), out) == 0;
  auto [it, added] = known->try_emplace(path);
  Status& status = it->second;
  if (added) status.error = call(path.c_str(), &status.st) == 0 ? 0 : errno;
  if (status.error != 0) {
    errno = status.error;
    return false;
  }
  *out = status.st;
  return true;
}

int CallLstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int CallStat(const char* path, struct stat* st) { return ::stat(path, st); }

}  // namespace

FileFactsScope::FileFactsScope() {
  if (t_depth++ == 0) {
    t_facts = std::make_unique<Facts>();
    ++t_generation;
  }
}

FileFactsScope::~FileFactsScope() {
  if (--t_depth == 0) t_facts.reset();
}

void ForgetFileFacts() {
  if (t_facts) {
    *t_facts = Facts();
    ++t_generation;
  }
}

bool ReadWholeFile(const char* path, unsigned long long maxSize, std::string* bytes) {
  if (path == nullptr) return false;
  if (t_facts) {
    const auto it = t_facts->contents.find(path);
    if (it != t_facts->contents.end()) {
      if (it->second.size() > maxSize) return false;
      *bytes = it->second;
      return true;
    }
  }
  File file;
  if (file.Open(path, File::kModeRead) != 0) return false;
  const u64 size = file.GetLength();
  if (size > maxSize || size > 0xFFFFFFFFu) return false;
  bytes->resize(size_t(size));
  if (file.Read(bytes->data(), u32(size)) != size) return false;
  if (t_facts) t_facts->contents.emplace(path, *bytes);
  return true;
}

namespace file_facts {

bool Lstat(const std::string& path, struct stat* st) {
  return Ask(t_facts ? &t_facts->lstats : nullptr, path, st, &CallLstat);
}

bool Stat(const std::string& path, struct stat* st) {
  if (t_facts) {
    // An entry that is no link has the same status either way.
    const auto known = t_facts->lstats.find(path);
    if (known != t_facts->lstats.end() && known->second.error == 0 &&
        !S_ISLNK(known->second.st.st_mode)) {
      if (st != nullptr) *st = known->second.st;
      return true;
    }
  }
  return Ask(t_facts ? &t_facts->stats : nullptr, path, st, &CallStat);
}

void KeepResolved(const char* path, const std::optional<std::string>& resolved) {
  if (t_facts && path != nullptr) t_facts->resolved[path] = resolved;
}

const std::optional<std::string>* FindResolved(const char* path) {
  if (!t_facts || path == nullptr) return nullptr;
  const auto it = t_facts->resolved.find(path);
  return it == t_facts->resolved.end() ? nullptr : &it->second;
}

void KeepOpened(const std::string& path, const struct stat& st) {
  if (t_facts) t_facts->opened[path] = st;
}

const struct stat* FindOpened(const std::string& path) {
  if (!t_facts) return nullptr;
  const auto it = t_facts->opened.find(path);
  return it == t_facts->opened.end() ? nullptr : &it->second;
}

const std::vector<std::string>* FindListing(const std::string& folder) {
  if (!t_facts) return nullptr;
  const auto it = t_facts->listings.find(folder);
  return it == t_facts->listings.end() ? nullptr : &it->second;
}

unsigned long long Generation() { return t_facts ? t_generation : 0; }

void KeepListing(const std::string& folder, const std::vector<std::string>& names) {
  if (t_facts) t_facts->listings[folder] = names;
}

}  // namespace file_facts

}  // namespace Qel
