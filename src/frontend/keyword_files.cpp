#include "frontend/keyword_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/file_util.h"
#include "core/kuid.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_search.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "qel/file_volume.h"

namespace {

// The asset's record; `info.found` is 0 for an asset that the database does not know. False when
// the daemon did not answer: its reply always names the asset asked for.
bool AskAsset(const KUID& kuid, PymAssetInfo& info) {
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartCategories);
  return info.asset == kuid;
}

// The file as a message names it: its whole path, for the folder it is in is not the user's.
Qel::String ShownPath(const char* volume, const char* fileName) {
  if (fileName[0] == '/') return fileName;
  Qel::File::Path path(volume != nullptr && *volume != '\0' ? Qel::String(volume)
                                                            : Qel::File::GetCwd());
  path.AddPath(fileName);
  return path.GetText();
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What the daemon keeps in UserData: its database and settings with their journals, lock and
// copies set aside, and its log.
bool IsDaemonFileName(std::string_view name) {
  for (const std::string_view kept :
       {"assets.tdx", "settings.tdx", PymProtocol::kDaemonLogFileName}) {
    if (name.substr(0, kept.size()) == kept) return true;
  }
  return false;
}

// The tool, the daemon and the libraries they load.
bool IsProgramFile(std::string_view name, const struct stat& st) {
  return S_ISREG(st.st_mode) && ((st.st_mode & 0111) != 0 || name.ends_with(".so") ||
                                 name.find(".so.") != std::string_view::npos);
}

// True when an entry of `folder` that `keeps` is the file `target` (links followed).
bool FolderKeeps(const std::string& folder, const struct stat& target,
                 bool (*keeps)(std::string_view name, const struct stat& st)) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return false;
  while (const dirent* e = ::readdir(dir.get())) {
    struct stat st {};
    if (::stat((folder + "/" + e->d_name).c_str(), &st) == 0 && SameEntry(st, target) &&
        keeps(e->d_name, st)) {
      return true;
    }
  }
  return false;
}

// Whether writing `path` would replace a file the installation runs on: a program or library of
// the program folder, or a file of the daemon in UserData. Told by identity, so that another
// spelling, another case or a link of one is caught too; a daemon file that is not there yet by
// its name, as the daemon would make it.
bool IsInstallationFile(const Qel::String& path) {
  const Qel::String resolved = Qel::File::Resolve(path.CStr());
  if (resolved.IsEmpty()) return false;
  const std::string userData = GetUserDataRoot().Std();
  struct stat target {};
  if (::stat(resolved.CStr(), &target) != 0) {
    const Qel::File::Path file(resolved);
    struct stat folder {};
    struct stat daemonFolder {};
    return ::stat(file.GetFolder().CStr(), &folder) == 0 && !userData.empty() &&
           ::stat(userData.c_str(), &daemonFolder) == 0 && SameEntry(folder, daemonFolder) &&
           IsDaemonFileName(file.GetFileName().View());
  }
  Qel::File::Path program;
  return (GetApplicationPath(program) &&
          FolderKeeps(program.GetFolder().Std(), target, IsProgramFile)) ||
         (!userData.empty() &&
          FolderKeeps(userData, target, [](std::string_view name, const struct stat&) {
            return IsDaemonFileName(name);
          }));
}

// Adds the entry; false, for the failures that end with it.
bool Report(ResultsLog* log, u32 type, const Qel::String& text) {
  ResultsLog::AddResult(log, type, KestroPropertyRef(), text);
  return false;
}

}  // namespace

bool BackupKeywords(const char* volume, const char* fileName, const char* form, ResultsLog* log) {
  const Qel::String shown = ShownPath(volume, fileName);
  if (IsInstallationFile(Qel::PathInVolume(Qel::PString(volume), fileName))) {
    return Report(log, ResultsLog::kError,
                  "Not written: " + shown +
                      " is a file of the installation itself; name another keyword backup.");
  }
  // A failed search or query must not replace a good backup with a partial one.
  const PymFilterElementGroup everything;
  std::vector<KUID> assets;
  const char* unanswered = "The asset database did not answer; the keyword backup was not written.";
  if (!PymSearchAssets(&everything, assets)) return Report(log, ResultsLog::kError, unanswered);
  Soup file;
  file.EnsureContainer();
  for (const KUID& kuid : assets) {
    PymAssetInfo info;
    if (!AskAsset(kuid, info)) return Report(log, ResultsLog::kError, unanswered);
    file.SetNamedTag(kuid.ToString(), info.found != 0 ? info.keywords.ToPString() : Qel::PString());
  }
  if (!file.SaveFile(volume, fileName, form)) {
    return Report(log, ResultsLog::kError, "Failed to write the keyword backup " + shown + ".");
  }
  Report(log, ResultsLog::kInformation,
         Qel::String::Format("Backed up the keywords of %zu assets into %s", assets.size(),
                             shown.CStr()));
  return true;
}

bool ImportKeywords(const char* volume, const char* fileName, const char* form, ResultsLog* log) {
  Soup file;
  const Qel::String shown = ShownPath(volume, fileName);
  if (!file.LoadFile(volume, fileName, form)) {
    return Report(log, ResultsLog::kError, "Cannot read the keyword file " + shown + ".");
  }
  const char* untaken = "The asset database did not take the keywords.";
  u32 stored = 0;
  for (u32 i = 0, count = file.CountTags(); i < count; ++i) {
    const Qel::PString name = file.GetIndexedTagName(i);
    const KUID kuid = KUID::Parse(name.CStr(), false);
    // The database drops the keywords of an asset it does not know: the user must learn which.
    PymAssetInfo info;
    if (!kuid.IsNull() && !AskAsset(kuid, info)) return Report(log, ResultsLog::kError, untaken);
    if (kuid.IsNull() || info.found == 0) {
      Report(log, ResultsLog::kWarning,
             Qel::String::Format("Not stored: %s is no asset of the database.", name.CStr()));
      continue;
    }
    // The daemon's reason goes before the line that ends the import.
    if (!PymSetAssetKeywords(kuid, Qel::String(file.GetNamedTag(name)), log)) {
      return Report(log, ResultsLog::kError, untaken);
    }
    ++stored;
  }
  Report(log, ResultsLog::kInformation,
         Qel::String::Format("Imported the keywords of %u assets from %s", stored, shown.CStr()));
  return true;
}
