#include "daemon/asset_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

#include "assetdata/kuid_table.h"
#include "assetdata/safe_folder.h"
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

// The entries of the open folder `fd` (which stays open) sorted by name without regard to case;
// links to folders count as files. The entry's kind comes from the listing itself, asked of the
// file system only where the listing does not say.
bool ListOpenFolder(int fd, std::vector<Entry>& out) {
  out.clear();
  const int own = dup(fd);
  DIR* dir = own >= 0 ? fdopendir(own) : nullptr;
  if (dir == nullptr) {
    if (own >= 0) close(own);
    return false;
  }
  rewinddir(dir);
  while (dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      isFolder = S_ISDIR(st.st_mode);
    }
    out.push_back({name, isFolder});
  }
  closedir(dir);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
    const int c = strcasecmp(a.name.c_str(), b.name.c_str());
    return c != 0 ? c < 0 : a.name < b.name;
  });
  return true;
}

int OpenFolder(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// An open folder, closed when it goes.
class FolderHandle {
 public:
  explicit FolderHandle(int fd) : fd_(fd) {}
  ~FolderHandle() {
    if (fd_ >= 0) close(fd_);
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

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

// `name` in the open folder `folderFd`; `path` names it in messages. Opened without waiting: a
// named pipe would hold the open until a writer came.
bool ReadWholeFile(int folderFd, const std::string& name, const std::string& path,
                   std::vector<u8>& out, u64& mtime, std::string& reason) {
  const int fd = openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

bool LoadConfig(int folderFd, const std::string& name, const std::string& path, bool binary,
                Soup& soup, u64& mtime, std::string& reason) {
  std::vector<u8> bytes;
  if (!ReadWholeFile(folderFd, name, path, bytes, mtime, reason)) return false;
  if (binary) {
    Qel::DynamicBuffer buffer;
    if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
    buffer.SetPosition(0);
    TBuffer stream(&buffer, false);
    if (!ReadSoupTree(stream, soup)) {
      reason = "not a binary soup: " + path;
      return false;
    }
    // Read as empty, it would be refused for the KUID it seems to lack.
    bool tooDeep = false;
    if (!soup.GetRoot() && bytes.size() > kSoupHeaderSize &&
        !ValidateSoupBody(bytes.data() + kSoupHeaderSize, u32(bytes.size() - kSoupHeaderSize),
                          &tooDeep) &&
        tooDeep) {
      reason = "tags nested deeper than " + std::to_string(kMaxSoupDepth) + " levels: " + path;
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

// The bytes of the files below the open folder `fd`, which it closes; links are counted as links,
// never followed.
u64 FolderBytes(int fd, int depth = 0) {
  DIR* dir = depth <= kMaxAssetFolderDepth ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    close(fd);
    return 0;
  }
  // A duplicate shares its offset with the descriptor it came from, which a listing may have
  // left at the end.
  rewinddir(dir);
  u64 total = 0;
  while (dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = e->d_type;
    struct stat st;
    bool stated = false;
    if (type == DT_UNKNOWN) {
      if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      stated = true;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_DIR) {
      const int inner = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (inner >= 0) total += FolderBytes(inner, depth + 1);
    } else if (type == DT_REG) {
      if (stated || fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(st.st_mode)) total += u64(st.st_size);
      }
    }
  }
  closedir(dir);
  return total;
}

// ReadAssetFolder over a folder already open and listed.
bool ReadOpenAssetFolder(int folderFd, const std::vector<Entry>& entries,
                         const std::string& folderPath, const std::string& folderName,
                         const std::string& relativePath, ScannedAsset& out, std::string& reason,
                         ConfigOrder order = ConfigOrder::kBinaryFirst);

}  // namespace

bool ReadAssetFolder(const std::string& folderPath, const std::string& folderName,
                     const std::string& relativePath, ScannedAsset& out, std::string& reason,
                     ConfigOrder order) {
  const FolderHandle folder(OpenFolder(folderPath));
  std::vector<Entry> entries;
  if (folder.Get() < 0 || !ListOpenFolder(folder.Get(), entries)) {
    reason = "cannot list " + folderPath;
    return false;
  }
  return ReadOpenAssetFolder(folder.Get(), entries, folderPath, folderName, relativePath, out,
                             reason, order);
}

namespace {

bool ReadOpenAssetFolder(int folderFd, const std::vector<Entry>& entries,
                         const std::string& folderPath, const std::string& folderName,
                         const std::string& relativePath, ScannedAsset& out, std::string& reason,
                         ConfigOrder order) {
  // The install of a folder keeps its text form alone when it has one, so that is what it reads.
  const std::string textName = FindFile(entries, kTextConfig);
  const std::string binaryName = order == ConfigOrder::kTextFirst && !textName.empty()
                                     ? std::string()
                                     : FindFile(entries, kBinaryConfig);
  Soup config;
  u64 mtime = 0;
  bool loaded = false;
  if (!binaryName.empty()) {
    loaded = LoadConfig(folderFd, binaryName, JoinPath(folderPath, binaryName), true, config,
                        mtime, reason);
  }
  out.warning.clear();
  if (!loaded && !textName.empty()) {
    const bool binaryFailed = !binaryName.empty();
    loaded = LoadConfig(folderFd, textName, JoinPath(folderPath, textName), false, config, mtime,
                        reason);
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
  const int forBytes = dup(folderFd);
  r.size = forBytes >= 0 ? FolderBytes(forBytes) : 0;
  struct stat st;
  r.installTime = (fstat(folderFd, &st) == 0 && st.st_mtime > 0) ? u64(st.st_mtime) : 0;
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

}  // namespace

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

void HashBytes(u64& hash, const void* data, size_t n) {
  const u8* p = static_cast<const u8*>(data);
  for (size_t i = 0; i < n; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ull;
  }
}

// The times and sizes that decide what the index holds for an asset folder: the folder's own
// time (the install time) and each configuration file's time and size.
void HashFileState(u64& hash, const struct stat& st) {
  const i64 words[] = {i64(st.st_mtim.tv_sec), i64(st.st_mtim.tv_nsec), i64(st.st_size)};
  HashBytes(hash, words, sizeof words);
}

// The part of the asset folder open as `folderFd`, listed as `entries`.
u64 AssetFolderPart(const std::string& key, int folderFd, const std::vector<Entry>& entries) {
  u64 hash = 0xcbf29ce484222325ull;
  HashBytes(hash, key.c_str(), key.size() + 1);
  struct stat st {};
  if (fstat(folderFd, &st) == 0) HashFileState(hash, st);
  for (const char* config : {kBinaryConfig, kTextConfig}) {
    const std::string name = FindFile(entries, config);
    HashBytes(hash, name.c_str(), name.size() + 1);
    if (!name.empty() && fstatat(folderFd, name.c_str(), &st, 0) == 0) HashFileState(hash, st);
  }
  return hash;
}

u64 ProblemPart(const std::string& problem) {
  u64 hash = 0xcbf29ce484222325ull;
  HashBytes(hash, problem.c_str(), problem.size() + 1);
  return hash;
}

bool IsAssetFolder(const std::string& relative, const std::vector<Entry>& entries) {
  return !relative.empty() &&
         (!FindFile(entries, kBinaryConfig).empty() || !FindFile(entries, kTextConfig).empty());
}

// What the walk found at one place of the tree. `order` is the place in the depth-first walk in
// name order: the index of each folder on the way among its parent's entries, so that results
// found side by side sort back into the order one walk would have given.
struct Found {
  std::vector<u32> order;
  std::string key;  // the fingerprint key; "!" and the problem for a folder that cannot be listed
  u64 part = 0;
  bool listed = false;  // an asset folder (else a folder that could not be listed)
  bool read = false;    // its asset was read into `asset`, else `problem` says why not
  ScannedAsset asset;
  std::string problem;
};

// Walks every content folder of `roots` (path and name) on up to eight threads: each folder is
// listed once, an asset folder's part of the fingerprint is taken from the open folder before its
// configuration is read (so that a change during the walk shows at the next start), and with
// `readAssets` its asset is read from the same listing. Results come back in walk order.
std::vector<Found> WalkContent(const std::vector<std::pair<std::string, std::string>>& roots,
                               bool readAssets) {
  struct Job {
    size_t root;
    std::string relative;
    std::vector<u32> order;
  };
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<Job> pending;
  size_t unfinished = roots.size();
  for (size_t i = roots.size(); i-- > 0;) pending.push_back({i, std::string(), {u32(i)}});
  std::vector<std::vector<Found>> results;

  auto work = [&](std::vector<Found>& out) {
    std::vector<Entry> entries;
    std::vector<Job> children;
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return !pending.empty() || unfinished == 0; });
        if (pending.empty()) return;
        job = std::move(pending.back());
        pending.pop_back();
      }
      const auto& [rootPath, folderName] = roots[job.root];
      const std::string path = JoinPath(rootPath, job.relative);
      const FolderHandle folder(OpenFolder(path));
      children.clear();
      if (folder.Get() < 0 || !ListOpenFolder(folder.Get(), entries)) {
        if (!job.relative.empty()) {
          Found& f = out.emplace_back();
          f.order = std::move(job.order);
          f.problem = "cannot list " + path;
          f.key = "!" + f.problem;
          f.part = ProblemPart(f.problem);
        }
      } else if (IsAssetFolder(job.relative, entries)) {
        Found& f = out.emplace_back();
        f.order = std::move(job.order);
        f.key = FingerprintKey(folderName, job.relative);
        f.part = AssetFolderPart(f.key, folder.Get(), entries);
        f.listed = true;
        if (readAssets) {
          f.read = ReadOpenAssetFolder(folder.Get(), entries, path, folderName, job.relative,
                                       f.asset, f.problem);
        }
      } else {
        for (size_t i = entries.size(); i-- > 0;) {
          if (!entries[i].isFolder) continue;
          std::vector<u32> order = job.order;
          order.push_back(u32(i));
          children.push_back({job.root, JoinPath(job.relative, entries[i].name), std::move(order)});
        }
      }
      bool finished = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        unfinished += children.size();
        finished = --unfinished == 0;
        for (Job& child : children) pending.push_back(std::move(child));
      }
      if (finished || children.size() > 1) {
        wake.notify_all();
      } else if (!children.empty()) {
        wake.notify_one();
      }
    }
  };

  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  results.resize(threads);
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work, std::ref(results[t]));
  work(results[0]);
  for (std::thread& helper : helpers) helper.join();

  std::vector<Found> all;
  size_t total = 0;
  for (const auto& r : results) total += r.size();
  all.reserve(total);
  for (auto& r : results) {
    for (Found& f : r) all.push_back(std::move(f));
    r = std::vector<Found>();
  }
  std::sort(all.begin(), all.end(),
            [](const Found& a, const Found& b) { return a.order < b.order; });
  return all;
}

