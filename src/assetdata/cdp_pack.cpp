#include "assetdata/cdp_pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/safe_folder.h"
#include "assetdata/soup_tree.h"
#include "platform/byte_order.h"
#include "qel/file_path.h"
#include "qel/lzss.h"

namespace {

// Fast enough to beat a general-purpose archiver on the round trip; the higher levels gain
// little on typical asset files.
constexpr int kPackLevel = 3;

// What tells, without reading it again, that a file or folder is still the one that was listed:
// writing it, replacing it or renaming another into its place changes at least one of these.
struct FileStamp {
  u64 device = 0;
  u64 inode = 0;
  u32 mode = 0;
  u64 size = 0;
  i64 modified = 0;  // nanoseconds since 1970
  i64 changed = 0;   // the status change time, in nanoseconds
  bool operator==(const FileStamp&) const = default;
};

FileStamp Stamp(const struct stat& st) {
  FileStamp s;
  s.device = u64(st.st_dev);
  s.inode = u64(st.st_ino);
  s.mode = u32(st.st_mode);
  s.size = u64(st.st_size);
  s.modified = i64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.changed = i64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

struct Entry {
  std::string name;
  FileStamp stamp;
  bool folder;
  // Neither a file nor a folder.
  bool other;
};

// Sorted, so that the same folder always packs to the same bytes. False when the folder, or an
// entry of it, cannot be read: a package short of it would pass for the whole asset. An entry
// gone since it was listed is left out; the listing after the files are read tells whether the
// asset changed.
bool ListFolder(const std::string& path, std::vector<Entry>& out) {
  std::vector<std::string> names;
  if (!ListFolderNames(path, names)) return false;
  for (const std::string& name : names) {
    struct stat st {};
    if (lstat((path + "/" + name).c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    const bool other = !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
    out.push_back({name, other ? FileStamp() : Stamp(st), S_ISDIR(st.st_mode), other});
  }
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return true;
}

enum class ReadOutcome : u8 { kRead, kRefused, kTooLarge, kChanged, kGone };

// The whole file as it was listed. Refused, with the system's reason in `error`, when it cannot
// be read; too large when it is larger than a package file may be; changed when it is no longer
// the file that was listed, or changes while it is read; gone when nothing has its name any more.
ReadOutcome ReadWhole(const std::string& path, const FileStamp& listed, std::vector<u8>& out,
                      int& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    error = errno;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return ReadOutcome::kGone;
    return Stamp(st) == listed ? ReadOutcome::kRefused : ReadOutcome::kChanged;
  }
  const auto stillListed = [&] {
    struct stat st {};
    return fstat(fd, &st) == 0 && Stamp(st) == listed;
  };
  ReadOutcome outcome = ReadOutcome::kRead;
  if (!stillListed()) {
    outcome = ReadOutcome::kChanged;
  } else if (listed.size > kMaxPackageFileSize) {
    outcome = ReadOutcome::kTooLarge;
  } else {
    out.resize(size_t(listed.size));
    for (size_t done = 0; outcome == ReadOutcome::kRead && done < out.size();) {
      const ssize_t n = read(fd, out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      // A file that ends early was cut short after it was listed.
      if (n < 0) error = errno;
      if (n <= 0) outcome = n == 0 ? ReadOutcome::kChanged : ReadOutcome::kRefused;
      if (n > 0) done += size_t(n);
    }
    if (outcome == ReadOutcome::kRead && !stillListed()) outcome = ReadOutcome::kChanged;
  }
  close(fd);
  return outcome;
}

MPRef<ACSRawDataCore> Encode(const std::vector<u8>& plain, const Qel::PString& compression) {
  if (compression != kCompressionLZSS)
    return ACSRawDataCore::CreateCopy(plain.data(), u32(plain.size()));
  const u32 size = u32(plain.size());
  const u64 capacity = 4 + Qel::LZSSCompress::MaxCompressedSize(size);
  u8* block = static_cast<u8*>(std::malloc(capacity));
  if (block == nullptr) return nullptr;
  ByteOrder::StoreLE32(block, size);
  const u32 packed = size == 0 ? 0
                               : Qel::LZSSCompress().CompressBlock(plain.data(), size, block + 4,
                                                                   u32(capacity - 4), kPackLevel);
  if (size != 0 && packed == 0) {
    std::free(block);
    return nullptr;
  }
  if (void* shrunk = std::realloc(block, 4 + packed)) block = static_cast<u8*>(shrunk);
  return ACSRawDataCore::CreateOwned(block, 4 + packed);
}

// The folder tree in the order the package lists it, walked before any file is read, so that
// the files can be compressed side by side and still be placed exactly where a walk that read
// them one by one would have placed them.
struct WalkStep {
  enum Kind : u8 { kEnter, kLeave, kFile, kSkip, kLeftOut, kUnreadable, kTooDeep };
  Kind kind;
  std::string name;      // kEnter, kFile: the entry's name
  std::string relative;  // all but kLeave: the path below the folder
  std::string path;      // kFile: the file to read; kUnreadable: the folder not listed
  FileStamp stamp;       // kEnter, kFile: the entry as listed
  int error = 0;         // kUnreadable: why
  bool operator==(const WalkStep&) const = default;
};

void Walk(const std::string& path, const std::string& relative, std::vector<WalkStep>& steps,
          u32 depth) {
  std::vector<Entry> entries;
  if (!ListFolder(path, entries)) {
    steps.push_back(
        {WalkStep::kUnreadable, {}, relative.empty() ? "." : relative, path, {}, errno});
    return;
  }
  for (const Entry& e : entries) {
    const std::string below = relative.empty() ? e.name : relative + "/" + e.name;
    if (depth == 0 && !e.folder && (e.name == "config.txt" || e.name == "config.chump")) continue;
    if (e.other) {
      steps.push_back({WalkStep::kLeftOut, {}, below, {}, {}});
    } else if (!IsValidPackageFileName(e.name)) {
      steps.push_back({WalkStep::kSkip, {}, below, {}, {}});
    } else if (e.folder) {
      if (depth >= u32(kMaxAssetFolderDepth)) {
        steps.push_back({WalkStep::kTooDeep, {}, below, {}, {}});
        continue;
      }
      steps.push_back({WalkStep::kEnter, e.name, below, {}, e.stamp});
      Walk(path + "/" + e.name, below, steps, depth + 1);
      steps.push_back({WalkStep::kLeave, {}, {}, {}, {}});
    } else {
      steps.push_back({WalkStep::kFile, e.name, below, path + "/" + e.name, e.stamp});
    }
  }
}

struct PackedFile {
  MPRef<ACSRawDataCore> block;
  u64 plainBytes = 0;
  bool ok = false;
  ReadOutcome read = ReadOutcome::kRead;
  int error = 0;  // why a refused file could not be read
  // Why the file is not the one listed: "changed", "was removed"; empty while it is.
  const char* changed = nullptr;
};

PackedFile PackFile(const WalkStep& step, const Qel::PString& compression) {
  PackedFile out;
  std::vector<u8> bytes;
  if (!IsPackageFileType(Qel::File::Path(step.name.c_str()))) return out;
  const ReadOutcome read = ReadWhole(step.path, step.stamp, bytes, out.error);
  out.read = read;
  if (read == ReadOutcome::kChanged) out.changed = "changed";
  if (read == ReadOutcome::kGone) out.changed = "was removed";
  if (read != ReadOutcome::kRead) return out;
  out.block = Encode(bytes, compression);
  // An empty stored file has no block at all.
  out.ok = out.block || (bytes.empty() && compression.IsEmpty());
  out.plainBytes = bytes.size();
  return out;
}

// The process's packing threads: one fewer than its cores, started at the first package and kept,
// so that a request pays for no thread start. However many packages are made at once, they share
// these; a request's own thread works on its files too and never waits for a helper that has not
// taken one of them, so a busy machine costs no more than one thread would.
class PackPool {
 public:
  static PackPool& Get() {
    static PackPool pool;
    return pool;
  }

  // Runs job(i) for every i below n, here and on the idle helpers; returns when all are done.
  void Run(size_t n, const std::function<void(size_t)>& job) {
    auto batch = std::make_shared<Batch>(n, job);
    if (!threads_.empty() && n > 1) {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(batch);
      wake_.notify_all();
    }
    Work(*batch);
    std::unique_lock<std::mutex> lock(batch->mutex);
    batch->finished.wait(lock, [&] { return batch->done == batch->n; });
  }

  ~PackPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      wake_.notify_all();
    }
    for (std::thread& t : threads_) t.join();
  }

 private:
  struct Batch {
    Batch(size_t count, const std::function<void(size_t)>& work) : n(count), job(work) {}
    const size_t n;
    const std::function<void(size_t)>& job;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    size_t done = 0;  // under mutex
  };

  PackPool() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 1; i < cores; ++i) {
      try {
        threads_.emplace_back([this] { Serve(); });
      } catch (const std::system_error&) {
        break;  // fewer helpers; the requests' threads do the rest
      }
    }
  }

