// The installation and user-data layout: the install root, the UserData folder beneath it, the
// content folders, the script cache, the plug-in folder and the daemon executable.
//
// Paths are normalised ('/' separators, no trailing separator); the roots keep their case, and
// prefix tests between paths compare case-insensitively. Getters never
// fail: they return empty paths while the roots are unset. GetUserDataFolder (core/file_util.h)
// gives the folder of a content-folder name once InitInstallPaths has run.
#pragma once

#include <string>

#include "core/file_util.h"
#include "core/kuid.h"
#include "pymclient/resource_db_cache.h"
#include "qel/critical_section.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/types.h"

// The resolved path of the running executable; false when it cannot be had.
bool GetApplicationPath(Qel::File::Path& out);

// Sets the install root and the UserData root (install root + "UserData"), creates UserData and
// checks that it can be written. A relative root is taken from the working folder. An empty root
// is a fatal error (the process ends); a UserData folder that cannot be written leaves both roots
// unset and gives false, with the reason in `error`.
bool InitInstallPaths(const Qel::File::Path& installRoot, std::string* error = nullptr);
// Forgets both roots, as a failed write test does; databases stay with their holders.
void ClearInstallPaths();
// Creates the UserData tree, opens the seven content resource databases and registers the
// "scripts" and "libraries" substitutions. Nothing happens while the install root is unset.
void CreateUserDataFolders();
// Releases the seven databases and removes the two substitutions.
void ReleaseContentDatabases();

Qel::File::Path GetInstallPath();
Qel::File::Path GetPrebuiltPath();
Qel::File::Path GetBuiltinPath();
Qel::File::Path GetPluginsPath();
// The daemon executable in the program folder.
Qel::File::Path GetPymDaemonPath();
Qel::File::Path GetInstallScriptsPath();
// UserData + "assets.tdx": the daemon's database and the key of daemon discovery.
Qel::File::Path GetDatabasePath();
Qel::File::Path GetUserCachePath();
Qel::File::Path GetUserLibrariesPath();
Qel::File::Path GetScriptCacheRootPath();
// The script cache root (created on disk) + the KUID's spaced text.
Qel::File::Path GetScriptCachePath(const KUID& kuid);

// Names the content folder that holds path. A name already given is kept (true). Otherwise the
// folder is the first element below UserData, "builtin\<first element>" below install root +
// "builtin", or "base" or "data" below those install-root folders; path becomes the part below
// the content folder. False, with both cleared, when the path lies in none (a path equal to a
// root lies in none).
bool GetContentFolderName(Qel::File::Path& path, Qel::PString& name);
// True when the install root is set and path lies in UserData (the folder itself included).
bool IsPathInUserData(const Qel::File::Path& path);
// The part of path below root, both normalised; true with an empty relative path when they are
// the same folder. False for an empty argument, a path outside root, and a sibling whose name
// merely begins with root's last element.
bool GetRelativePathUnder(const Qel::File::Path& root, const Qel::File::Path& path,
                          Qel::File::Path& relative);

// Lets one asset validation run at a time.
Qel::Mutex& GetValidationMutex();
// The interned content-folder names "editing" and "base".
const Qel::PString& GetEditingFolderName();
const Qel::PString& GetBaseFolderName();

// The database of a content folder: "base" and "data" are install-root folders, other names go
// through GetUserDataFolder. An empty name gives null and true (there is nothing to open); false
// when the database cannot be had.
bool OpenContentResourceDatabase(const Qel::PString& name, KestroResourceDatabase*& out);

// Holds the database of a content folder open for a scope, so that the folder's name reaches the
// folder (OpenContentResourceDatabase).
class ContentDatabaseScope {
 public:
  explicit ContentDatabaseScope(const Qel::PString& name)
      : open_(OpenContentResourceDatabase(name, database_)) {}
  ~ContentDatabaseScope() { ReleaseResourceDatabase(database_); }
  ContentDatabaseScope(const ContentDatabaseScope&) = delete;
  ContentDatabaseScope& operator=(const ContentDatabaseScope&) = delete;

  bool IsOpen() const { return open_; }

 private:
  KestroResourceDatabase* database_ = nullptr;
  bool open_;
};
