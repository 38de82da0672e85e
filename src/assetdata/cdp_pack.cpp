#include "assetdata/cdp_pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/soup_tree.h"
#include "platform/byte_order.h"
#include "qel/file_path.h"
#include "qel/lzss.h"

namespace {

// Fast enough to beat a general-purpose archiver on the round trip; the higher levels gain
// little on typical asset files.
constexpr int kPackLevel = 3;

struct Entry {
  std::string name;
  bool folder;
};

// Sorted, so that the same folder always packs to the same bytes.
bool ListFolder(const std::string& path, std::vector<Entry>& out) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) return false;
  while (dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (lstat((path + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) out.push_back({name, S_ISDIR(st.st_mode)});
  }
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return true;
}

// The whole file, or false when it cannot be read or is larger than a package file may be.
bool ReadWhole(const std::string& path, std::vector<u8>& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && u64(st.st_size) <= kMaxPackageFileSize;
  if (ok) out.resize(size_t(st.st_size));
  for (size_t done = 0; ok && done < out.size();) {
    const ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  close(fd);
  return ok;
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

void PackNode(const std::string& path, const std::string& relative, Soup& node,
              const Qel::PString& compression, PackedFolder& out, u32 depth) {
  node.EnsureContainer();
  std::vector<Entry> entries;
  if (!ListFolder(path, entries)) {
    out.skipped.push_back(relative.empty() ? "." : relative);
    return;
  }
  for (const Entry& e : entries) {
    const std::string below = relative.empty() ? e.name : relative + "/" + e.name;
    if (depth == 0 && !e.folder && (e.name == "config.txt" || e.name == "config.chump")) continue;
    const Qel::PString name(e.name);
    if (!IsValidPackageFileName(e.name)) {
      out.skipped.push_back(below);
    } else if (e.folder) {
      if (depth + 1 >= kMaxSoupDepth) {
        out.skipped.push_back(below);
        continue;
      }
      Soup child;
      PackNode(path + "/" + e.name, below, child, compression, out, depth + 1);
      node.SetNamedSoup(name, child);
    } else {
      std::vector<u8> bytes;
      const bool read = IsPackageFileType(Qel::File::Path(e.name.c_str())) &&
                        ReadWhole(path + "/" + e.name, bytes);
      // An empty stored file has no block at all.
      const MPRef<ACSRawDataCore> block = read ? Encode(bytes, compression) : nullptr;
      if (!read || (!block && !(bytes.empty() && compression.IsEmpty()))) {
        out.skipped.push_back(below);
        continue;
      }
      out.plainBytes += bytes.size();
      out.packedBytes += block ? block->GetSize() : 0;
      node.GetRoot()->AddChild(name, node.GetRoot()->CreateTag(kKindRaw, block));
    }
  }
}

}  // namespace

PackedFolder PackAssetFolder(const std::string& folder, const Qel::PString& compression) {
  PackedFolder out;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return out;
  PackNode(folder, std::string(), out.files, compression, out, 0);
  out.ok = true;
  return out;
}
