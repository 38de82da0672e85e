// Folder listing: a snapshot taken at construction, sorted by name without regard to case.
#pragma once

#include <string>
#include <vector>

#include "qel/file.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class File::Find {
 public:
  // Lists the entries of folder (resolved like every path; empty means the working folder) whose
  // names match pattern ('*' and '?', case-insensitive; "*.*" matches every name). "." and ".."
  // come first when they match. The folder is taken by its literal name, wildcards included.
  explicit Find(const char* folder, const char* pattern = "*");

  // Moves to the next entry; false past the last one. Call it before the first entry.
  bool Next();
  const String& GetName() const;
  // Symbolic links are never folders here, so walks do not follow them.
  bool IsFolder() const;
  bool IsLink() const;
  // The file's size (a link's target size for a link to a file); 0 for folders.
  u64 GetSize() const;

  size_t Count() const { return entries_.size(); }
  // False when the folder could not be listed.
  bool Ok() const { return ok_; }

  static bool MatchPattern(const char* pattern, const char* name);

 private:
  struct Entry {
    String name;
    u64 size = 0;
    bool folder = false;
    bool link = false;
  };
  std::vector<Entry> entries_;
  size_t next_ = 0;  // one past the current entry
  bool ok_ = false;
};

// The entry names of one folder, read once, for a caller that asks about several names in it:
// whether a name is there, case ignored as path resolution ignores it, without reading the folder
// again for each question or examining each entry as Find does.
class File::Names {
 public:
  // The folder resolved like every path; a folder that cannot be read holds no names.
  explicit Names(const char* folder);
  bool Contains(const char* name) const;

 private:
  std::vector<std::string> names_;
};

}  // namespace Qel
