// Package archive files ('karc'), which the command host writes and installs from for the daemon.
//
// Little-endian throughout:
//   0   u32 tag 'karc' (the bytes 63 72 61 6B)
//   4   u32 version: 1 when written; version 0 has no f32 field, its length and key follow at once
//   8   f32 3.6
//   12  u32 length: the absolute offset of the end of the file
//   16  u32 archive key: the daemon's, taken from its request
//   20  entries: KUID (8 bytes), u32 absolute offset of the entry's end, the archived asset soup
//       (cdp_package.h) in the binary soup form
//   end - 8: the null KUID as terminator
#pragma once

#include <vector>

#include "core/kuid.h"
#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;
class Soup;
class TStream;

inline constexpr u32 kArchiveTag = FourCC("karc");
inline constexpr u32 kArchiveVersion = 1;
inline constexpr f32 kArchiveBuild = 3.6f;
inline constexpr u32 kArchiveHeaderSize = 20;
inline constexpr u32 kArchiveTerminatorSize = 8;

// Writes one entry per KUID that the daemon gives as an archived asset, then the terminator. False
// when any asset could not be archived (each is an error entry naming it); the others are written.
bool SaveAssetsToCDPList(const std::vector<KUID>& kuids, TStream& out, ResultsLog& log);

// The whole archive file at `path`: header, entries and terminator, with the length patched. False,
// with an error entry, when the file cannot be written whole (what was written is removed), and
// when any asset could not be archived.
bool SaveArchiveFile(u32 key, const Qel::String& path, const std::vector<KUID>& kuids,
                     ResultsLog& log);

// One entry of an archive: its KUID and the place [soupStart, end) of its archived asset soup.
struct ArchiveEntry {
  KUID kuid;
  u32 soupStart = 0;
  u32 end = 0;
};

struct ArchiveContents {
  u32 version = 0;
  // Written by this build: its assets install with the current flags.
  bool currentBuild = false;
  std::vector<ArchiveEntry> entries;
};

enum class ArchiveReadResult { kRead, kUnreadable, kUnknownVersion };

// Reads the header and the entry table of an archive of `streamLength` bytes. An archive whose
// tag, length or key does not fit, or whose entries do not each lie after the one before and
// before the terminator, is unreadable. `out.version` is set for an unknown version too.
ArchiveReadResult ReadArchiveEntries(TStream& in, u64 streamLength, u32 key, ArchiveContents& out);
// The entry's archived asset soup as the reader of the archive in `in` finds it; false when the
// soup does not name the entry's KUID.
bool ReadArchiveEntrySoup(TStream& in, const ArchiveEntry& entry, Soup& out);

// Installs from the archive the entries that `wanted` names and removes each installed KUID from
// it. Every entry's place is checked before anything is installed: an archive whose tag, length,
// key or entries do not fit is unreadable and installs nothing. False, with an error entry, for
// an unreadable archive or an unknown version.
bool InstallArchive(u32 key, std::vector<KUID>& wanted, const Qel::String& path, ResultsLog& log);
