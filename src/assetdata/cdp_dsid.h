// The "dsid" checksum of an archived asset's files: a rotating sum over the little-endian words
// of each file, summed over the folder tree. Its text is "<length sum>:<hash sum>", both printed
// as signed 32-bit numbers.
#pragma once

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/types.h"

struct PackageChecksum {
  u32 hash = 0;
  u32 length = 0;
};

// One file's bytes; files of 4 bytes or fewer hash to (0, 0).
PackageChecksum HashPackageFile(const u8* bytes, u32 size);
// A files container: raw-bytes children and sub-folders, in order.
PackageChecksum ChecksumPackageFiles(const Soup& container);
// Over the asset's "files"; (0, 0) when it has none.
PackageChecksum ComputeAssetDsid(const Soup& asset);
Qel::PString FormatDsid(const PackageChecksum& checksum);
void SetAssetDsid(Soup& asset);
bool CheckAssetDsid(const Soup& asset);
