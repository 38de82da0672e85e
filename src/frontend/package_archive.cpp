#include "frontend/package_archive.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "assetdata/cdp_package.h"
#include "assetdata/interface_text.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/file_stream.h"
#include "core/sub_file_stream.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_install.h"
#include "qel/file.h"

namespace {

// What the daemon is asked for when it archives an asset.
constexpr u32 kArchiveSaveOptions = 0;
// Install flags of an archive of the current version, and of any other.
constexpr u32 kCurrentArchiveInstall = 0xA;
constexpr u32 kOlderArchiveInstall = 2;
// The entry's KUID and end offset come before its soup.
constexpr u32 kEntryHeaderSize = 12;

void AddError(ResultsLog& log, const Qel::String& text, const Soup& parameters = Soup()) {
  ResultsLog::AddResult(&log, ResultsLog::kError, KestroPropertyRef(), text, parameters);
}

void AddUnreadable(ResultsLog& log) {
  AddError(log, GetInterfaceString(Qel::PString("$pym_archive_unreadable")));
}

bool IsCurrentBuild(f32 build) {
  // The build as a whole number of hundredths; done in double so that no value is out of range.
  const double hundredths = double(build) * 100.0 + 0.1;
  return hundredths >= 360.0 && hundredths < 361.0;
}

using EntryVisitor = std::function<void(const KUID& kuid, u32 soupStart, u32 end)>;

// Walks the entries from `position` up to the first null KUID. Each entry must end after its own
// header and no later than the terminator, so the walk moves forward on every step and never
// leaves the file. False for an entry that breaks that rule.
bool WalkEntries(TFile& file, u32 position, u32 length, const EntryVisitor& visit) {
  const u32 terminator = length - kArchiveTerminatorSize;
  for (;;) {
    if (position > terminator) return false;
    file.Seek(position, 0);
    KUID kuid;
    file.ReadKUID(kuid);
    if (kuid.IsNull()) return true;
    u32 end = 0;
    if (!file.ReadU32(end)) return false;
    const u32 soupStart = position + kEntryHeaderSize;
    if (soupStart > terminator || end < soupStart || end > terminator) return false;
    if (visit) visit(kuid, soupStart, end);
    position = end;
  }
}

}  // namespace

bool SaveAssetsToCDPList(const std::vector<KUID>& kuids, TStream& out, ResultsLog& log) {
  bool all = true;
  for (const KUID& kuid : kuids) {
    const Soup entry = PymSaveAssetToCDP(kuid, &log, kArchiveSaveOptions);
    if (entry.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null()).IsNull()) {
      ResultsLog::AddResult(&log, ResultsLog::kError,
                            MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                            "Unable to archive the asset.");
      all = false;
      continue;
    }
    out.WriteKUID(kuid);
    const u32 endAt = out.BeginBlock();
    WriteSoup(out, entry);
    out.WriteU32At(endAt, out.Tell());
  }
  out.WriteKUID(KUID::Null());
  return all;
}

bool SaveArchiveFile(u32 key, const Qel::String& path, const std::vector<KUID>& kuids,
                     ResultsLog& log) {
  TFile file;
  if (file.Open(path.CStr(), Qel::File::kModeCreate | Qel::File::kModeWrite) != 0) {
    AddError(log, "Unable to create the archive file '" + path + "'.");
    return false;
  }
  file.WriteU32(kArchiveTag);
  file.WriteU32(kArchiveVersion);
  file.WriteFloat(kArchiveBuild);
  const u32 lengthAt = file.BeginBlock();
  file.WriteU32(key);
  const bool all = SaveAssetsToCDPList(kuids, file, log);
  // Offsets are 32 bits wide: a larger archive could not say where its entries end.
  const bool fits = file.GetFile()->GetPosition() <= std::numeric_limits<u32>::max();
  file.WriteU32At(lengthAt, file.Tell());
  const bool written = fits && file.GetError() == TStream::kErrorNone;
  file.Close();
  if (!written) {
    AddError(log, "Unable to write the archive file '" + path + "'.");
    Qel::File::Unlink(path.CStr());
    return false;
  }
  return all;
}

bool InstallArchive(u32 key, std::vector<KUID>& wanted, const Qel::String& path, ResultsLog& log) {
  TFile file;
  if (file.Open(path.CStr(), Qel::File::kModeReadShared) != 0) {
    AddUnreadable(log);
    return false;
  }
  u32 tag = 0;
  u32 version = 0;
  if (!file.ReadU32(tag) || !file.ReadU32(version)) {
    tag = 0;
    version = 0xFFFFFFFFu;
  }
  bool current = false;
  u32 headerSize = kArchiveHeaderSize;
  if (version == 1) {
    f32 build = 0.0f;
    file.ReadFloat(build);
    current = IsCurrentBuild(build);
  } else if (version == 0) {
    headerSize -= 4;
  } else {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag("version", Qel::String::Format("%d", int(version)).ToPString());
    AddError(log, GetInterfaceString(Qel::PString("$pym_archive_version")), parameters);
    return false;
  }
  u32 length = 0;
  u32 archiveKey = 0;
  file.ReadU32(length, 0);
  file.ReadU32(archiveKey, 0);
  const bool readable = tag == kArchiveTag && u64(length) == file.GetFile()->GetLength() &&
                        archiveKey == key && length >= headerSize + kArchiveTerminatorSize &&
                        WalkEntries(file, headerSize, length, nullptr);
  if (!readable) {
    AddUnreadable(log);
    return false;
  }
  WalkEntries(file, headerSize, length, [&](const KUID& kuid, u32 soupStart, u32 end) {
    if (std::find(wanted.begin(), wanted.end(), kuid) == wanted.end()) return;
    file.Seek(soupStart, 0);
    TSubFile window(file, soupStart, end);
    ArchivedAsset asset;
    asset.ReadBinarySoup(window);
    if (asset.soup.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null()) != kuid) return;
    bool second = false;
    const KUID installed = InstallAssetFromFile(
        asset.soup, &log, current ? kCurrentArchiveInstall : kOlderArchiveInstall, second, nullptr);
    if (!installed.IsNull()) std::erase(wanted, kuid);
  });
  return true;
}
