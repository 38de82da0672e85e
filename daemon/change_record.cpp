#include "daemon/change_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace PymDaemonSrv {

namespace {

bool IsFolderAt(const std::string& path, struct stat& st) {
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsChangeFolder(const std::string& path, const ChangeFolder& folder) {
  struct stat st {};
  return IsFolderAt(path, st) && u64(st.st_dev) == folder.device && u64(st.st_ino) == folder.inode;
}

bool IsTaken(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// A version kept in the backups goes beside one that took its place meanwhile, never over it.
std::string FreePlace(const std::string& root, const std::string& place) {
  std::string free = root + place;
  if (place.rfind("backups/", 0) != 0) return free;
  for (u32 n = 1; IsTaken(free); ++n) free = root + place + "." + std::to_string(n);
  return free;
}

}  // namespace

bool NameChangeFolder(ChangeRecord& change, const SafeFolder& folders, const std::string& path,
                      const KUID& kuid, const std::string& before, const std::string& after,
                      std::string& error) {
  struct stat st {};
  if (!IsFolderAt(path, st) || !folders.MayChange(path)) {
    error = "refused to change " + path;
    return false;
  }
  change.folders.push_back({kuid, u64(st.st_dev), u64(st.st_ino), before, after, false});
  return true;
}

std::vector<ChangeFolder> FinishChange(const SafeFolder& folders, const ChangeRecord& change,
                                       const ChangeHooks& hooks,
                                       std::vector<std::string>& problems) {
  const std::string root = folders.Root() + "/";
  const std::string staging = root + "staging/";
  const size_t count = change.folders.size();
  // Where each folder is (empty: nowhere), and where it belongs (empty: nowhere).
  std::vector<std::string> at(count);
  std::vector<std::string> to(count);
  for (size_t i = 0; i < count; ++i) {
    const ChangeFolder& f = change.folders[i];
    for (const std::string& p : {f.before, f.after}) {
      if (!p.empty() && IsChangeFolder(root + p, f)) at[i] = root + p;
    }
  }
  // A folder at neither of its places waits in staging, or was removed already; only a listing
  // that succeeded can tell which. Without one, no folder moves: one that cannot be found may
  // belong where another one would go, and the record keeps them all for a start.
  if (std::find(at.begin(), at.end(), std::string()) != at.end()) {
    std::vector<std::string> staged;
    errno = 0;
    const bool listed = hooks.list ? hooks.list(staging, staged) : ListFolderNames(staging, staged);
    if (!listed && errno != ENOENT) {
      problems.push_back("cannot list " + staging + ": " + std::strerror(errno) +
                         "; the folders of the change stay where they are until a start puts "
                         "them in place");
      return change.folders;
    }
    for (size_t i = 0; i < count; ++i) {
      for (size_t s = 0; s < staged.size() && at[i].empty(); ++s) {
        if (IsChangeFolder(staging + staged[s], change.folders[i])) at[i] = staging + staged[s];
      }
    }
  }
  std::vector<bool> gone(count);
  for (size_t i = 0; i < count; ++i) {
    const ChangeFolder& f = change.folders[i];
    gone[i] = at[i].empty();
    const std::string& place = f.passed ? f.after : f.before;
    if (!place.empty()) to[i] = at[i] == root + place ? at[i] : FreePlace(root, place);
  }
  bool failed = false;
  std::vector<std::string> left;
  std::string why;
  u32 asides = 0;
  // An undone change leaves no folder it made on the way to a place, up to the content folder;
  // those a folder left to make way for another are looked at once that one is in place.
  const auto clean = [&](std::string place) {
    for (size_t slash = place.rfind('/');
         slash != std::string::npos && slash > root.size() && place.find('/', root.size()) < slash;
         slash = place.rfind('/')) {
      place.resize(slash);
      // A move that failed part-way made only the folders above the one it could not make.
      if (rmdir(place.c_str()) != 0 && errno != ENOENT) break;
    }
  };
  const auto move = [&](size_t i, const std::string& place, bool makingWay) {
    if (hooks.move) hooks.move(at[i]);
    if (folders.Move(at[i], place, why)) {
      if (!change.folders[i].passed && at[i].rfind(staging, 0) != 0) {
        if (makingWay) {
          left.push_back(at[i]);
        } else {
          clean(at[i]);
        }
      }
      at[i] = place;
      return true;
    }
    problems.push_back(at[i] + " stays there until a start moves it to " + place + ": " + why);
    failed = true;
    return false;
  };
  // First into staging: each folder that goes, and each that sits where another one belongs.
  for (size_t i = 0; i < count; ++i) {
    if (at[i].empty() || at[i] == to[i] || at[i].rfind(staging, 0) == 0) continue;
    bool taken = to[i].empty();
    for (size_t k = 0; k < count && !taken; ++k) taken = k != i && to[k] == at[i];
    if (!taken) continue;
    std::string aside;
    do {
      aside = staging + change.id + "." + std::to_string(++asides);
    } while (IsTaken(aside));
    if (!move(i, aside, true)) at[i].clear();
  }
  for (size_t i = 0; i < count; ++i) {
    if (!at[i].empty() && !to[i].empty() && at[i] != to[i]) move(i, to[i], false);
  }
  for (const std::string& place : left) clean(place);
  // A move cut short, by a failure or a kill, may have made the folders of its place.
  for (const ChangeFolder& f : change.folders) {
    if (!f.passed && !f.after.empty()) clean(root + f.after);
  }
  for (size_t i = 0; i < count; ++i) {
    if (at[i].empty() || !to[i].empty()) continue;
    if (hooks.removal) hooks.removal(at[i]);
    if (folders.RemoveTree(at[i], why)) {
      gone[i] = true;
    } else {
      problems.push_back("left in staging until the next start: " + why);
      failed = true;
    }
  }
  std::vector<ChangeFolder> kept;
  for (size_t i = 0; i < count && failed; ++i) {
    if (!gone[i]) kept.push_back(change.folders[i]);
  }
  return kept;
}

}  // namespace PymDaemonSrv