  static void Work(Batch& batch) {
    for (size_t i; (i = batch.next.fetch_add(1)) < batch.n;) {
      batch.job(i);
      std::lock_guard<std::mutex> lock(batch.mutex);
      if (++batch.done == batch.n) batch.finished.notify_all();
    }
  }

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      std::shared_ptr<Batch> batch = queue_.front();
      // Every item of the batch is taken (or being taken): the next helper looks further.
      if (batch->next.load() >= batch->n) {
        queue_.pop_front();
        continue;
      }
      lock.unlock();
      Work(*batch);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Batch>> queue_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// Packs the files of `steps`, each into its slot.
void PackFiles(const std::vector<WalkStep>& steps, const std::vector<size_t>& files,
               const Qel::PString& compression, PackThreads use, std::vector<PackedFile>& packed) {
  const std::function<void(size_t)> job = [&](size_t i) {
    packed[i] = PackFile(steps[files[i]], compression);
  };
  if (use == PackThreads::kAllCores) {
    PackPool::Get().Run(files.size(), job);
  } else {
    for (size_t i = 0; i < files.size(); ++i) job(i);
  }
}

std::string Unreadable(const std::string& path, int error) {
  return path + ": " + std::strerror(error != 0 ? error : EIO);
}

void Assemble(const std::vector<WalkStep>& steps, std::vector<PackedFile>& packed, Soup& root,
              PackedFolder& out) {
  root.EnsureContainer();
  // The open folders, innermost last, each with its name in its parent.
  std::vector<std::pair<Soup, Qel::PString>> open;
  size_t file = 0;
  for (const WalkStep& step : steps) {
    Soup& node = open.empty() ? root : open.back().first;
    switch (step.kind) {
      case WalkStep::kEnter:
        open.emplace_back(Soup(), Qel::PString(step.name));
        open.back().first.EnsureContainer();
        break;
      case WalkStep::kLeave: {
        auto [child, name] = std::move(open.back());
        open.pop_back();
        (open.empty() ? root : open.back().first).SetNamedSoup(name, child);
        break;
      }
      case WalkStep::kSkip:
        out.skipped.push_back(step.relative);
        break;
      case WalkStep::kLeftOut:
        out.leftOut.push_back(step.relative);
        break;
      case WalkStep::kUnreadable:
        out.unreadable.push_back(Unreadable(step.path, step.error));
        break;
      case WalkStep::kTooDeep:
        out.tooDeep.push_back(step.relative);
        break;
      case WalkStep::kFile: {
        PackedFile& f = packed[file++];
        if (f.changed != nullptr && out.changed.empty())
          out.changed = step.relative + " " + f.changed;
        if (!f.ok) {
          if (f.read == ReadOutcome::kRefused) {
            out.unreadable.push_back(Unreadable(step.path, f.error));
          } else if (f.read == ReadOutcome::kTooLarge) {
            out.tooLarge.push_back(step.relative);
          } else {
            out.skipped.push_back(step.relative);
          }
          continue;
        }
        out.plainBytes += f.plainBytes;
        out.packedBytes += f.block ? f.block->GetSize() : 0;
        node.GetRoot()->AddChild(Qel::PString(step.name),
                                 node.GetRoot()->CreateTag(kKindRaw, std::move(f.block)));
        break;
      }
    }
  }
}

}  // namespace

