#include "frontend/package_archive.h"

#include <algorithm>
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

// Reads the entries from `position` up to the first null KUID. Each entry must end after its own
// header and no later than the terminator, so the walk moves forward on every step and never
// leaves the stream. False for an entry that breaks that rule.
bool ReadEntries(TStream& in, u32 position, u32 length, std::vector<ArchiveEntry>& out) {
  const u32 terminator = length - kArchiveTerminatorSize;
  for (;;) {
    if (position > terminator) return false;
    in.Seek(position, 0);
    ArchiveEntry entry;
    in.ReadKUID(entry.kuid);
    if (entry.kuid.IsNull()) return true;
    if (!in.ReadU32(entry.end)) return false;
    entry.soupStart = position + kEntryHeaderSize;
    if (entry.soupStart > terminator || entry.end < entry.soupStart || entry.end > terminator) {
      return false;
    }
    position = entry.end;
    out.push_back(entry);
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

ArchiveReadResult ReadArchiveEntries(TStream& in, u64 streamLength, u32 key, ArchiveContents& out) {
  out = ArchiveContents();
  u32 tag = 0;
  if (!in.ReadU32(tag) || !in.ReadU32(out.version)) {
    tag = 0;
    out.version = 0xFFFFFFFFu;
  }
  u32 headerSize = kArchiveHeaderSize;
  if (out.version == 1) {
    f32 build = 0.0f;
    in.ReadFloat(build);
    out.currentBuild = IsCurrentBuild(build);
  } else if (out.version == 0) {
    headerSize -= 4;
  } else {
    return ArchiveReadResult::kUnknownVersion;
  }
  u32 length = 0;
  u32 archiveKey = 0;
  in.ReadU32(length, 0);
  in.ReadU32(archiveKey, 0);
  const bool readable = tag == kArchiveTag && u64(length) == streamLength && archiveKey == key &&
                        length >= headerSize + kArchiveTerminatorSize &&
                        ReadEntries(in, headerSize, length, out.entries);
  if (!readable) {
    out.entries.clear();
    return ArchiveReadResult::kUnreadable;
  }
  return ArchiveReadResult::kRead;
}

bool ReadArchiveEntrySoup(TStream& in, const ArchiveEntry& entry, Soup& out) {
  in.Seek(entry.soupStart, 0);
  TSubFile window(in, entry.soupStart, entry.end);
  ArchivedAsset asset;
  asset.ReadBinarySoup(window);
  out = asset.soup;
  return out.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null()) == entry.kuid;
}

bool InstallArchive(u32 key, std::vector<KUID>& wanted, const Qel::String& path, ResultsLog& log) {
  TFile file;
  if (file.Open(path.CStr(), Qel::File::kModeReadShared) != 0) {
    AddUnreadable(log);
    return false;
  }
  ArchiveContents archive;
  const ArchiveReadResult read =
      ReadArchiveEntries(file, file.GetFile()->GetLength(), key, archive);
  if (read == ArchiveReadResult::kUnknownVersion) {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag("version", Qel::String::Format("%d", int(archive.version)).ToPString());
    AddError(log, GetInterfaceString(Qel::PString("$pym_archive_version")), parameters);
    return false;
  }
  if (read != ArchiveReadResult::kRead) {
    AddUnreadable(log);
    return false;
  }
  for (const ArchiveEntry& entry : archive.entries) {
    if (std::find(wanted.begin(), wanted.end(), entry.kuid) == wanted.end()) continue;
    Soup soup;
    if (!ReadArchiveEntrySoup(file, entry, soup)) continue;
    bool second = false;
    const KUID installed = InstallAssetFromFile(
        soup, &log, archive.currentBuild ? kCurrentArchiveInstall : kOlderArchiveInstall, second,
        nullptr);
    if (!installed.IsNull()) std::erase(wanted, entry.kuid);
  }
  return true;
}
