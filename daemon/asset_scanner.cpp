#include "daemon/asset_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "assetdata/kuid_table.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "assetdata/soup_text.h"
#include "core/buffer_stream.h"
#include "daemon/daemon_limits.h"
#include "pymclient/pym_filter_codes.h"
#include "qel/dynamic_buffer.h"

namespace PymDaemonSrv {

namespace {

namespace fc = PymFilterCodes;

constexpr const char* kBinaryConfig = "config.chump";
constexpr const char* kTextConfig = "config.txt";

struct Entry {
  std::string name;
  bool isFolder = false;
};

// The folder's entries sorted by name without regard to case; links to folders count as files.
bool ListFolder(const std::string& path, std::vector<Entry>& out) {
  out.clear();
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (lstat((path + "/" + name).c_str(), &st) != 0) continue;
    out.push_back({name, S_ISDIR(st.st_mode)});
  }
  closedir(dir);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
    const int c = strcasecmp(a.name.c_str(), b.name.c_str());
    return c != 0 ? c < 0 : a.name < b.name;
  });
  return true;
}

// The entry's own spelling of `name` among `entries` (files only), empty when absent.
std::string FindFile(const std::vector<Entry>& entries, const char* name) {
  for (const Entry& e : entries) {
    if (!e.isFolder && e.name == name) return e.name;
  }
  for (const Entry& e : entries) {
    if (!e.isFolder && strcasecmp(e.name.c_str(), name) == 0) return e.name;
  }
  return {};
}

bool ReadWholeFile(const std::string& path, std::vector<u8>& out, u64& mtime, std::string& reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason = "cannot open " + path;
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && u64(st.st_size) > kMaxConfigFileSize) {
    reason = "configuration too large: " + path;
    ok = false;
  } else if (!ok) {
    reason = "not a file: " + path;
  }
  if (ok) {
    mtime = st.st_mtime > 0 ? u64(st.st_mtime) : 0;
    out.resize(size_t(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = read(fd, out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += size_t(n);
    }
    // A file that shrank while it was read is taken as far as it went.
    out.resize(done);
  }
  close(fd);
  return ok;
}

bool LoadConfig(const std::string& path, bool binary, Soup& soup, u64& mtime, std::string& reason) {
  std::vector<u8> bytes;
  if (!ReadWholeFile(path, bytes, mtime, reason)) return false;
  if (binary) {
    Qel::DynamicBuffer buffer;
    if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
    buffer.SetPosition(0);
    TBuffer stream(&buffer, false);
    if (!ReadSoupTree(stream, soup)) {
      reason = "not a binary soup: " + path;
      return false;
    }
  } else {
    ParseSoupText(soup, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                  false);
  }
  return true;
}

std::string TagText(const Soup& soup, const char* name) {
  return std::string(soup.GetNamedTag(Qel::PString(name)).View());
}

// The KUIDs of a table whose children are named "0", "1", ...; null entries and repeats skipped.
std::vector<KUID> TableKuids(const Soup& config, const char* name) {
  KUIDList list;
  IndexedKUIDList indexed(list);
  ReadKuidTable(config.GetNamedSoup(Qel::PString(name)), indexed);
  std::vector<KUID> out;
  for (const KUID& kuid : list) out.push_back(kuid);
  return out;
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a.back() == '/' ? a + b : a + "/" + b;
}

}  // namespace

