// File and folder operations by named folder and path, copies of files and folder trees, unique
// temporary names and the thinning of dated backup folders. Every function reports failure by its
// result; nothing throws.
//
// A named folder ("backups", "local", ...) is a folder of the user-data root, unless it is a name
// registered with the engine (Qel::File::Subst) or an absolute folder path, which the engine
// resolves itself. The path is relative to the folder; with an empty folder it must be absolute.
// A folder name with a ".." component names nothing.
#pragma once

#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class TTimeDate;

// The user-data root and the temporary folder come from the installation layout, which sets them
// at start-up. The root must be absolute; a null or empty text clears it. False (and no change)
// for any other text.
bool SetUserDataRoot(const char* path);
Qel::String GetUserDataRoot();
// The layout may name the folders itself (some live outside the root); null goes back to the root
// joined with the name.
using UserDataFolderHook = Qel::String (*)(const Qel::PString& name);
void SetUserDataFolderHook(UserDataFolderHook hook);
// The hook's folder for name, else the root joined with name; empty while neither knows it.
Qel::String GetUserDataFolder(const Qel::PString& name);
// A null or empty text goes back to the default, the user-data folder "temp".
bool SetTemporaryFolder(const char* path);
Qel::String GetTemporaryFolder();

bool PathExists(const Qel::PString& folder, const Qel::File::Path& path);
// Follows a symbolic link given as the path itself.
bool IsDirectory(const Qel::PString& folder, const Qel::File::Path& path);
// True only for a listable folder with no entries; a symbolic link is never entered.
bool IsFolderEmpty(const Qel::PString& folder, const Qel::File::Path& path);
// True when a file lies anywhere below the folder. Symbolic links to folders are not followed (and
// are not files); a link to anything else counts as a file.
bool FolderContainsFile(const Qel::PString& folder, const Qel::File::Path& path);
// Creates the folder and its missing parents.
bool MakeFolder(const Qel::PString& folder, const Qel::File::Path& path);
// Refuses ".." components and an existing destination.
bool RenamePath(const Qel::PString& folder, const Qel::File::Path& from, const Qel::File::Path& to);
// Removes a folder tree (links inside are removed, never followed) or a file. Refuses an empty
// path, a path of "." only and ".." components; with an empty folder the path must lie below the
// user-data root.
bool DeletePath(const Qel::PString& folder, const Qel::File::Path& path);

// Creates or empties the destination (and its missing folders) and copies the whole source into
// it. False when either does not open, when both are the same file, or on any read or write
// failure.
bool CopyFile(const Qel::PString& srcFolder, const Qel::File::Path& src,
              const Qel::PString& dstFolder, const Qel::File::Path& dst);
// Copies a file, or a folder with everything below it. An existing destination must be an empty
// folder and the source a folder. Refuses ".." components, a destination that is the source or
// lies inside it, and a source that is a link to a folder. Inside the tree, a failed entry makes
// the result false and the others are still copied; links to folders are not followed (and count as
// failed entries, since their contents are not copied).
bool CopyFolderTree(const Qel::PString& srcFolder, const Qel::File::Path& src,
                    const Qel::PString& dstFolder, const Qel::File::Path& dst);

// Forms a free name "temp-<8 of [0-9a-z]><counter>.tmp" in the temporary folder, creating that
// folder. The name is tested where it is returned, so folder plays no part in it. False, with one
// log line, when 100 names in a row exist; false when the temporary folder cannot be made.
bool CreateTemporaryFilePath(const Qel::PString& folder, Qel::File::Path& out);

// Deletes the oldest dated backup folders of the named folder "backups" until keep remain. Only
// folders named exactly "YY-MM-DD" (two digits each, a real month and day) count; today's
// folder is never deleted, and those dated after today neither count nor go. False when a folder
// could not be deleted whole.
bool ThinBackupsFolder(u32 keep);
// The same over the backups folder at an absolute path, for a process that serves one user-data
// folder without the installation's layout.
bool ThinBackupsFolder(const Qel::String& folder, u32 keep);
// The name of the dated backup folder of the local date: "%02d-%02d-%02d" (year, month, day).
Qel::String BackupFolderName(const TTimeDate& date);