std::vector<std::pair<std::string, std::string>> ContentRoots(
    const std::string& userData, const std::vector<std::string>& folderNames) {
  std::vector<std::pair<std::string, std::string>> roots;
  for (const std::string& name : folderNames) roots.emplace_back(userData + "/" + name, name);
  return roots;
}

}  // namespace

void ScanContentFolders(const std::string& userData, const std::vector<std::string>& folderNames,
                        std::vector<ScannedAsset>& out, std::vector<std::string>& problems,
                        FingerprintParts& parts) {
  std::vector<Found> found = WalkContent(ContentRoots(userData, folderNames), true);
  out.reserve(out.size() + found.size());
  for (Found& f : found) {
    parts[f.key] = f.part;
    if (f.read) {
      out.push_back(std::move(f.asset));
    } else {
      problems.push_back(std::move(f.problem));
    }
  }
}

void FingerprintContentFolders(const std::string& userData,
                               const std::vector<std::string>& folderNames,
                               FingerprintParts& parts) {
  for (Found& f : WalkContent(ContentRoots(userData, folderNames), false)) parts[f.key] = f.part;
}

std::string FingerprintKey(const std::string& folderName, const std::string& relativePath) {
  return folderName + "/" + relativePath;
}

bool FingerprintAssetFolder(const std::string& rootPath, const std::string& folderName,
                            const std::string& relativePath, u64& part) {
  const std::string path = JoinPath(rootPath, relativePath);
  std::vector<Entry> entries;
  // The walk never follows a link to a folder, so a link has no part either.
  struct stat st {};
  if (relativePath.empty() || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const FolderHandle folder(OpenFolder(path));
  if (folder.Get() < 0 || !ListOpenFolder(folder.Get(), entries) ||
      !IsAssetFolder(relativePath, entries)) {
    return false;
  }
  part = AssetFolderPart(FingerprintKey(folderName, relativePath), folder.Get(), entries);
  return true;
}

}  // namespace PymDaemonSrv
