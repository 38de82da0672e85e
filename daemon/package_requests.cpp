#include "daemon/package_requests.h"

#include <string>
#include <vector>

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
#include "qel/dynamic_buffer.h"
#include "qel/pstring.h"

namespace PymDaemonSrv::PackageRequests {

namespace {

// Writes an archived asset's files and its plain configuration into a new folder.
AssetEditor::FolderFiller ArchivedAssetFiller(ArchivedAsset& asset) {
  const Soup files = GetFilesContainer(asset.soup);
  const Qel::PString compression = GetCompressionName(asset.soup);
  const Soup config = StripPackageTags(asset);
  return [files, compression, config](const SafeFolder& folders, const std::string& folder,
                                      std::string& why) {
    if (!folders.MakeFolders(folder, why)) return false;
    const Qel::PString message =
        ExtractPackageFiles(files, Qel::PString(), folder.c_str(), compression);
    if (!message.IsEmpty()) {
      why = message.CStr();
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

}  // namespace

void SaveAssetToCdp(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  Soup entry;
  if (!context.ReadIndexedAsset(in.Get(), kuid, r)) {
    AddFailure(response, kuid, "PymDaemon: cannot package an unknown asset");
  } else {
    const std::string folder = context.store.FolderPathOf(r);
    // Files that gain nothing from compression are stored as they are.
    PackedFolder packed = PackAssetFolder(folder, kCompressionLZSS);
    Qel::PString compression = kCompressionLZSS;
    if (packed.ok && packed.packedBytes >= packed.plainBytes) {
      packed = PackAssetFolder(folder, Qel::PString());
      compression = Qel::PString();
    }
    if (!packed.ok) {
      AddFailure(response, kuid, "PymDaemon: cannot read the asset folder " + folder);
    } else {
      for (const std::string& skipped : packed.skipped) {
        AddResult(response, ResultsLog::kWarning, kuid,
                  "PymDaemon: not packaged (name, type or read refused): " + skipped);
      }
      entry.Copy(context.store.GetConfig(kuid));
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
    Soup package;
    const Qel::PString message = OpenContentPackage(package, Qel::PString(), path.c_str());
    if (!message.IsEmpty()) {
      AddFailure(response, KUID::Null(), std::string(message.View()) + ": " + path);
    }
    std::vector<AssetEditor::InstallJob> jobs;
    u64 files = 0;
    for (u32 i = 0, n = CountPackageAssets(package); i < n; ++i) {
      ArchivedAsset asset = GetPackageAsset(package, i);
      files += CountPackageFiles(GetFilesContainer(asset.soup), kMaxPackageFiles + 1);
      const KUID kuid = asset.soup.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
      if (kuid.IsNull()) {
        AddFailure(response, kuid, "PymDaemon: a package asset has no valid KUID");
      } else {
        jobs.push_back({kuid, ArchivedAssetFiller(asset)});
      }
    }
    if (files > kMaxPackageFiles) {
      AddFailure(response, KUID::Null(),
                 "PymDaemon: the package holds more than " + std::to_string(kMaxPackageFiles) +
                     " files; nothing was installed: " + path);
      jobs.clear();
    }
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    installed = context.editor.InstallAll(jobs, errors, &warnings);
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (errors[i].empty()) {
        if (!warnings[i].empty()) {
          AddResult(response, ResultsLog::kWarning, jobs[i].kuid, "PymDaemon: " + warnings[i]);
        }
        AddInstalled(response, jobs[i].kuid);
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
  std::string error = "no folder given";
  KUID kuid;
  if (ReadPath(in.Get(), from) &&
      ReadAssetFolder(from, AssetEditor::kLocalFolder, "import", scanned, error)) {
    kuid = scanned.record.kuid;
    const bool installed = context.editor.Install(
        kuid,
        [&](const SafeFolder& folders, const std::string& folder, std::string& why) {
          return folders.CopyTree(from, folder, why);
        },
        error);
    if (installed) {
      AddInstalled(response, kuid);
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