bool ReadAssetFolder(const std::string& folderPath, const std::string& folderName,
                     const std::string& relativePath, ScannedAsset& out, std::string& reason) {
  std::vector<Entry> entries;
  if (!ListFolder(folderPath, entries)) {
    reason = "cannot list " + folderPath;
    return false;
  }
  const std::string binaryName = FindFile(entries, kBinaryConfig);
  const std::string textName = FindFile(entries, kTextConfig);
  Soup config;
  u64 mtime = 0;
  bool loaded = false;
  if (!binaryName.empty()) {
    loaded = LoadConfig(JoinPath(folderPath, binaryName), true, config, mtime, reason);
  }
  out.warning.clear();
  if (!loaded && !textName.empty()) {
    const bool binaryFailed = !binaryName.empty();
    loaded = LoadConfig(JoinPath(folderPath, textName), false, config, mtime, reason);
    if (loaded && binaryFailed) {
      out.warning = binaryName + " cannot be read; its text form " + textName + " was used";
    }
  }
  if (!loaded) {
    if (reason.empty()) reason = "no configuration in " + folderPath;
    return false;
  }
  // A binary form that failed before the text form was read is a warning, not the result.
  reason.clear();

  AssetRecord& r = out.record;
  r = AssetRecord();
  r.kuid = config.GetNamedTagAsKUID(Qel::PString("kuid"), kNullKUID);
  if (r.kuid.IsNull() || !r.kuid.IsWellFormed()) {
    reason = "no valid \"kuid\" in " + folderPath;
    return false;
  }
  r.folder = folderName;
  r.path = relativePath;
  for (const char* tag : {"username", "name", "asset-filename"}) {
    r.name = TagText(config, tag);
    if (!r.name.empty()) break;
  }
  r.nameLower = r.name;
  for (char& c : r.nameLower) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  r.categories = TagText(config, "category-class");
  // Consists carry no class of their own; the tool finds them under "CN".
  if (r.categories.empty() && TagText(config, "kind") == "consist") r.categories = "CN";
  r.region = TagText(config, "category-region");
  r.era = TagText(config, "category-era");
  r.keywords = TagText(config, "keywords");
  r.author = TagText(config, "author");
  r.description = TagText(config, "description");
  r.build = config.GetNamedTagAsFloat(Qel::PString("kestro-build"), 0.0f);
  r.modifyTime = mtime;
  struct stat st;
  r.installTime = (stat(folderPath.c_str(), &st) == 0 && st.st_mtime > 0) ? u64(st.st_mtime) : 0;
  r.dependencies = TableKuids(config, "kuid-table");
  r.obsoletes = TableKuids(config, "obsolete-table");

  const bool editing = folderName == "editing";
  r.SetFlag(fc::kFlagLocal, true);
  r.SetFlag(fc::kFlagLocallyAvailable, true);
  r.SetFlag(fc::kFlagLocallyEnabled, true);
  r.SetFlag(fc::kFlagListingPrivilege, true);
  r.SetFlag(fc::kFlagCommitPrivilege, true);
  r.SetFlag(fc::kFlagCompatible, true);
  r.SetFlag(fc::kFlagValidName, !r.name.empty());
  r.SetFlag(fc::kFlagOpenForEdit, editing);
  r.SetFlag(fc::kFlagLocallyModified, editing);
  r.SetFlag(fc::kFlagFaulty, TagText(config, "kind").empty());
  r.SetFlag(fc::kFlagHasScriptSource, !TagText(config, "script").empty());

  Qel::DynamicBuffer buffer;
  TBuffer stream(&buffer, false);
  WriteSoup(stream, config);
  out.config.assign(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
  return true;
}

namespace {

// Visits every asset folder below `rootPath` depth-first in name order with its path, its path
// relative to the root and its entries; folders that cannot be listed go to `problems`.
template <class Visit>
void WalkAssetFolders(const std::string& rootPath, std::vector<std::string>& problems,
                      Visit visit) {
  // The stack holds paths relative to the root.
  std::vector<std::string> pending{""};
  std::vector<Entry> entries;
  while (!pending.empty()) {
    const std::string relative = std::move(pending.back());
    pending.pop_back();
    const std::string path = JoinPath(rootPath, relative);
    if (!ListFolder(path, entries)) {
      if (!relative.empty()) problems.push_back("cannot list " + path);
      continue;
    }
    if (!relative.empty() &&
        (!FindFile(entries, kBinaryConfig).empty() || !FindFile(entries, kTextConfig).empty())) {
      visit(path, relative, entries);
      continue;
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (it->isFolder) pending.push_back(JoinPath(relative, it->name));
    }
  }
}

void HashBytes(u64& hash, const void* data, size_t n) {
  const u8* p = static_cast<const u8*>(data);
  for (size_t i = 0; i < n; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ull;
  }
}

// The times and sizes that decide what the index holds for an asset folder: the folder's own
// time (the install time) and each configuration file's time and size.
void HashFileState(u64& hash, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return;
  const i64 words[] = {i64(st.st_mtim.tv_sec), i64(st.st_mtim.tv_nsec), i64(st.st_size)};
  HashBytes(hash, words, sizeof words);
}

}  // namespace

void ScanContentFolder(const std::string& rootPath, const std::string& folderName,
                       std::vector<ScannedAsset>& out, std::vector<std::string>& problems) {
  WalkAssetFolders(
      rootPath, problems,
      [&](const std::string& path, const std::string& relative, const std::vector<Entry>&) {
        ScannedAsset asset;
        std::string reason;
        if (ReadAssetFolder(path, folderName, relative, asset, reason)) {
          out.push_back(std::move(asset));
        } else {
          problems.push_back(reason);
        }
      });
}

void FingerprintContentFolder(const std::string& rootPath, u64& hash) {
  std::vector<std::string> problems;
  WalkAssetFolders(
      rootPath, problems,
      [&](const std::string& path, const std::string& relative, const std::vector<Entry>& entries) {
        HashBytes(hash, relative.c_str(), relative.size() + 1);
        HashFileState(hash, path);
        for (const char* config : {kBinaryConfig, kTextConfig}) {
          const std::string name = FindFile(entries, config);
          HashBytes(hash, name.c_str(), name.size() + 1);
          if (!name.empty()) HashFileState(hash, JoinPath(path, name));
        }
      });
  for (const std::string& p : problems) HashBytes(hash, p.c_str(), p.size() + 1);
}

}  // namespace PymDaemonSrv
