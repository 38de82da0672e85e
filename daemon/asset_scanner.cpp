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
#include "assetdata/category.h"
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
  // Without waiting: a named pipe would hold the open until a writer came.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

// Appends each entry of the list that `out` lacks.
void AppendCategories(std::string& out, const std::string& list) {
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find(';', at);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(at, end - at);
    if (!entry.empty() && (";" + out + ";").find(";" + entry + ";") == std::string::npos) {
      if (!out.empty()) out += ';';
      out += entry;
    }
    at = end + 1;
  }
}

}  // namespace

std::string DeriveCategories(const std::string& kind, const std::string& type,
                             const std::string& classText) {
  std::string out;
  AppendCategories(out, KindToCategories(Qel::PString(kind.c_str()), Qel::PString(type.c_str()))
                            .CStr());
  size_t at = 0;
  while (at < classText.size()) {
    size_t end = classText.find(';', at);
    if (end == std::string::npos) end = classText.size();
    const std::string code = classText.substr(at, end - at);
    const Qel::String list = CategoryClassToCategories(kind.c_str(), Qel::String(code.c_str()));
    AppendCategories(out, list.IsEmpty() ? code : std::string(list.CStr()));
    at = end + 1;
  }
  return out;
}

namespace {

// The bytes of the files below `path`; links are counted as links, never followed.
u64 FolderBytes(const std::string& path, int depth = 0) {
  constexpr int kDeepest = 64;
  u64 total = 0;
  DIR* dir = depth <= kDeepest ? opendir(path.c_str()) : nullptr;
  if (dir == nullptr) return 0;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const std::string inner = path + "/" + name;
    if (lstat(inner.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      total += FolderBytes(inner, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      total += u64(st.st_size);
    }
  }
  closedir(dir);
  return total;
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
  r.categories = DeriveCategories(TagText(config, "kind"), TagText(config, "type"),
                                  TagText(config, "category-class"));
  r.region = TagText(config, "category-region");
  r.era = TagText(config, "category-era");
  r.keywords = TagText(config, "keywords");
  r.author = TagText(config, "author");
  r.description = TagText(config, "description");
  r.build = config.GetNamedTagAsFloat(Qel::PString("kestro-build"), 0.0f);
  r.modifyTime = mtime;
  r.size = FolderBytes(folderPath);
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

Soup DecodeConfig(const std::vector<u8>& bytes) {
  Soup soup;
  if (bytes.empty()) return soup;
  Qel::DynamicBuffer buffer;
  buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer stream(&buffer, false);
  ReadSoupTree(stream, soup);
  return soup;
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

namespace {

u64 AssetFolderPart(const std::string& key, const std::string& path,
                    const std::vector<Entry>& entries) {
  u64 hash = 0xcbf29ce484222325ull;
  HashBytes(hash, key.c_str(), key.size() + 1);
  HashFileState(hash, path);
  for (const char* config : {kBinaryConfig, kTextConfig}) {
    const std::string name = FindFile(entries, config);
    HashBytes(hash, name.c_str(), name.size() + 1);
    if (!name.empty()) HashFileState(hash, JoinPath(path, name));
  }
  return hash;
}

}  // namespace

std::string FingerprintKey(const std::string& folderName, const std::string& relativePath) {
  return folderName + "/" + relativePath;
}

void FingerprintContentFolder(const std::string& rootPath, const std::string& folderName,
                              FingerprintParts& parts) {
  std::vector<std::string> problems;
  WalkAssetFolders(
      rootPath, problems,
      [&](const std::string& path, const std::string& relative, const std::vector<Entry>& entries) {
        const std::string key = FingerprintKey(folderName, relative);
        parts[key] = AssetFolderPart(key, path, entries);
      });
  for (const std::string& p : problems) {
    u64 hash = 0xcbf29ce484222325ull;
    HashBytes(hash, p.c_str(), p.size() + 1);
    parts["!" + p] = hash;
  }
}

bool FingerprintAssetFolder(const std::string& rootPath, const std::string& folderName,
                            const std::string& relativePath, u64& part) {
  const std::string path = JoinPath(rootPath, relativePath);
  std::vector<Entry> entries;
  // The walk never follows a link to a folder, so a link has no part either.
  struct stat st {};
  if (relativePath.empty() || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      !ListFolder(path, entries) ||
      (FindFile(entries, kBinaryConfig).empty() && FindFile(entries, kTextConfig).empty())) {
    return false;
  }
  part = AssetFolderPart(FingerprintKey(folderName, relativePath), path, entries);
  return true;
}

}  // namespace PymDaemonSrv