u64 CountPackedFiles(const std::string& folder) {
  std::vector<WalkStep> steps;
  Walk(folder, std::string(), steps, 0);
  return u64(std::count_if(steps.begin(), steps.end(), [](const WalkStep& step) {
    return step.kind == WalkStep::kFile && IsPackageFileType(Qel::File::Path(step.name.c_str()));
  }));
}

PackedFolder PackAssetFolder(const std::string& folder, const Qel::PString& compression,
                             PackThreads threads, const std::function<void()>& listed) {
  PackedFolder out;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return out;
  std::vector<WalkStep> steps;
  Walk(folder, std::string(), steps, 0);
  if (listed) listed();
  std::vector<size_t> files;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].kind == WalkStep::kFile) files.push_back(i);
  }
  std::vector<PackedFile> packed(files.size());
  PackFiles(steps, files, compression, threads, packed);
  Assemble(steps, packed, out.files, out);
  // An entry that could not be read refuses the package already, and is its reason: a second
  // listing that reads it would only call it changed.
  if (out.changed.empty() && out.unreadable.empty()) {
    // Each file was the one listed while it was read; the same listing now shows that none went,
    // came or changed after its read, so the files are those of one moment.
    std::vector<WalkStep> after;
    Walk(folder, std::string(), after, 0);
    // A folder that cannot be listed again is a read that failed, not a change: its entries are
    // not known, so the package lacks the proof that they stayed.
    for (const WalkStep& step : after) {
      if (step.kind == WalkStep::kUnreadable) {
        out.unreadable.push_back(Unreadable(step.path, step.error));
      }
    }
    const auto differ = std::mismatch(steps.begin(), steps.end(), after.begin(), after.end());
    if (out.unreadable.empty() && (differ.first != steps.end() || differ.second != after.end())) {
      // Names sort alike in both listings, so the first of the two that differ is the entry that
      // came, went or changed; a step that closes a folder names nothing.
      std::string what = differ.first != steps.end() ? differ.first->relative : std::string();
      const std::string now = differ.second != after.end() ? differ.second->relative : "";
      if (what.empty() || (!now.empty() && now < what)) what = now;
      out.changed = (what.empty() ? std::string(".") : what) + " changed";
    }
  }
  out.ok = out.changed.empty();
  return out;
}
