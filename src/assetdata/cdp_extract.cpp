#include "assetdata/cdp_extract.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "assetdata/cdp_package.h"
#include "assetdata/safe_folder.h"
#include "core/buffer_stream.h"
#include "core/file_util.h"
#include "platform/ascii_text.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"
#include "qel/file_volume.h"
#include "qel/io_slave.h"
#include "qel/string.h"

namespace {

const char kUnableToWrite[] = "Unable to write content files to disk";
const char kUnknownFormat[] = "Unknown compression format.";
const char kFailedDecompress[] = "Failed to decompress data. Content package may be damaged";
const char kUnknownDataType[] = "Unknown data type encountered. Content package may be damaged";
const char kLocalCopyInternal[] = "Internal error while copying local file.";
const char kLocalCopyFailed[] = "Failed to copy local file.";

constexpr const char* kPackageFileTypes[] = {
    "txt", "bmp", "tga", "chump",   "pm",  "im",  "kin", "wav", "jpg",  "jpeg", "gnd", "ref",
    "tso", "obs", "trk", "texture", "bmk", "dat", "gs",  "gse", "html", "htm",  "evt", "lm",
    "mp3", "lst", "pfx", "tfx",     "avi", "wmv", "lyr", "trc", "srt",  "png"};

// An entry that exists as a symbolic link is never written through: it could lead anywhere.
bool IsLinkEntry(const Qel::String& path) {
  const Qel::String resolved = Qel::File::Resolve(path.CStr());
  struct stat st;
  return !resolved.IsEmpty() && ::lstat(resolved.CStr(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Opens the file to write; 0, or why it cannot be written.
int OpenTarget(Qel::File& file, const Qel::String& target) {
  if (IsLinkEntry(target)) return ELOOP;
  return file.Open(target.CStr(), Qel::File::kModeCreate | Qel::File::kModeWrite);
}

// Names the file and the system's reason, as a copy of a folder does: a full disk is told from a
// damaged package.
Qel::PString WriteFailure(const Qel::String& target, int error) {
  return MakeMessage("%s: cannot write %s: %s", kUnableToWrite, target.CStr(),
                     std::strerror(error != 0 ? error : EIO));
}

// Gives the failure's message and takes away what was written.
Qel::PString Discard(Qel::File& file, const Qel::String& target, const Qel::PString& message) {
  file.Close();
  Qel::File::Unlink(target.CStr());
  return message;
}

// Takes at most `limit` bytes; a write beyond that is refused whole, which ends the decoding.
class CappedFileSink : public Qel::IOSlave {
 public:
  CappedFileSink(Qel::File& file, u32 limit) : file_(file), limit_(limit) {}

  u32 Read(void*, u32) override { return 0; }
  u32 Write(const void* src, u32 len) override {
    if (len > limit_ - written_) return 0;
    errno = 0;
    const u32 done = file_.Write(src, len);
    if (done != len) writeError_ = errno != 0 ? errno : EIO;
    written_ += done;
    return done;
  }
  u32 Written() const { return written_; }
  // The system's reason when the file refused a write; 0 while none did.
  int WriteError() const { return writeError_; }

 private:
  Qel::File& file_;
  u32 limit_;
  u32 written_ = 0;
  int writeError_ = 0;
};

Qel::PString WriteStored(std::span<const u8> bytes, const Qel::String& target) {
  Qel::File file;
  if (const int error = OpenTarget(file, target)) return WriteFailure(target, error);
  const u32 size = u32(bytes.size());
  errno = 0;
  if (size != 0 && file.Write(bytes.data(), size) != size) {
    return Discard(file, target, WriteFailure(target, errno));
  }
  file.Close();
  return Qel::PString();
}

Qel::PString WriteDecoded(std::span<const u8> bytes, const Qel::String& target) {
  if (bytes.size() < 4) return kFailedDecompress;
  const u32 size = ByteOrder::LoadLE32(bytes.data());
  if (size > kMaxPackageFileSize) return kFailedDecompress;
  Qel::File file;
  if (const int error = OpenTarget(file, target)) return WriteFailure(target, error);
  const u32 streamLength = u32(bytes.size() - 4);
  Qel::IOSlaveMemory source(bytes.data() + 4, streamLength);
  CappedFileSink sink(file, size);
  Qel::LZSSCompress codec;
  // The declared size is the only check on a stream cut at an item boundary.
  if (!codec.DecompressStream(sink, source, streamLength) || sink.Written() != size) {
    return Discard(file, target,
                   sink.WriteError() != 0 ? WriteFailure(target, sink.WriteError())
                                          : Qel::PString(kFailedDecompress));
  }
  file.Close();
  return Qel::PString();
}

Qel::PString CopyReferencedFile(std::span<const u8> bytes, const Qel::String& target) {
  Qel::DynamicBuffer buffer;
  if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  Qel::PString sourceVolume;
  Qel::String sourcePath;
  in.ReadPString(sourceVolume);
  in.ReadString(sourcePath);
  if (in.GetError() != TStream::kErrorNone) return kLocalCopyInternal;
  if (IsLinkEntry(target) || !CopyFile(sourceVolume, Qel::File::Path(sourcePath), Qel::PString(),
                                       Qel::File::Path(target))) {
    return kLocalCopyFailed;
  }
  return Qel::PString();
}

Qel::PString WriteTarget(std::span<const u8> bytes, const Qel::String& target,
                         const Qel::PString& compression, LocalFileReferences localFiles) {
  if (compression.IsEmpty()) return WriteStored(bytes, target);
  if (compression == kCompressionLZSS) return WriteDecoded(bytes, target);
  if (compression == kCompressionFilePath && localFiles == LocalFileReferences::kAllow) {
    return CopyReferencedFile(bytes, target);
  }
  return kUnknownFormat;
}

// The entries of one folder by their names folded to lower case, read once. The file layer finds a
// name in another case by reading the whole folder, for every new name: a package of n files in
// one folder would cost n listings of up to n names each.
class FolderNames {
 public:
  explicit FolderNames(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    while (const dirent* e = ::readdir(dir.get())) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      // Several in different cases: the byte-wise first, as the file layer chooses.
      auto [at, added] = names_.emplace(Fold(name), name);
      if (!added && name < at->second) at->second = name;
    }
  }

  // The entry that `name` names without regard to case, and whether it existed; a new name is
  // noted as it is given.
  std::pair<std::string, bool> Take(std::string_view name) {
    auto [at, added] = names_.emplace(Fold(name), std::string(name));
    return {at->second, !added};
  }

 private:
  static std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return folded;
  }

  std::unordered_map<std::string, std::string> names_;
};

// Makes the new file `path` as it is named, so that opening it needs no search by case.
void CreateNamed(const Qel::String& path) {
  const int fd = ::open(path.CStr(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
}

struct Extraction {
  Qel::String root;
  Qel::PString compression;
  LocalFileReferences localFiles;
  const std::function<bool()>& stop;
};

// `relative` is the folder below the destination ("" for the destination itself).
Qel::PString ExtractNode(const ACSChunk* node, const Extraction& job, const std::string& relative,
                         u32 depth) {
  Qel::File::Path folder(job.root);
  folder.AddPath(relative.c_str());
  // The parent exists already below the destination; only the destination may need its tree.
  if (depth == 0) {
    Qel::File::MakeTree(folder.CStr());
  } else {
    ::mkdir(folder.CStr(), 0777);
  }
  // Paths below are built on the folder as it is on disk, so that each resolves as given.
  const Qel::String onDisk = Qel::File::Resolve(folder.CStr());
  if (!onDisk.IsEmpty()) folder = Qel::File::Path(onDisk);
  FolderNames names(folder.CStr());
  Qel::PString result;
  ForEachChild(node, [&](const Qel::PString& given, const MPRef<ACSChunk>& child) {
    if (result == kExtractionStopped || (job.stop && job.stop())) {
      result = kExtractionStopped;
      return;
    }
    if (!IsValidPackageFileName(given.View())) return;
    const auto [name, existed] = names.Take(given.View());
    Qel::File::Path path = folder;
    path.AddPath(name.c_str());
    Qel::PString message;
    if (child->GetKind() == kKindContainer) {
      const std::string below = relative.empty() ? name : relative + "/" + name;
      if (!IsSafeFolderPath(below)) return;
      // Nothing could copy or remove a deeper folder afterwards.
      message = depth >= u32(kMaxAssetFolderDepth) ? Qel::PString(FoldersTooDeepReason().c_str())
                : existed && IsLinkEntry(path.GetText())
                    ? Qel::PString(kUnableToWrite)
                    : ExtractNode(child.Get(), job, below, depth + 1);
    } else if (child->GetKind() == kKindRaw) {
      if (!IsPackageFileType(path)) return;
      if (!existed) CreateNamed(path.GetText());
      message = WriteTarget({child->GetData(), child->GetDataSize()}, path.GetText(),
                            job.compression, job.localFiles);
      if (!existed && !message.IsEmpty()) ::unlink(path.CStr());
    } else {
      message = kUnknownDataType;
    }
    if (!message.IsEmpty()) result = message;
  });
  return result;
}

}  // namespace

namespace {

void CountFiles(const ACSChunk* node, u32 depth, u32 stopAfter, u32& count) {
  ForEachChild(node, [&](const Qel::PString&, const MPRef<ACSChunk>& child) {
    if (count > stopAfter) return;
    if (child->GetKind() == kKindRaw) {
      ++count;
    } else if (child->GetKind() == kKindContainer && depth < kMaxSoupDepth) {
      CountFiles(child.Get(), depth + 1, stopAfter, count);
    }
  });
}

}  // namespace

u32 CountPackageFiles(const Soup& files, u32 stopAfter) {
  u32 count = 0;
  if (files.GetRoot()) CountFiles(files.GetRoot().Get(), 0, stopAfter, count);
  return std::min(count, stopAfter);
}

std::string PackageFileCountRefusal(const Soup& package) {
  u32 files = 0;
  for (u32 i = 0, n = CountPackageAssets(package); i < n && files <= kMaxPackageFiles; ++i) {
    files += CountPackageFiles(GetFilesContainer(GetPackageAsset(package, i).soup),
                               kMaxPackageFiles + 1 - files);
  }
  if (files <= kMaxPackageFiles) return {};
  return "the package holds more than " + std::to_string(kMaxPackageFiles) + " files";
}

Qel::PString ExtractPackageFiles(const Soup& files, const Qel::PString& volume, const char* folder,
                                 const Qel::PString& compression, LocalFileReferences localFiles,
                                 const std::function<bool()>& stop) {
  const Extraction job{Qel::PathInVolume(volume, folder), compression, localFiles, stop};
  // Without a destination every name would be taken from the working folder.
  if (job.root.IsEmpty()) return kUnableToWrite;
  const MPRef<ACSChunk> root = files.GetRoot() ? files.GetRoot() : ACSChunk::GetNullChunk();
  return ExtractNode(root.Get(), job, std::string(), 0);
}

Qel::PString WritePackageFile(std::span<const u8> bytes, const Qel::PString& volume,
                              const char* path, const Qel::PString& compression,
                              LocalFileReferences localFiles) {
  return WriteTarget(bytes, Qel::PathInVolume(volume, path), compression, localFiles);
}

bool WriteStoredFile(std::span<const u8> bytes, const Qel::PString& volume, const char* path) {
  return WritePackageFile(bytes, volume, path, Qel::PString()).IsEmpty();
}

bool IsValidPackageFileName(std::string_view name) {
  if (name.empty() || name.front() == ' ' || name.front() == '.' || name.front() == '~' ||
      name.back() == ' ') {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-&,+'._$ ()~").find(c) != std::string_view::npos;
  });
}

bool IsSafeFolderPath(std::string_view path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '/' && path[i] != '\\') continue;
    const std::string_view component = path.substr(start, i - start);
    if (component.find_first_not_of('.') == std::string_view::npos) return false;
    start = i + 1;
  }
  return true;
}

