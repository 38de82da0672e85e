#include "qel/resource_database.h"

#include <atomic>

#include "qel/file.h"

namespace Qel {

namespace {

std::atomic<u32>& LiveCount() {
  static std::atomic<u32> count{0};
  return count;
}

}  // namespace

ResourceDatabase::ResourceDatabase(const PString& name, const String& folder)
    : name_(name), folder_(folder) {
  LiveCount().fetch_add(1);
}

ResourceDatabase::~ResourceDatabase() { LiveCount().fetch_sub(1); }

u32 ResourceDatabase::GetLiveCount() { return LiveCount().load(); }

bool ResourceDatabase::IsSafeName(const String& name) {
  if (name.IsEmpty()) return false;
  const char first = name[0];
  if (first == '/' || first == '\\') return false;
  if (name.Length() >= 2 && name[1] == ':') return false;  // a drive form names nothing here
  size_t start = 0;
  while (start <= name.Size()) {
    size_t end = start;
    while (end < name.Size() && name[end] != '/' && name[end] != '\\') ++end;
    if (end - start == 2 && name[start] == '.' && name[start + 1] == '.') return false;
    start = end + 1;
  }
  return true;
}

bool ResourceDatabase::GetFilePath(const String& name, String& path) const {
  if (!IsSafeName(name)) return false;
  String relative = name;
  for (size_t i = 0; i < relative.Size(); ++i) {
    if (relative[i] == '\\') relative[i] = '/';
  }
  path = folder_;
  if (!path.IsEmpty() && path[path.Size() - 1] != '/') path += '/';
  path += relative;
  return true;
}

bool ResourceDatabase::FindFile(const String& name, String& path) const {
  String joined;
  if (!GetFilePath(name, joined)) return false;
  String resolved = File::Resolve(joined.CStr());
  if (!File::Exists(resolved.CStr()) || File::IsFolder(resolved.CStr())) return false;
  // A link that leads out of the folder makes the file missing, as for an asset's validation.
  if (!folder_.IsEmpty() &&
      !File::IsBelowRealFolder(File::RealPath(folder_.CStr()), resolved.CStr())) {
    return false;
  }
  path = std::move(resolved);
  return true;
}

}  // namespace Qel
