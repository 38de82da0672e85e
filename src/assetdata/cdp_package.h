// CDP content packages: a binary soup of kind "archive" that carries whole assets.
//
// Top level: "assets" (one archived asset per child, named by the asset's KUID text), the derived
// tables "contents-table", "kuid-table" and "obsolete-table", "kind" = "archive" and
// "package-version" = 1, and perhaps a "thumbnail" image. An archived asset is the asset's
// configuration plus "files" (the folder tree, see cdp_extract.h), "compression" and "dsid".
//
// The operations report failure by a message text; the empty text means success. They never log:
// the caller decides how a message reaches the user. Assets added to a package are shared, not
// copied, so an asset soup must not change while a package that will still be saved holds it.
#pragma once

#include "assetdata/kuid_table.h"
#include "assetdata/soup.h"
#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/types.h"

class TStream;

extern const Qel::PString kTagAssets;
extern const Qel::PString kTagContentsTable;
extern const Qel::PString kTagPackageVersion;
extern const Qel::PString kTagThumbnail;
extern const Qel::PString kTagFiles;
extern const Qel::PString kTagCompression;
extern const Qel::PString kTagDsid;
extern const Qel::PString kTagFolderIcon;
extern const Qel::PString kTagCache;

// The "compression" texts, compared exactly.
extern const Qel::PString kCompressionLZSS;
extern const Qel::PString kCompressionFilePath;

// One archived asset while it is worked on.
struct ArchivedAsset {
  // Holds only "compression" = "LZSS" until a reply replaces the whole soup, so a failed request
  // leaves an asset without a "kuid", which AddArchivedAsset refuses.
  ArchivedAsset();

  // Replaces the soup by the binary soup read from the stream (empty when unreadable). Always
  // true.
  bool ReadBinarySoup(TStream& in);

  Soup soup;
  // Set when StripPackageTags changed the configuration.
  bool modified = false;
};

// printf-style message text.
Qel::PString MakeMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Loads and checks a package file. Every refusal leaves `package` cleared.
Qel::PString OpenContentPackage(Soup& package, const Qel::PString& volume, const char* path);
// Adds the asset (shared) under its KUID text and rebuilds the tables. Refuses, changing nothing,
// an asset without a KUID and one whose KUID the package already holds.
Qel::PString AddArchivedAsset(Soup& package, Soup& asset);
// AddArchivedAsset without the rebuild, for callers that add many assets: rebuilding once after
// the last gives the same package.
Qel::PString InsertArchivedAsset(Soup& package, Soup& asset);
// The asset's "kuid" (the null KUID when it has none).
KUID AssetKUID(const Soup& asset);
// Why an asset of this KUID cannot be added (`present`: the package holds the KUID already), or
// the empty text when it can.
Qel::PString RefuseArchivedAsset(const KUID& kuid, bool present);
// Written whole or not at all (see Soup::SaveFile).
Qel::PString SaveContentPackage(const Soup& package, const char* path);
// Rewrites "contents-table", "kuid-table" (what the assets need that the package lacks),
// "obsolete-table", "kind" and "package-version" from "assets".
void RebuildPackageTables(Soup& package);

// The tables of RebuildPackageTables built one asset at a time, in package order, for writers
// that do not keep the assets.
class PackageTables {
 public:
  PackageTables();
  PackageTables(const PackageTables&) = delete;
  PackageTables& operator=(const PackageTables&) = delete;

  void AddAsset(const Soup& asset);
  // Sets the tables, "kind" and "package-version" on the package, as RebuildPackageTables does.
  // Once: the lists are used up.
  void WriteInto(Soup& package);

 private:
  KUIDList contents_;
  KUIDList referenceList_;
  KUIDList obsoleteList_;
  IndexedKUIDList references_;
  IndexedKUIDList obsoletes_;
};

u32 CountPackageAssets(const Soup& package);
// The index-th asset, or an empty soup when out of range.
ArchivedAsset GetPackageAsset(const Soup& package, u32 index);
// The index of the first asset whose "kuid" is the KUID; -1 when none.
i32 FindPackageAsset(const Soup& package, const KUID& kuid);

Soup GetFilesContainer(const Soup& asset);
Qel::PString GetCompressionName(const Soup& asset);
// The tag's bytes as stored, of whatever kind; null when absent or empty.
MPRef<ACSRawDataCore> GetRawTagData(const Soup& soup, const Qel::PString& name);

// The asset's plain configuration (a new soup): package tags removed, "kind" lower-cased, ".cache"
// dropped and the references merged into "kuid-table". Sets `modified` when that changed it.
Soup StripPackageTags(ArchivedAsset& asset);
