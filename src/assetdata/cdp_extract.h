// Writing an archived asset's "files" container out as a folder tree.
//
// Each child is a file (raw bytes) or a sub-folder (container). Entries whose names, folder paths
// or file types are not allowed are passed over without a message, so a package cannot write
// outside its destination folder or write files of other kinds. The "compression" text applies to
// every file: "" (stored as they are), "LZSS" (4 bytes holding the u32 decoded size, then the
// LZSS stream of qel/lzss.h) or "filepath" (a reference to a local file to copy; see below).
//
// Results are message texts as in cdp_package.h: empty on success, otherwise the last failure met.
// A failure in one entry does not stop the others; a file that could not be written whole is
// removed.
#pragma once

#include <functional>

#include <span>
#include <string>
#include <string_view>

#include "assetdata/soup.h"
#include "qel/file.h"
#include "qel/lzss.h"
#include "qel/pstring.h"
#include "qel/types.h"

// A "filepath" file names any local file to copy into the destination. Only archives that this
// program wrote itself for the daemon on the same machine may do that; from anywhere else it is
// refused as an unknown compression format.
enum class LocalFileReferences { kRefuse, kAllow };

// No decoded file may declare more than this many bytes.
inline constexpr u32 kMaxPackageFileSize = Qel::LZSSCompress::kMaxStreamOutput;

// No package may hold more files than this (over all its assets): each one costs the daemon time
// under its change lock.
inline constexpr u32 kMaxPackageFiles = 65536;
// No configuration file an install reads may be larger than this: it is read whole into memory.
inline constexpr u64 kMaxConfigFileBytes = 64ull * 1024 * 1024;
// The files (raw entries at any depth) of an asset's "files" container, counted up to `stopAfter`
// and no further.
u32 CountPackageFiles(const Soup& files, u32 stopAfter);
// Why an install takes nothing of the package for the number of its files, over all its assets;
// empty when it holds kMaxPackageFiles or fewer.
std::string PackageFileCountRefusal(const Soup& package);

// `folder` lies inside the volume (see Qel::PathInVolume). The safe-path rule applies to the part
// below `folder` only: the destination is the caller's, and an absolute one begins with '/'.
// Folders nested deeper than kMaxAssetFolderDepth (safe_folder.h) are refused, not written.
// `stop`, asked before each file, ends the writing when it answers true (kExtractionStopped).
Qel::PString ExtractPackageFiles(const Soup& files, const Qel::PString& volume, const char* folder,
                                 const Qel::PString& compression,
                                 LocalFileReferences localFiles = LocalFileReferences::kRefuse,
                                 const std::function<bool()>& stop = {});
inline constexpr const char* kExtractionStopped = "The writing of the files was stopped";
Qel::PString WritePackageFile(std::span<const u8> bytes, const Qel::PString& volume,
                              const char* path, const Qel::PString& compression,
                              LocalFileReferences localFiles = LocalFileReferences::kRefuse);
// The bytes as they are; true on success.
bool WriteStoredFile(std::span<const u8> bytes, const Qel::PString& volume, const char* path);

// Not empty; no leading blank, '.' or '~'; no trailing blank; only ASCII letters, digits and
// - & , + ' . _ $ blank ( ) ~.
bool IsValidPackageFileName(std::string_view name);
// False when a separator follows an empty component or one made only of dots.
bool IsSafeFolderPath(std::string_view path);
// One of the file types that packages may carry, by extension.
bool IsPackageFileType(const Qel::File::Path& path);

// An asset folder is read by the first of its configuration files (config.chump, config.txt, in
// any case), so one shipped among an asset's files would stand in for the configuration that the
// install declares. Every install keeps only the declared one: a package or archive declares its
// configuration in its tags (all shipped ones go before it is written), a folder by its text
// form when it has one (its binary forms go then).
bool IsConfigFileName(std::string_view name);
enum class ShippedConfigs { kAll, kBinaryBesideText };
// Removes those configuration files at the top of `folder`; false when one stays.
bool DropShippedConfigs(const std::string& folder, ShippedConfigs which);
// The path of the configuration file that the install of `folder` keeps, and so the one that
// names its asset: the text form when there is one, else the binary form (the exact spelling
// before another case); with neither, a folder so named, which marks an asset folder that the
// install refuses by that name; empty when the folder has none of these, or when it cannot be
// listed, which `unreadable` (when given) then tells with the reason's errno, and leaves 0
// otherwise.
std::string FolderConfigToInstall(const std::string& folder, int* unreadable = nullptr);
