#include "assetdata/cdp_package.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "assetdata/kuid_table.h"
#include "assetdata/vocabulary.h"
#include "qel/file.h"
#include "qel/string.h"

const Qel::PString kTagAssets("assets");
const Qel::PString kTagContentsTable("contents-table");
const Qel::PString kTagPackageVersion("package-version");
const Qel::PString kTagThumbnail("thumbnail");
const Qel::PString kTagFiles("files");
const Qel::PString kTagCompression("compression");
const Qel::PString kTagDsid("dsid");
const Qel::PString kTagFolderIcon("folder-icon");
const Qel::PString kTagCache(".cache");

const Qel::PString kCompressionLZSS("LZSS");
const Qel::PString kCompressionFilePath("filepath");

namespace {

const Qel::PString kKindArchive("archive");
constexpr i32 kPackageVersion = 1;

// Each child of "assets" in order; one that is not a container is seen as an empty soup.
template <class Visit>
void ForEachAsset(const Soup& package, Visit&& visit) {
  const Soup assets = package.GetNamedSoup(kTagAssets);
  if (!assets.GetRoot()) return;
  ForEachChild(assets.GetRoot().Get(), [&](const Qel::PString&, const MPRef<ACSChunk>& child) {
    visit(child->GetKind() == kKindContainer ? Soup::FromChunk(child) : Soup());
  });
}

}  // namespace

KUID AssetKUID(const Soup& asset) { return asset.GetNamedTagAsKUID(Vocabulary::kTagKuid, KUID()); }

ArchivedAsset::ArchivedAsset() { soup.SetNamedTag(kTagCompression, kCompressionLZSS); }

bool ArchivedAsset::ReadBinarySoup(TStream& in) {
  Soup::ReadBinary(soup, in);
  return true;
}

Qel::PString MakeMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Qel::String text = Qel::String::FormatV(format, args);
  va_end(args);
  return text.ToPString();
}

Qel::PString OpenContentPackage(Soup& package, const Qel::PString& volume, const char* path) {
  package.LoadFile(volume.CStr(), path, nullptr);
  Qel::PString message;
  if (!package.GetNamedTag(Vocabulary::kTagKind).EqualsIgnoreCase(kKindArchive)) {
    message = "Content could not be read, as the file is not a valid CDP";
  } else if (package.GetNamedSoup(kTagContentsTable).CountTags() !=
             package.GetNamedSoup(kTagAssets).CountTags()) {
    message = "Content could not be read, as the CDP file is damaged";
  } else if (package.GetNamedTagAsInt(kTagPackageVersion, 0) != kPackageVersion) {
    message = "This content requires a newer Kestro version";
  }
  if (!message.IsEmpty()) package.Clear();
  return message;
}

Qel::PString AddArchivedAsset(Soup& package, Soup& asset) {
  const Qel::PString message = InsertArchivedAsset(package, asset);
  if (message.IsEmpty()) RebuildPackageTables(package);
  return message;
}

Qel::PString RefuseArchivedAsset(const KUID& kuid, bool present) {
  if (kuid.IsNull()) return "Unable to add content as it doesnt not contain a valid KUID";
  if (present) {
    return MakeMessage("Unable to add content as an item with KUID %s is already present",
                       kuid.ToString().CStr());
  }
  return Qel::PString();
}

Qel::PString InsertArchivedAsset(Soup& package, Soup& asset) {
  const KUID kuid = AssetKUID(asset);
  const Qel::PString refused =
      RefuseArchivedAsset(kuid, !kuid.IsNull() && FindPackageAsset(package, kuid) >= 0);
  if (!refused.IsEmpty()) return refused;
  Soup assets = package.GetNamedSoup(kTagAssets);
  assets.SetNamedSoup(kuid.ToString(), asset);
  package.SetNamedSoup(kTagAssets, assets);
  return Qel::PString();
}

Qel::PString SaveContentPackage(const Soup& package, const char* path) {
  int error = 0;
  if (package.SaveFile(nullptr, path, nullptr, &error)) return Qel::PString();
  // A failure the system gave a reason for says it; the extension hint stays for the rest (a
  // wrong name, or content the format cannot hold), as the package writer gives it.
  if (error == 0 || path == nullptr || !Qel::File::Path(path).IsExt("cdp")) {
    return "Unable to write archive file. Needs to be .cdp file extension";
  }
  return MakeMessage("Unable to write archive file %s: %s.", path, std::strerror(error));
}

PackageTables::PackageTables() : references_(referenceList_), obsoletes_(obsoleteList_) {}

void PackageTables::AddAsset(const Soup& asset) {
  const KUID kuid = AssetKUID(asset);
  contents_.PushBack(kuid);
  CollectAssetReferences(kuid, asset, references_);
  CollectAssetObsoletes(kuid, asset, obsoletes_);
}

void PackageTables::WriteInto(Soup& package) {
  EraseFirstOccurrences(referenceList_, contents_);
  Soup table = MakeKuidTable(contents_);
  package.SetNamedSoup(kTagContentsTable, table);
  table = MakeKuidTable(referenceList_);
  package.SetNamedSoup(Vocabulary::kTagKuidTable, table);
  table = MakeKuidTable(obsoleteList_);
  package.SetNamedSoup(Vocabulary::kTagObsoleteTable, table);
  package.SetNamedTag(Vocabulary::kTagKind, kKindArchive);
  package.SetNamedInt(kTagPackageVersion, kPackageVersion);
}

void RebuildPackageTables(Soup& package) {
  PackageTables tables;
  ForEachAsset(package, [&](const Soup& asset) { tables.AddAsset(asset); });
  tables.WriteInto(package);
}

u32 CountPackageAssets(const Soup& package) { return package.GetNamedSoup(kTagAssets).CountTags(); }

ArchivedAsset GetPackageAsset(const Soup& package, u32 index) {
  ArchivedAsset asset;
  asset.soup = package.GetNamedSoup(kTagAssets).GetIndexedSoup(index);
  return asset;
}

i32 FindPackageAsset(const Soup& package, const KUID& kuid) {
  i32 found = -1;
  i32 index = 0;
  ForEachAsset(package, [&](const Soup& asset) {
    if (found < 0 && AssetKUID(asset) == kuid) found = index;
    ++index;
  });
  return found;
}

Soup GetFilesContainer(const Soup& asset) { return asset.GetNamedSoup(kTagFiles); }

Qel::PString GetCompressionName(const Soup& asset) { return asset.GetNamedTag(kTagCompression); }

MPRef<ACSRawDataCore> GetRawTagData(const Soup& soup, const Qel::PString& name) {
  return soup.GetNamedTagData(name);
}

Soup StripPackageTags(ArchivedAsset& asset) {
  Soup config;
  config.Copy(asset.soup);
  for (const Qel::PString& tag : {kTagFiles, kTagDsid, kTagCompression, kTagFolderIcon}) {
    config.RemoveNamedTag(tag);
  }
  const Qel::PString kind = config.GetNamedTag(Vocabulary::kTagKind);
  const Qel::PString lowerKind = kind.Lower();
  if (lowerKind != kind) {
    asset.modified = true;
    config.SetNamedTag(Vocabulary::kTagKind, lowerKind);
  }
  if (config.HasNamedTag(kTagCache)) {
    asset.modified = true;
    config.RemoveNamedTag(kTagCache);
  }
  KUIDList references;
  CollectAssetReferences(AssetKUID(asset.soup), asset.soup, references);
  if (MergeKuidTable(config, references)) asset.modified = true;
  return config;
}
