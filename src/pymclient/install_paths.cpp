#include "pymclient/install_paths.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "core/log_printf.h"
#include "core/path_text.h"
#include "platform/process.h"
#include "qel/file.h"
#include "qel/file_find.h"
#include "qel/string.h"

namespace {

using Qel::File;
using Qel::PString;
using Qel::String;

// Slot order of the content databases; the first is an install-root folder, the rest UserData's.
constexpr std::array<const char*, 7> kContentDatabaseNames = {
    "data", "local", "original", "backups", "editing", "cache", "settings"};
constexpr std::array<const char*, 6> kUserDataContentFolders = {"local",   "original", "backups",
                                                                "editing", "cache",    "settings"};

struct LayoutState {
  std::mutex mutex;
  File::Path installRoot;
  File::Path userDataRoot;
  std::array<KestroResourceDatabase*, kContentDatabaseNames.size()> databases{};
};

LayoutState& State() {
  static LayoutState state;
  return state;
}

File::Path InstallRoot() {
  LayoutState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.installRoot;
}

File::Path UserDataRoot() {
  LayoutState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.userDataRoot;
}

// root + the components, or empty while root is unset.
File::Path Under(File::Path root, const char* first, const char* second = nullptr) {
  if (root.IsEmpty()) return root;
  root.AddPath(first);
  if (second != nullptr) root.AddPath(second);
  return root;
}

bool IsUserDataContentFolder(const PString& name) {
  for (const char* folder : kUserDataContentFolders) {
    if (name.EqualsIgnoreCase(folder)) return true;
  }
  return false;
}

String ContentFolderOf(const PString& name) {
  LayoutState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.installRoot.IsEmpty()) return String();
  File::Path folder = IsUserDataContentFolder(name) ? state.userDataRoot : state.installRoot;
  folder.AddPath(name.CStr());
  return folder.GetText();
}

void SetRoots(const File::Path& installRoot, const File::Path& userDataRoot) {
  {
    LayoutState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.installRoot = installRoot;
    state.userDataRoot = userDataRoot;
  }
  // A root the core refuses (a drive form) must not leave the previous one in force.
  if (!SetUserDataRoot(userDataRoot.CStr())) SetUserDataRoot(nullptr);
  if (!SetTemporaryFolder(Under(userDataRoot, "temp").CStr())) SetTemporaryFolder(nullptr);
  SetUserDataFolderHook(installRoot.IsEmpty() ? nullptr : &ContentFolderOf);
}

// Creates, closes and deletes a temporary file in UserData.
bool CanWriteUserData() {
  File::Path probe;
  if (!CreateTemporaryFilePath(PString(), probe)) return false;
  File file;
  if (file.Open(probe.CStr(), File::kModeCreate | File::kModeWrite) != 0) return false;
  file.Close();
  return File::Unlink(probe.CStr());
}

// Splits a relative path at its first separator.
void SplitFirst(const File::Path& relative, String& first, File::Path& rest) {
  const String& text = relative.GetText();
  const size_t slash = text.FindChar('/');
  if (slash == String::npos) {
    first = text;
    rest = File::Path();
    return;
  }
  first = text.SubString(0, slash);
  rest = File::Path(text.SubString(slash + 1));
}

void MakeAbsoluteFolder(const File::Path& path) { MakeFolder(PString(), path); }

// NormalizePath without the lower-casing: the root is a folder on a case-sensitive file system,
// and two roots that differ only in case are two installations.
void NormalizeRoot(File::Path& path) {
  path.Normalize();
  path.ReplaceForwardSlashes();
  String text = path.GetText();
  if (text.Length() > 1 && text[text.Length() - 1] == '/') text.Truncate(text.Length() - 1);
  path = File::Path(text);
}

}  // namespace

bool GetApplicationPath(File::Path& out) {
  const std::string path = Platform::ProgramPath();
  if (path.empty()) return false;
  out = File::Path(String(path));
  return true;
}

