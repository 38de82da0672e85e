#include "qel/file_volume.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "qel/file.h"

namespace Qel {

namespace {

struct Volume {
  PString name;
  std::string folder;
};

struct VolumeTable {
  std::mutex mutex;
  std::vector<Volume> volumes;
};

// Never destroyed: loaders may still ask for a volume while the process ends.
VolumeTable& Table() {
  static VolumeTable* table = new VolumeTable;
  return *table;
}

std::vector<Volume>::iterator Find(std::vector<Volume>& volumes, const PString& name) {
  return std::find_if(volumes.begin(), volumes.end(),
                      [&](const Volume& v) { return v.name.EqualsIgnoreCase(name); });
}

}  // namespace

void SetVolume(const PString& name, const char* folder) {
  if (name.IsEmpty()) return;
  VolumeTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = Find(table.volumes, name);
  if (!folder || !*folder) {
    if (it != table.volumes.end()) table.volumes.erase(it);
    return;
  }
  std::string text(folder);
  std::replace(text.begin(), text.end(), '\\', '/');
  if (it != table.volumes.end()) {
    it->folder = std::move(text);
  } else {
    table.volumes.push_back({name, std::move(text)});
  }
}

String GetVolume(const PString& name) {
  if (name.IsEmpty()) return String();
  VolumeTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = Find(table.volumes, name);
  return it == table.volumes.end() ? String() : String(it->folder);
}

String PathInVolume(const PString& volume, const char* path) {
  if (volume.IsEmpty()) return String(path ? path : "");
  const String folder = GetVolume(volume);
  return File::InFolder(folder.IsEmpty() ? volume : folder.ToPString(), path);
}

}  // namespace Qel
