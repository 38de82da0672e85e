// A content package written to disk one asset at a time, for packages larger than the tool
// should hold in memory. The file has exactly the bytes that adding the same assets in the same
// order to a package soup (InsertArchivedAsset, then RebuildPackageTables) and saving it
// (SaveContentPackage) would give; only the asset being added is in memory. The package goes to
// a temporary file beside the target and takes its place only when whole: a writer dropped
// before Finish, or one whose Finish fails, leaves the target as it was.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "core/kuid.h"
#include "core/whole_file_writer.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class ContentPackageWriter {
 public:
  explicit ContentPackageWriter(const char* path);
  ContentPackageWriter(const ContentPackageWriter&) = delete;
  ContentPackageWriter& operator=(const ContentPackageWriter&) = delete;

  // Appends the asset under its KUID text. Refuses, as InsertArchivedAsset does and writing
  // nothing, an asset without a KUID or with one already added; and what an install would
  // refuse: more files in the package than an install takes (kMaxPackageFiles), a configuration
  // whose written form is larger than an install reads (kMaxConfigFileBytes), and entries whose
  // names differ only in case (case_collision.h). A write that fails, or an asset
  // the format cannot hold, is reported by Finish, as saving the whole package would report it;
  // nothing more is written after it.
  Qel::PString Add(Soup& asset);
  // True once Finish can only fail: adding more is wasted work.
  bool Failed() const { return failed_; }
  // Writes the tables and puts the whole file in place; SaveContentPackage's message when that
  // fails or any write before it did.
  Qel::PString Finish();
  // Why the package cannot be or was not written (a system error, or content the format cannot
  // hold); empty while nothing failed. Finish's message is the same for every failure.
  Qel::String FailureReason() const;
  // Lower limits, so that a test needs no package of the real size.
  void SetLimitsForTests(u32 files, u64 configBytes) {
    maxFiles_ = files;
    maxConfigBytes_ = configBytes;
  }

 private:
  bool Append(const std::vector<u8>& bytes);
  // Why an install would refuse the asset in this package; empty when it would not. Counts the
  // asset's files when it is not refused.
  std::string RefuseUninstallable(const Soup& asset);
  void FailFormat(const char* why);

  WholeFileWriter file_;
  PackageTables tables_;
  std::unordered_set<KUID> added_;
  u64 files_ = 0;
  u32 maxFiles_ = kMaxPackageFiles;
  u64 maxConfigBytes_ = kMaxConfigFileBytes;
  // Body bytes written so far, and where the "assets" chunk begins in the body.
  u64 bodySize_ = 0;
  u64 assetsChunk_ = 0;
  bool hasAssets_ = false;
  bool failed_ = false;
  // Set when the content, not the file, made the package fail.
  const char* formatProblem_ = nullptr;
  std::vector<u8> chunk_;
};