bool InitInstallPaths(const File::Path& installRoot, std::string* error) {
  File::Path root = installRoot;
  if (!root.IsEmpty()) {
    if (!IsAbsolutePath(root.CStr())) root = File::Path(File::GetCwd()).AddPath(root.CStr());
    NormalizeRoot(root);
  }
  if (root.IsEmpty()) FatalError("Unable to determine application installation path.");

  SetRoots(root, Under(root, "UserData"));
  MakeAbsoluteFolder(UserDataRoot());
  if (!CanWriteUserData()) {
    // A file, a link that leads nowhere or a read-only folder: the user can mend each, so the
    // start says which it met instead of ending as for a state that cannot be.
    const std::string folder = UserDataRoot().CStr();
    struct stat st {};
    const std::string why = stat(folder.c_str(), &st) != 0 ? std::strerror(errno)
                            : !S_ISDIR(st.st_mode)         ? "not a folder"
                                                           : "no file can be made in it";
    if (error != nullptr) {
      *error = "Unable to acquire write access to the UserData folder " + folder + ": " + why;
    }
    ClearInstallPaths();
    return false;
  }
  return true;
}

void ClearInstallPaths() { SetRoots(File::Path(), File::Path()); }

void CreateUserDataFolders() {
  const File::Path root = InstallRoot();
  if (root.IsEmpty()) return;
  const File::Path userData = UserDataRoot();

  // UserData is read once for every question about its entries: the old trash folder and each
  // content database's archive. Nothing made below is one of those names.
  const File::Names userDataEntries(userData.CStr());
  MakeAbsoluteFolder(Under(userData, "cache"));
  const File::Path trash = Under(userData, "trash");
  const File::Path backups = Under(userData, "backups");
  if (userDataEntries.Contains("trash") && !userDataEntries.Contains("backups")) {
    RenamePath(PString(), trash, backups);
  }
  MakeAbsoluteFolder(backups);
  for (const char* folder : {"bookmarks", "sessions", "water"}) {
    MakeAbsoluteFolder(Under(userData, "cache", folder));
  }
  for (const char* folder : {"local", "original", "editing", "settings"}) {
    MakeAbsoluteFolder(Under(userData, folder));
  }

  std::array<KestroResourceDatabase*, kContentDatabaseNames.size()> acquired{};
  for (size_t i = 0; i < kContentDatabaseNames.size(); ++i) {
    const char* name = kContentDatabaseNames[i];
    const File::Path folder = i == 0 ? Under(root, "Data") : Under(userData, name);
    acquired[i] =
        AcquireResourceDatabase(PString(name), folder, i == 0 ? nullptr : &userDataEntries);
  }
  {
    LayoutState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.databases.swap(acquired);
  }
  // A second call must not keep the first call's uses.
  for (KestroResourceDatabase* old : acquired) ReleaseResourceDatabase(old);

  File::Subst(PString("scripts"), Under(root, "scripts/").CStr());
  const File::Path libraries = Under(userData, "libraries/");
  MakeAbsoluteFolder(libraries);
  File::Subst(PString("libraries"), libraries.CStr());

  const File::Path settings = Under(userData, "settings");
  if (IsFolderEmpty(PString(), settings)) {
    CopyFolderTree(PString(), Under(root, "prebuilt", "settings"), PString(), settings);
  }
}

void ReleaseContentDatabases() {
  std::array<KestroResourceDatabase*, kContentDatabaseNames.size()> released{};
  {
    LayoutState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.databases.swap(released);
  }
  for (KestroResourceDatabase* database : released) ReleaseResourceDatabase(database);
  File::Subst(PString("scripts"), nullptr);
  File::Subst(PString("libraries"), nullptr);
}

File::Path GetInstallPath() { return InstallRoot(); }
File::Path GetPrebuiltPath() { return Under(InstallRoot(), "prebuilt"); }
File::Path GetBuiltinPath() { return Under(InstallRoot(), "builtin"); }
File::Path GetPluginsPath() { return Under(InstallRoot(), "bin/plugins"); }
File::Path GetPymDaemonPath() { return Under(InstallRoot(), "bin", "PymDaemon"); }
File::Path GetInstallScriptsPath() { return Under(InstallRoot(), "scripts/"); }
File::Path GetDatabasePath() { return Under(UserDataRoot(), "assets.tdx"); }
File::Path GetUserCachePath() { return Under(UserDataRoot(), "cache"); }
File::Path GetUserLibrariesPath() { return Under(UserDataRoot(), "libraries/"); }
File::Path GetScriptCacheRootPath() { return Under(UserDataRoot(), "cache", "libraries"); }

