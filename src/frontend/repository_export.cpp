#include "frontend/repository_export.h"

#include <cstring>
#include <string>
#include <vector>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_pack.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "core/file_util.h"
#include "core/kuid.h"
#include "core/log_printf.h"
#include "frontend/export_batch_writer.h"
#include "frontend/export_category_codes.h"
#include "frontend/save_asset_as_cdp.h"
#include "frontend/walked_kuids.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_install.h"
#include "qel/file.h"

namespace {

// The thumbnail size that the repository shows.
constexpr u32 kThumbnailSize = 240;

const Qel::PString kAssetIdProperty("AssetID");
const Qel::PString kTagCategoryClass("category-class");

// "user:content:version", or "user:content" for version 0.
Qel::String ColonText(const KUID& kuid) {
  if (kuid.version > 0) {
    return Qel::String::Format("%d:%d:%d", kuid.userId, kuid.contentId, kuid.version);
  }
  return Qel::String::Format("%d:%d", kuid.userId, kuid.contentId);
}

Qel::String DownloadName(const KUID& kuid) {
  if (kuid.version > 0) {
    return Qel::String::Format("kuid2_%d_%d_%d.cdp", kuid.userId, kuid.contentId, kuid.version);
  }
  return Qel::String::Format("kuid_%d_%d.cdp", kuid.userId, kuid.contentId);
}

// The ";"-separated pieces of the text, empty ones left out.
std::vector<std::string_view> SplitCategories(std::string_view text) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const size_t end = text.find(';');
    const std::string_view piece = text.substr(0, end);
    if (!piece.empty()) pieces.push_back(piece);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return pieces;
}

Qel::PString Numbered(u32 index) { return Qel::PString(std::to_string(index)); }

void AppendText(Soup& list, std::string_view text) {
  list.SetNamedTag(Numbered(list.CountTags()), Qel::PString(text));
}

void AppendCategoryIds(Soup& list, std::string_view text) {
  for (const std::string_view code : SplitCategories(text)) {
    const i32 id = GetCategoryCodeId(std::string(code).c_str());
    if (id != 0) list.SetNamedInt(Numbered(list.CountTags()), id);
  }
}

Soup BuildRecord(const KUID& kuid, const PymAssetInfo& info, i32 typeId) {
  const Soup config = PymGetAssetConfigSoup(kuid);
  Soup asset;
  asset.SetNamedInt(kExportTagTypeId, typeId);
  asset.SetNamedTag(kExportTagTitle, info.name.ToPString());
  asset.SetNamedTag(kExportTagDescription, PymGetAssetDescription(kuid).ToPString());
  asset.SetNamedTag(kExportTagDownloadPath, DownloadName(kuid).ToPString());
  asset.SetNamedInt(kExportTagFileSize, info.secondNumber);
  asset.SetNamedFloat(kExportTagProductVersion, info.build);
  asset.SetNamedTag(kExportTagKuid, ColonText(kuid).ToPString());

  std::vector<KUID> dependencyKuids;
  PymGetAssetDependencies(kuid, dependencyKuids);
  Soup dependencies;
  dependencies.EnsureContainer();
  for (const KUID& dependency : dependencyKuids)
    AppendText(dependencies, ColonText(dependency).View());

  Soup categories;
  categories.EnsureContainer();
  AppendCategoryIds(categories, config.GetNamedTag(kTagCategoryClass).View());
  AppendCategoryIds(categories, (info.categoryEra + ";" + info.categoryRegion).View());

  Soup elements;
  elements.EnsureContainer();
  for (const std::string_view piece : SplitCategories(info.category.View())) {
    AppendText(elements, piece);
  }

  Soup record;
  record.SetNamedKUID(kExportTagKuid, kuid);
  record.SetNamedSoup(kExportTagAsset, asset);
  record.SetNamedSoup(kExportTagDependencies, dependencies);
  record.SetNamedSoup(kExportTagCategories, categories);
  record.SetNamedSoup(kExportTagCategoryElements, elements);
  return record;
}

class RepositoryExport {
 public:
  RepositoryExport(const Qel::String& outputFolder, ResultsLog& log)
      : output_(outputFolder), log_(log) {}

  // The tree below `folder`, its hidden folders last.
  void WalkTree(const Qel::String& folder) {
    Walk(folder);
    for (Qel::String hidden; walked_.NextHidden(hidden);) Visit(hidden);
  }

  void Finish() {
    if (count_ > 0) WriteBatch();
    ResultsLog::AddResult(
        &log_, ResultsLog::kInformation, KestroPropertyRef(),
        Qel::String::Format("Exported %u assets into %s", packages_, output_.CStr()));
  }

 private:
  void Walk(const Qel::String& folder) {
    Qel::File::Find find(folder.CStr());
    if (!find.Ok()) {
      Error(KUID::Null(), Qel::String::Format("Unable to read folder: %s", folder.CStr()));
      return;
    }
    while (find.Next()) {
      const Qel::String& name = find.GetName();
      // Links are never folders to Find, so a link cannot lead the walk in a circle.
      if (name.IsEmpty() || name == "." || name == ".." || !find.IsFolder()) continue;
      const Qel::String path = folder + "/" + name;
      if (!walked_.Defers(name, path)) Visit(path);
    }
  }

