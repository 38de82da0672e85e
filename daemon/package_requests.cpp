#include "daemon/package_requests.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "assetdata/asset_name.h"
#include "assetdata/case_collision.h"
#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_pack.h"
#include "assetdata/cdp_package.h"
#include "assetdata/results_log.h"
#include "assetdata/safe_folder.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_editor.h"
#include "daemon/asset_record.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"
#include "daemon/edit_requests.h"
#include "qel/dynamic_buffer.h"
#include "qel/pstring.h"

namespace PymDaemonSrv::PackageRequests {

bool InstallGate::Admits(u64 bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AdmitsLocked(bytes);
}

InstallGate::Pass::Pass(InstallGate& gate, u64 bytes) : gate_(gate), bytes_(bytes) {
  std::unique_lock<std::mutex> lock(gate.mutex_);
  const u64 ticket = gate.nextTicket_++;
  gate.turn_.wait(lock, [&] { return gate.serving_ == ticket && gate.AdmitsLocked(bytes); });
  ++gate.serving_;
  ++gate.running_;
  gate.inUse_ += bytes;
  gate.trim_ = gate.trim_ || bytes > gate.budget_ / 4;
  gate.turn_.notify_all();
}

InstallGate::Pass::~Pass() {
  std::lock_guard<std::mutex> lock(gate_.mutex_);
  --gate_.running_;
  gate_.inUse_ -= bytes_;
  if (gate_.running_ == 0 && gate_.trim_) {
    gate_.trim_ = false;
    // A large configuration leaves its tag names interned, and the allocator keeps what the work
    // freed: without both cleared the daemon would stay near its peak.
    Qel::PStringCache::CollectAllGarbage();
    malloc_trim(0);
  }
  gate_.turn_.notify_all();
}

namespace {

InstallGate& Gate() {
  static InstallGate gate;
  return gate;
}

u64 FileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? u64(st.st_size) : 0;
}

// Writes an archived asset's files and its plain configuration into a new folder.
AssetEditor::FolderFiller ArchivedAssetFiller(ArchivedAsset& asset) {
  const Soup files = GetFilesContainer(asset.soup);
  const Qel::PString compression = GetCompressionName(asset.soup);
  const Soup config = StripPackageTags(asset);
  return [files, compression, config](const SafeFolder& folders, const std::string& folder,
                                      std::string& why) {
    // Extraction would merge the entries into one; refused before anything is written.
    why = PackageCaseCollision(files);
    if (why.empty()) why = RefuseAssetNames(config);
    if (!why.empty() || !folders.MakeNewFolder(folder, why)) return false;
    const Qel::PString message =
        ExtractPackageFiles(files, Qel::PString(), folder.c_str(), compression);
    if (!message.IsEmpty()) {
      why = message.CStr();
      return false;
    }
    if (!DropShippedConfigs(folder, ShippedConfigs::kAll)) {
      why = "cannot leave out the configuration files shipped among the asset's files";
      return false;
    }
    // The folder is new and placed only once whole, so the file needs no copy of its own.
    Qel::DynamicBuffer text;
    TBuffer out(&text, false);
    WriteSoupText(out, config);
    if (!WriteStoredFile({text.GetData(), text.GetDataSize()}, Qel::PString(),
                         (folder + "/config.txt").c_str())) {
      why = "cannot write the configuration";
      return false;
    }
    return true;
  };
}

// A folder to install is taken as the user named it: neither it nor its configuration may be a
// link, which the copy would not follow. `configBytes` is what its configuration files hold.
bool FolderCheck(const std::string& from, u64& configBytes, std::string& error) {
  struct stat st {};
  if (lstat(from.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    error = from + " is a link, not a folder";
    return false;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(from.c_str()), closedir);
  if (!dir) {
    error = "cannot list " + from;
    return false;
  }
  // A folder named as a configuration beside none that is a file would leave the asset without
  // one; the scan alone could only say that it found none.
  std::string folderNamed;
  bool file = false;
  while (const dirent* e = readdir(dir.get())) {
    if (!IsConfigFileName(e->d_name)) continue;
    const std::string path = from + "/" + e->d_name;
    const bool known = lstat(path.c_str(), &st) == 0;
    if (known && S_ISLNK(st.st_mode)) {
      error = path + " is a link, not a file";
      return false;
    }
    if (known && S_ISDIR(st.st_mode)) {
      folderNamed = path;
    } else {
      file = true;
    }
    configBytes += FileBytes(path);
  }
  if (file || folderNamed.empty()) return true;
  error = folderNamed + " is a folder, not a file";
  return false;
}

AssetEditor::Warnings LeftOutWarnings(const std::vector<std::string>& paths) {
  AssetEditor::Warnings lines;
  for (const std::string& path : paths) lines.push_back(AssetEditor::LeftOutWarning(path));
  return lines;
}

}  // namespace

void SaveAssetToCdp(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  Soup entry;
  std::string folder;
  // The folder stays open while its files are read, so that no folder made meanwhile can take
  // its identity.
  int held = -1;
  struct stat was {};
  bool known = false;
  {
    // The row, its configuration and the folder it names, taken where no change is half made.
    // Only these are taken under the lock: the files are read without it, and a change that
    // comes while they are read is found afterwards.
    std::lock_guard<OwnedMutex> change(context.store.ChangeMutex());
    known = context.ReadIndexedAsset(in.Get(), kuid, r);
    if (known) {
      folder = context.store.FolderPathOf(r);
      held = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (held >= 0 && fstat(held, &was) != 0) {
        close(held);
        held = -1;
      }
      entry.Copy(context.store.GetConfig(kuid));
    }
  }
  if (!known) {
    AddFailure(response, kuid, "PymDaemon: cannot package an unknown asset");
  } else {
    // Files that gain nothing from compression are stored as they are.
    PackedFolder packed;
    Qel::PString compression = kCompressionLZSS;
    if (held >= 0) {
      packed = PackAssetFolder(folder, kCompressionLZSS, PackThreads::kAllCores,
                               context.packListedHookForTests);
    }
    if (packed.ok && packed.unreadable.empty() && packed.packedBytes >= packed.plainBytes) {
      packed = PackAssetFolder(folder, Qel::PString(), PackThreads::kAllCores,
                               context.packListedHookForTests);
      compression = Qel::PString();
    }
    std::string changed = packed.changed;
    // Every change the daemon makes to an asset's files moves its folder away or puts a new one
    // in its place: the path no longer leads to the folder held since the row was read.
    struct stat st {};
    if (packed.ok &&
        (lstat(folder.c_str(), &st) != 0 || st.st_dev != was.st_dev || st.st_ino != was.st_ino)) {
      changed = "its folder was replaced";
    }
    if (held >= 0) close(held);
    if (!changed.empty()) {
      // A package of files from two moments would install an asset that never was.
      AddFailure(response, kuid,
                 "PymDaemon: not packaged: the asset changed while it was read (" + changed +
                     "); package it again");
      entry = Soup();
    } else if (!packed.ok) {
      AddFailure(response, kuid, "PymDaemon: cannot read the asset folder " + folder);
      entry = Soup();
    } else if (!packed.unreadable.empty() || !packed.tooLarge.empty() || !packed.tooDeep.empty()) {
      // A package that lacks a file of the asset would install as a whole, other asset.
      for (const std::string& path : packed.unreadable) {
        AddFailure(response, kuid, "PymDaemon: not packaged: cannot read " + path);
      }
      for (const std::string& path : packed.tooLarge) {
        AddFailure(response, kuid,
                   "PymDaemon: not packaged: " + path + " is larger than the " +
                       std::to_string(kMaxPackageFileSize) + " bytes a package file may hold");
      }
      for (const std::string& path : packed.tooDeep) {
        AddFailure(response, kuid,
                   "PymDaemon: not packaged: " + path + ": " + FoldersTooDeepReason());
      }
      entry = Soup();
    } else {
      for (const std::string& skipped : packed.skipped) {
        AddResult(response, ResultsLog::kWarning, kuid,
                  "PymDaemon: not packaged (name or type refused): " + skipped);
      }
      AddWarnings(response, kuid, LeftOutWarnings(packed.leftOut));
      entry.EnsureContainer();
      entry.SetNamedSoup(kTagFiles, packed.files);
      entry.SetNamedTag(kTagCompression, compression);
      SetAssetDsid(entry);
    }
  }
  TBuffer out(&response.body, false);
  WriteSoup(out, entry);
}

void InstallCdp(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string path;
  size_t installed = 0;
  if (!ReadPath(in.Get(), path)) {
    AddFailure(response, KUID::Null(), "PymDaemon: no package path given");
  } else {
    const InstallGate::Pass pass(Gate(), FileBytes(path));
    Soup package;
    const Qel::PString message = OpenContentPackage(package, Qel::PString(), path.c_str());
    if (!message.IsEmpty()) {
      AddFailure(response, KUID::Null(), std::string(message.View()) + ": " + path);
    }
    std::vector<AssetEditor::InstallJob> jobs;
    for (u32 i = 0, n = CountPackageAssets(package); i < n; ++i) {
      ArchivedAsset asset = GetPackageAsset(package, i);
      const KUID kuid = asset.soup.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
      if (kuid.IsNull()) {
        AddFailure(response, kuid, "PymDaemon: a package asset has no valid KUID");
      } else if (std::string error; !context.holds.MayChange(kuid, response.connectionId, error)) {
        AddFailure(response, kuid, "PymDaemon: not installed: " + error);
      } else {
        // A day keeps the version it began with, as an install from a folder does.
        jobs.push_back({kuid, ArchivedAssetFiller(asset), true});
      }
    }
    const std::string tooMany = PackageFileCountRefusal(package);
    if (!tooMany.empty()) {
      AddFailure(response, KUID::Null(),
                 "PymDaemon: " + tooMany + "; nothing was installed: " + path);
      jobs.clear();
    }
    std::vector<std::string> errors;
    std::vector<AssetEditor::Warnings> warnings;
    std::vector<std::string> keptIn;
    installed = context.editor.InstallAll(jobs, errors, &warnings, &keptIn);
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (errors[i].empty()) {
        AddWarnings(response, jobs[i].kuid, warnings[i]);
        AddInstalled(response, jobs[i].kuid, keptIn[i]);
        EditRequests::DropTakeBackAfter(context, jobs[i].kuid, response);
      } else {
        AddFailure(response, jobs[i].kuid, "PymDaemon: not installed: " + errors[i]);
      }
    }
  }
  TBuffer out(&response.body, false);
  out.WriteU32(u32(installed));
  out.WriteU8(0);
}