File::Path GetScriptCachePath(const KUID& kuid) {
  File::Path root = GetScriptCacheRootPath();
  if (root.IsEmpty()) return root;
  MakeAbsoluteFolder(root);
  return root.AddPath(kuid.ToSpacedString().CStr());
}

bool GetContentFolderName(File::Path& path, PString& name) {
  const File::Path root = InstallRoot();
  if (root.IsEmpty()) {
    path = File::Path();
    name = PString();
    return false;
  }
  if (!name.IsEmpty()) return true;

  File::Path relative;
  String first;
  File::Path rest;
  if (GetRelativePathUnder(UserDataRoot(), path, relative) && !relative.IsEmpty()) {
    SplitFirst(relative, first, rest);
    first.ToLower();
    name = first.ToPString();
    path = rest;
    return true;
  }
  if (GetRelativePathUnder(Under(root, "builtin"), path, relative) && !relative.IsEmpty()) {
    SplitFirst(relative, first, rest);
    first.ToLower();
    name = PString((String("builtin\\") + first).View());
    path = rest;
    return true;
  }
  for (const char* folder : {"base", "data"}) {
    if (GetRelativePathUnder(Under(root, folder), path, relative) && !relative.IsEmpty()) {
      name = PString(folder);
      path = relative;
      return true;
    }
  }
  path = File::Path();
  name = PString();
  return false;
}

bool IsPathInUserData(const File::Path& path) {
  const File::Path userData = UserDataRoot();
  if (InstallRoot().IsEmpty() || userData.IsEmpty()) return false;
  File::Path relative;
  return GetRelativePathUnder(userData, path, relative) ||
         GetRelativePathUnder(GetScriptCacheRootPath(), path, relative) ||
         GetRelativePathUnder(GetUserLibrariesPath(), path, relative);
}

bool GetRelativePathUnder(const File::Path& root, const File::Path& path, File::Path& relative) {
  relative = File::Path();
  if (root.IsEmpty() || path.IsEmpty()) return false;
  File::Path normalRoot = root;
  File::Path normalPath = path;
  NormalizePath(normalRoot);
  NormalizePath(normalPath);
  const std::string_view r = normalRoot.GetText().View();
  const std::string_view p = normalPath.GetText().View();
  // Both are lower case now.
  if (p.size() < r.size() || p.compare(0, r.size(), r) != 0) return false;
  if (p.size() == r.size()) return true;
  size_t start = r.size();
  // A root of "/" already ends in the separator.
  if (r.back() != '/') {
    if (p[start] != '/') return false;
    ++start;
  }
  relative = File::Path(String(p.substr(start)));
  return true;
}

Qel::Mutex& GetValidationMutex() {
  static Qel::Mutex mutex;
  return mutex;
}

const PString& GetEditingFolderName() {
  static const PString name("editing");
  return name;
}

const PString& GetBaseFolderName() {
  static const PString name("base");
  return name;
}

bool OpenContentResourceDatabase(const PString& name, KestroResourceDatabase*& out) {
  out = nullptr;
  if (name.IsEmpty()) return true;
  File::Path folder;
  const File::Path root = GetInstallPath();
  if (name.EqualsIgnoreCase("base")) {
    if (!root.IsEmpty()) folder = File::Path(root).AddPath("Base");
  } else if (name.EqualsIgnoreCase("data")) {
    if (!root.IsEmpty()) folder = File::Path(root).AddPath("Data");
  } else {
    // UserData names go to UserData, whatever the cache holds at the moment.
    folder = GetUserDataFolder(name);
  }
  out = AcquireResourceDatabase(name, folder);
  return out != nullptr;
}