  // One folder of the tree: an asset's, or one to search.
  void Visit(const Qel::String& path) {
    if (count_ >= kExportBatchSize) {
      WriteBatch();
      ++number_;
      batch_.Clear();
      count_ = 0;
    }
    int unreadable = 0;
    const std::string config = FolderConfigToInstall(path.Std(), &unreadable);
    // A folder that cannot be listed may be an asset's: it is named, never taken for none.
    if (unreadable != 0) {
      Error(KUID::Null(), Qel::String::Format("Unable to read folder: %s: %s", path.CStr(),
                                              std::strerror(unreadable)));
    } else if (!config.empty()) {
      ExportAsset(path, config);
    } else {
      Walk(path);
    }
  }

  void Error(const KUID& kuid, const Qel::String& text) {
    ResultsLog::AddResult(
        &log_, ResultsLog::kError,
        kuid.IsNull() ? KestroPropertyRef() : MakeAssetIDProperty(kAssetIdProperty, kuid), text);
  }

  void ExportAsset(const Qel::String& folder, const std::string& config) {
    // Installing over an asset the user already has would replace their copy and the delete
    // below would then take it: such an asset is exported as installed and left in place.
    PymAssetInfo info;
    // The configuration the install keeps names the asset: another form beside it would name an
    // asset other than the one installed.
    KUID kuid = ConfigKuid(config);
    if (!walked_.IsFirst(kuid, folder, &log_)) return;
    const bool alreadyInstalled = !kuid.IsNull() &&
                                  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll) &&
                                  info.GetFlag(PymAssetInfo::kFlagInstalled);
    if (alreadyInstalled) {
      ResultsLog::AddResult(
          &log_, ResultsLog::kWarning, MakeAssetIDProperty(kAssetIdProperty, kuid),
          Qel::String::Format("Already installed: exported as installed, not from %s, and left "
                              "installed.",
                              folder.CStr()));
    } else if (CountPackedFiles(folder.Std()) > kMaxPackageFiles) {
      // Its package could never be written: the install would only copy the folder for nothing.
      Error(kuid, Qel::String::Format("Not installed: %s: the package would hold more than %u "
                                      "files, the most an install takes",
                                      folder.CStr(), kMaxPackageFiles));
      return;
    } else {
      ResultsLog installLog;
      bool second = false;
      kuid = PymInstallAssetFromFolder(folder, &installLog, 0, second, nullptr);
      if (kuid.IsNull()) {
        // The daemon's refusal says why, and names the asset when it could read the KUID.
        KestroPropertyRef asset;
        Qel::String why;
        for (const ResultsLogEntry& entry : installLog.GetEntries()) {
          if (entry.type != ResultsLog::kError) continue;
          if (asset.IsNull()) asset = entry.property;
          why += ": ";
          why += entry.text;
        }
        ResultsLog::AddResult(
            &log_, ResultsLog::kError, asset,
            Qel::String::Format("Failed to install asset from: %s%s", folder.CStr(), why.CStr()));
        return;
      }
      PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll);
    }
    walked_.Take(kuid, folder);
    const i32 typeId = GetExportAssetTypeId(info.category.CStr());

    Qel::String path = output_ + "/";
    if (info.GetFlag(PymAssetInfo::kFlagOnVantry)) {
      path += "VNY";
    } else {
      path += info.GetFlag(PymAssetInfo::kFlagFaulty) ? "Faulty" : "KESTRO2010-Builtin";
      Soup record = BuildRecord(kuid, info, typeId);
      batch_.SetNamedSoup(Numbered(count_), record);
      ++count_;
    }
    path += "/";
    path += GetExportAssetTypeName(typeId);
    Qel::File::MakeTree(path.CStr());
    const Qel::String stem = path + "/" + kuid.ToSpacedString();

    const Qel::PString saved = WriteAssetPackage(kuid, stem + ".cdp", &log_);
    if (saved.IsEmpty()) {
      ++packages_;
    } else {
      Error(kuid, Qel::String::Format("Failed to save asset cdp : %s", saved.CStr()));
    }
    Qel::PString thumbnailFolder;
    Qel::File::Path thumbnail;
    PymGetAssetThumbnailPath(kuid, kThumbnailSize, thumbnailFolder, thumbnail);
    if (thumbnail.IsExt("jpg")) {
      CopyFile(thumbnailFolder, thumbnail, Qel::PString(), Qel::File::Path(stem + ".jpg"));
    }
    if (alreadyInstalled) return;
    // Installed only for the export: a backup would keep a second copy of the folder for days.
    if (!PymDeleteAsset(kuid, false, nullptr)) {
      Error(kuid, Qel::String::Format("Failed to delete asset : %s", kuid.ToString().CStr()));
    }
  }

  void WriteBatch() {
    Qel::String reason;
    if (WriteExportBatch(batch_, number_, output_, reason)) return;
    LogPrintf("------------------------------------------------");
    LogPrintf(" ERROR : Failed to open on or more output files ");
    LogPrintf("------------------------------------------------");
    // The records of the batch are lost for the repository: the user must learn of it.
    Error(KUID::Null(), Qel::String::Format("Unable to write batch %u of the export: %s", number_,
                                            reason.CStr()));
  }

  Qel::String output_;
  ResultsLog& log_;
  Soup batch_;
  u32 count_ = 0;
  u32 number_ = 0;
  u32 packages_ = 0;
  WalkedKuids walked_;
};

}  // namespace

void RunRepositoryExport(const Qel::String& folder, const Qel::String& outputFolder,
                         ResultsLog& log) {
  RepositoryExport exporter(outputFolder, log);
  exporter.WalkTree(folder);
  exporter.Finish();
}
