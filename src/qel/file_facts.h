// What the file service learnt of paths during one piece of work that asks the same questions
// many times and changes nothing meanwhile (one asset's validation): whether an entry exists and
// its status, and the names in a folder. While a FileFactsScope lives on a thread, the service
// answers those questions on that thread from what it learnt, and forgets it all when the
// outermost scope ends, when anything is written, created, renamed or removed through it, and at
// ForgetFileFacts. Other threads are not affected.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace Qel {

class FileFactsScope {
 public:
  FileFactsScope();
  ~FileFactsScope();
  FileFactsScope(const FileFactsScope&) = delete;
  FileFactsScope& operator=(const FileFactsScope&) = delete;
};

// For changes made past the file service (a rename of the system's own, another program).
void ForgetFileFacts();

// The whole file, opened for reading as File::Open does; false when it cannot be opened, holds
// more than maxSize bytes or is not read whole. While a scope lives, a file read whole before is
// not read again.
bool ReadWholeFile(const char* path, unsigned long long maxSize, std::string* bytes);

namespace file_facts {

// ::lstat and ::stat, from the facts when a scope lives; false (errno set) for no entry.
bool Lstat(const std::string& path, struct stat* st);
bool Stat(const std::string& path, struct stat* st);
// The status of a file as its open found it, kept by the path it was opened by when a scope
// lives; FindOpened gives it back (null when not kept), so that asking an open file for its
// length does not ask the system again.
void KeepOpened(const std::string& path, const struct stat& st);
const struct stat* FindOpened(const std::string& path);
// A path's resolution (File::Resolve without the drive form), kept by the path as given when a
// scope lives; FindResolved gives it back (null when not kept).
void KeepResolved(const char* path, const std::optional<std::string>& resolved);
const std::optional<std::string>* FindResolved(const char* path);
// The folder's names as a listing found them, when a scope lives and learnt them; else null.
const std::vector<std::string>* FindListing(const std::string& folder);
// Keeps a listing of the folder when a scope lives.
void KeepListing(const std::string& folder, const std::vector<std::string>& names);
// 0 when no scope lives; else a number that stays the same exactly as long as the facts stand,
// for what keeps facts of its own (a folder search's entries).
unsigned long long Generation();

}  // namespace file_facts

}  // namespace Qel
