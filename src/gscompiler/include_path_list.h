// The folders in which the compiler looks for units, in search order.
#pragma once

#include <vector>

#include "qel/file.h"
#include "qel/pstring.h"
#include "qel/types.h"

struct IncludePath {
  Qel::File::Path folder;
  // The file-system root in which the folder is resolved; empty for folders the user gives.
  Qel::PString rootName;
};

class IncludePathList {
 public:
  void Add(const IncludePath& entry) { entries_.push_back(entry); }
  void Add(const char* folder, const Qel::PString& rootName) {
    entries_.push_back(IncludePath{Qel::File::Path(folder), rootName});
  }
  // Searched before every entry already in the list.
  void AddFront(const IncludePath& entry) { entries_.insert(entries_.begin(), entry); }
  void Clear() { entries_.clear(); }

  u32 Count() const { return static_cast<u32>(entries_.size()); }
  const IncludePath& operator[](u32 i) const { return entries_[i]; }
  std::vector<IncludePath>::const_iterator begin() const { return entries_.begin(); }
  std::vector<IncludePath>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<IncludePath> entries_;
};
