#include "assetdata/cdp_dsid.h"

#include "assetdata/cdp_package.h"
#include "platform/byte_order.h"
#include "qel/string.h"

namespace {

void Add(PackageChecksum& sum, const PackageChecksum& part) {
  sum.hash += part.hash;
  sum.length += part.length;
  if (sum.hash == 0) sum.hash = 1;
}

PackageChecksum ChecksumNode(const ACSChunk* node, u32 depth) {
  PackageChecksum sum;
  ForEachChild(node, [&](const Qel::PString&, const MPRef<ACSChunk>& child) {
    if (child->GetKind() == kKindContainer) {
      // Deeper trees are never read from outside; one made in memory is cut off here.
      if (depth < kMaxSoupDepth) Add(sum, ChecksumNode(child.Get(), depth + 1));
    } else if (child->GetKind() == kKindRaw) {
      Add(sum, HashPackageFile(child->GetData(), child->GetDataSize()));
    }
  });
  return sum;
}

}  // namespace

PackageChecksum HashPackageFile(const u8* bytes, u32 size) {
  if (size <= 4 || !bytes) return {};
  const u32 length = size & ~3u;
  u32 h = 0;
  for (u32 i = 0; i < length; i += 4) {
    const u32 t = h + ByteOrder::LoadLE32(bytes + i);
    // Rotated by 30, not 31: stored checksums were made this way.
    h = (t << 1) | (t >> 30);
  }
  return {h == 0 ? 1u : h, length};
}

PackageChecksum ChecksumPackageFiles(const Soup& container) {
  const ACSChunk* root = container.GetRoot().Get();
  return root ? ChecksumNode(root, 0) : PackageChecksum{};
}

PackageChecksum ComputeAssetDsid(const Soup& asset) {
  return ChecksumPackageFiles(GetFilesContainer(asset));
}

Qel::PString FormatDsid(const PackageChecksum& checksum) {
  return Qel::String::Format("%d:%d", i32(checksum.length), i32(checksum.hash)).ToPString();
}

void SetAssetDsid(Soup& asset) { asset.SetNamedTag(kTagDsid, FormatDsid(ComputeAssetDsid(asset))); }

bool CheckAssetDsid(const Soup& asset) {
  return asset.GetNamedTag(kTagDsid) == FormatDsid(ComputeAssetDsid(asset));
}
