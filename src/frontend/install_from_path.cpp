#include "frontend/install_from_path.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "assetdata/cdp_extract.h"
#include "assetdata/results_log.h"
#include "frontend/walked_kuids.h"
#include "pymclient/pym_install.h"
#include "pymclient/pym_task.h"
#include "qel/file.h"
#include "qel/file_find.h"

namespace {

bool IsLink(const Qel::File::Path& folder) {
  const Qel::String resolved = Qel::File::Resolve(folder.CStr());
  struct stat st {};
  return !resolved.IsEmpty() && ::lstat(resolved.CStr(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool HoldsConfig(const Qel::File::Path& folder) {
  for (const char* name : {"config.txt", "config.chump"}) {
    Qel::File::Path config = folder;
    config.AddPath(name);
    if (Qel::File::Exists(config.CStr())) return true;
  }
  return false;
}

}  // namespace

namespace {

// Hands the asset folder to the daemon, which takes the path byte for byte; 1 when it installed
// the asset: a folder the daemon or the walk refused counts for nothing, so that a tree of
// refused assets is no success.
u32 InstallAssetFolder(const Qel::String& path, ResultsLog* log, u32 options, bool& second,
                       WalkedKuids& walked) {
  if (!walked.IsFirst(ConfigKuid(FolderConfigToInstall(path.Std())), path, log)) return 0;
  const KUID kuid = PymInstallAssetFromFolder(path, log, options, second, nullptr);
  walked.Take(kuid, path);
  return kuid.IsNull() ? 0 : 1;
}

void AddRefusal(ResultsLog* log, const Qel::String& path, const char* why) {
  ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(),
                        "Not installed: " + path + ": " + why);
}

u32 InstallTree(const Qel::File::Path& folder, ResultsLog* log, u32 options, bool& second,
                PymTask* progress, WalkedKuids& walked) {
  if (folder.IsEmpty()) return 0;
  // A link is never followed, also when it is the folder given: the daemon refuses it by its
  // path whether it leads to one asset or to a tree of them.
  if (IsLink(folder) || HoldsConfig(folder)) {
    return InstallAssetFolder(folder.GetText(), log, options, second, walked);
  }
  u32 count = 0;
  Qel::File::Find entries(folder.CStr());
  if (!entries.Ok()) {
    // The asset folders below it would be passed over without a word.
    AddRefusal(log, folder.GetText(), "the folder cannot be read.");
    return 0;
  }
  while (entries.Next()) {
    const Qel::String& name = entries.GetName();
    if (name == "." || name == "..") continue;
    // Files hold no assets, and a link to a folder is never followed: a link back up the tree
    // would have the walk recurse for ever.
    if (entries.IsFolder() && name.View().find('\\') != std::string_view::npos) {
      // The file layer reads a '\' in a name as a separator: the folder is named byte for byte,
      // as the daemon takes it, and searched no further.
      const Qel::String& parent = folder.GetText();
      const Qel::String path = parent + (parent.View().back() == '/' ? "" : "/") + name;
      if (!FolderConfigToInstall(path.Std()).empty()) {
        count += InstallAssetFolder(path, log, options, second, walked);
      } else {
        AddRefusal(log, path,
                   "a '\\' in a folder name reads as a folder separator, so the folders below it "
                   "cannot be searched.");
      }
    } else if (entries.IsFolder()) {
      Qel::File::Path child = folder;
      child.AddPath(name.CStr());
      if (!walked.Defers(name, child.GetText())) {
        count += InstallTree(child, log, options, second, progress, walked);
      }
    }
    if (progress != nullptr && progress->IsStopRequested()) break;
  }
  return count;
}

}  // namespace

bool RefuseBackslashFolder(const Qel::String& path, ResultsLog* log) {
  struct stat st {};
  if (path.View().find('\\') == std::string_view::npos || ::lstat(path.CStr(), &st) != 0 ||
      !S_ISDIR(st.st_mode)) {
    return false;
  }
  AddRefusal(log, path,
             "a '\\' in a path you type reads as a folder separator; give the folder that holds "
             "it.");
  return true;
}

bool RefuseAllButFolder(const Qel::String& path, ResultsLog* log) {
  struct stat st {};
  // A folder that cannot be looked at is not said to be something else.
  if (::stat(Qel::File::Resolve(path.CStr()).CStr(), &st) != 0 && errno != ENOENT &&
      errno != ENOTDIR && errno != ELOOP) {
    ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(),
                          "Cannot tell what is at " + path + ": " + std::strerror(errno) + ".");
    return true;
  }
  if (S_ISDIR(st.st_mode)) return false;
  // The path holds a '/': it is absolute.
  const size_t slash = path.View().rfind('/');
  ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(),
                        "Invalid input path: " + path + " is not a folder" +
                            (IsConfigFileName(path.View().substr(slash + 1))
                                 ? "; give the folder that holds it, " +
                                       path.SubString(0, std::max<size_t>(slash, 1)) + "."
                                 : Qel::String(".")));
  return true;
}

u32 InstallFromPath(const Qel::File::Path& folder, ResultsLog* log, u32 options, bool& second,
                    PymTask* progress) {
  WalkedKuids walked;
  u32 count = InstallTree(folder, log, options, second, progress, walked);
  for (Qel::String hidden; walked.NextHidden(hidden);) {
    if (progress != nullptr && progress->IsStopRequested()) break;
    count += InstallTree(Qel::File::Path(hidden), log, options, second, progress, walked);
  }
  return count;
}