void InstallAssetFromFolder(RequestContext& context, const u8* payload, size_t size,
                            Response& response) {
  PayloadStream in(payload, size);
  std::string from;
  ScannedAsset scanned;
  std::string error;
  KUID kuid;
  u64 configBytes = 0;
  const bool read = ReadPath(in.Get(), from);
  if (!read) error = "no folder given";
  const bool given = read && FolderCheck(from, configBytes, error);
  std::unique_ptr<InstallGate::Pass> pass;
  if (given) pass = std::make_unique<InstallGate::Pass>(Gate(), configBytes);
  if (given &&
      ReadAssetFolder(from, AssetEditor::kLocalFolder, "import", scanned, error,
                      ConfigOrder::kTextFirst) &&
      (error = RefuseAssetNames(DecodeConfig(scanned.config))).empty() &&
      context.holds.MayChange(scanned.record.kuid, response.connectionId, error)) {
    kuid = scanned.record.kuid;
    std::vector<std::string> skipped;
    AssetEditor::Warnings warnings;
    std::string keptIn;
    const bool installed = context.editor.Install(
        kuid,
        [&](const SafeFolder& folders, const std::string& folder, std::string& why) {
          skipped.clear();
          if (!folders.CopyTree(from, folder, why, &skipped)) return false;
          // The copy holds what is installed: its files and folders, links left out.
          why = FolderCaseCollision(folder);
          if (!why.empty()) return false;
          if (DropShippedConfigs(folder, ShippedConfigs::kBinaryBesideText)) return true;
          why = "cannot leave out the binary configuration beside the text one";
          return false;
        },
        error, true, &warnings, &keptIn);
    if (installed) {
      std::sort(skipped.begin(), skipped.end());
      AssetEditor::Warnings lines = LeftOutWarnings(skipped);
      lines.insert(lines.end(), warnings.begin(), warnings.end());
      AddWarnings(response, kuid, lines);
      AddInstalled(response, kuid, keptIn);
      EditRequests::DropTakeBackAfter(context, kuid, response);
    } else {
      kuid = KUID::Null();
    }
  }
  if (kuid.IsNull())
    AddFailure(response, scanned.record.kuid, "PymDaemon: not installed: " + error);
  TBuffer out(&response.body, false);
  out.WriteKUID(kuid);
  out.WriteU8(0);
}

}  // namespace PymDaemonSrv::PackageRequests
