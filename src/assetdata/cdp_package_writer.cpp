#include "assetdata/cdp_package_writer.h"

#include <fcntl.h>

#include <cstring>
#include <string>

#include "assetdata/case_collision.h"
#include "assetdata/soup_binary.h"
#include "assetdata/soup_tree.h"
#include "core/buffer_stream.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"

namespace {

// Writing back what was written so far, a piece at a time, spreads the disk's work over the
// package instead of leaving all of it to the sync that ends the write.
constexpr u64 kWriteBackStep = 8u << 20;

Qel::PString SaveFailed() { return "Unable to write archive file. Needs to be .cdp file extension"; }

constexpr const char* kTooDeep = "an asset holds tags nested deeper than a package can hold";

}  // namespace

ContentPackageWriter::ContentPackageWriter(const char* path) : file_(path) {
  u8 header[kSoupHeaderSize];
  MakeSoupHeader(header, 0);
  failed_ = !file_.IsOpen() || !file_.Write(header, sizeof header);
}

bool ContentPackageWriter::Append(const std::vector<u8>& bytes) {
  const u64 before = kSoupHeaderSize + bodySize_;
  if (failed_ || !file_.Write(bytes.data(), bytes.size())) {
    failed_ = true;
    return false;
  }
  bodySize_ += bytes.size();
  const u64 after = kSoupHeaderSize + bodySize_;
  if (before / kWriteBackStep != after / kWriteBackStep) {
    const u64 end = after / kWriteBackStep * kWriteBackStep;
    sync_file_range(file_.File().GetHandle(), off64_t(end - kWriteBackStep), off64_t(kWriteBackStep),
                    SYNC_FILE_RANGE_WRITE);
  }
  return true;
}

Qel::PString ContentPackageWriter::Add(Soup& asset) {
  const KUID kuid = AssetKUID(asset);
  const Qel::PString refused = RefuseArchivedAsset(kuid, added_.count(kuid) != 0);
  if (!refused.IsEmpty()) return refused;
  const std::string unfit = RefuseUninstallable(asset);
  if (!unfit.empty()) return Qel::PString(unfit.c_str());
  added_.insert(kuid);
  tables_.AddAsset(asset);
  if (failed_) return Qel::PString();
  chunk_.clear();
  if (!hasAssets_) {
    // The "assets" container opens the body; its size is known at the end.
    Soup assets;
    assets.EnsureContainer();
    Soup top;
    top.SetNamedSoup(kTagAssets, assets);
    if (!AppendSoupChunks(chunk_, top, 0)) FailFormat(kTooDeep);
    assetsChunk_ = bodySize_;
    hasAssets_ = true;
  }
  // The asset as the one child of a holder one level below the top, so that the chunk and the
  // depth limit come out as inside the whole package soup.
  Soup holder;
  holder.SetNamedSoup(kuid.ToString(), asset);
  if (!AppendSoupChunks(chunk_, holder, 1)) FailFormat(kTooDeep);
  if (!failed_) Append(chunk_);
  std::vector<u8>().swap(chunk_);
  return Qel::PString();
}

std::string ContentPackageWriter::RefuseUninstallable(const Soup& asset) {
  const Soup files = GetFilesContainer(asset);
  const u64 total = files_ + CountPackageFiles(files, maxFiles_ + 1);
  if (total > maxFiles_) {
    return "the package would hold more than " + std::to_string(maxFiles_) +
           " files, the most an install takes";
  }
  std::string why = PackageCaseCollision(files);
  if (!why.empty()) return why;
  // The configuration as an install writes it, without the files (which need no copy).
  ArchivedAsset plain;
  plain.soup = Soup();
  plain.soup.EnsureContainer();
  ForEachChild(asset.GetRoot().Get(), [&](const Qel::PString& name, const MPRef<ACSChunk>& child) {
    if (name != kTagFiles) plain.soup.GetRoot()->AddChild(name, child);
  });
  Qel::DynamicBuffer text;
  TBuffer out(&text, false);
  WriteSoupText(out, StripPackageTags(plain));
  if (text.GetDataSize() > maxConfigBytes_) {
    return "configuration too large: its config.txt would be " +
           std::to_string(text.GetDataSize()) + " bytes, more than the " +
           std::to_string(maxConfigBytes_) + " an install reads";
  }
  files_ = total;
  return {};
}

void ContentPackageWriter::FailFormat(const char* why) {
  if (!failed_) formatProblem_ = why;
  failed_ = true;
}

Qel::String ContentPackageWriter::FailureReason() const {
  if (!failed_) return Qel::String();
  if (formatProblem_ != nullptr) return formatProblem_;
  if (file_.Error() != 0) return std::strerror(file_.Error());
  return "the file could not be written";
}

Qel::PString ContentPackageWriter::Finish() {
  const u64 assetsSize = bodySize_ - assetsChunk_ - 4;
  Soup tail;
  tables_.WriteInto(tail);
  chunk_.clear();
  if (!AppendSoupChunks(chunk_, tail, 0)) FailFormat(kTooDeep);
  if (!failed_) Append(chunk_);
  if (bodySize_ > 0xFFFFFFFFu - kSoupHeaderSize || (hasAssets_ && assetsSize > 0xFFFFFFFFu)) {
    FailFormat("the package would be larger than the format's 4 GB");
  }
  u8 word[4];
  Qel::File& file = file_.File();
  if (!failed_ && hasAssets_) {
    ByteOrder::StoreLE32(word, u32(assetsSize));
    failed_ = !file.Seek(i64(kSoupHeaderSize + assetsChunk_), SEEK_SET) || file.Write(word, 4) != 4;
  }
  if (!failed_) {
    ByteOrder::StoreLE32(word, u32(bodySize_));
    failed_ = !file.Seek(12, SEEK_SET) || file.Write(word, 4) != 4;
  }
  if (failed_ || !file_.Commit()) {
    failed_ = true;
    file_.Abandon();
    return SaveFailed();
  }
  return Qel::PString();
}