bool IsPackageFileType(const Qel::File::Path& path) {
  return std::any_of(std::begin(kPackageFileTypes), std::end(kPackageFileTypes),
                     [&](const char* type) { return path.IsExt(type); });
}

namespace {

bool IsConfigName(std::string_view name, std::string_view config) {
  return name.size() == config.size() && StartsWithIgnoreCase(name, config);
}

}  // namespace

bool IsConfigFileName(std::string_view name) {
  return IsConfigName(name, "config.txt") || IsConfigName(name, "config.chump");
}

std::string FolderConfigToInstall(const std::string& folder, int* unreadable) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (unreadable != nullptr) *unreadable = dir ? 0 : errno;
  if (!dir) return {};
  // By rank: the text form as spelt, in another case, then the binary form the same way; last a
  // folder so named.
  std::string found[5];
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string_view name = e->d_name;
    for (const int form : {0, 2}) {
      const char* config = form == 0 ? "config.txt" : "config.chump";
      if (!IsConfigName(name, config)) continue;
      struct stat st;
      const bool isFolder =
          ::lstat((folder + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      found[isFolder ? 4 : form + (name == config ? 0 : 1)] = e->d_name;
    }
  }
  for (const std::string& name : found) {
    if (!name.empty()) return folder + "/" + name;
  }
  return {};
}

bool DropShippedConfigs(const std::string& folder, ShippedConfigs which) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return false;
  std::vector<std::string> texts;
  std::vector<std::string> binaries;
  while (const dirent* e = ::readdir(dir.get())) {
    if (IsConfigName(e->d_name, "config.txt")) texts.push_back(e->d_name);
    if (IsConfigName(e->d_name, "config.chump")) binaries.push_back(e->d_name);
  }
  dir.reset();
  if (which == ShippedConfigs::kAll) {
    binaries.insert(binaries.end(), texts.begin(), texts.end());
  } else if (texts.empty()) {
    return true;
  }
  bool ok = true;
  for (const std::string& name : binaries) {
    const std::string path = folder + "/" + name;
    // A folder of that name is no configuration; the scanner passes over it.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      ok = ::unlink(path.c_str()) == 0 && ok;
    }
  }
  return ok;
}
