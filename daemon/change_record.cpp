#include "daemon/change_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace PymDaemonSrv {

namespace {

// Whether the folder `folder` names is at `path`: false for another or none; kUnknown when that
// cannot be told.
Seen IsChangeFolder(const std::string& path, const ChangeFolder& folder, std::string& why) {
  struct stat st {};
  const Seen seen = LookAt(path, st, why);
  if (seen != Seen::kFolder) return seen == Seen::kUnknown ? seen : Seen::kNothing;
  return u64(st.st_dev) == folder.device && u64(st.st_ino) == folder.inode ? Seen::kFolder
                                                                           : Seen::kNothing;
}

}  // namespace

Seen LookAt(const std::string& path, struct stat& st, std::string& why) {
  if (StatPath(path, st) == 0) {
    return S_ISDIR(st.st_mode) ? Seen::kFolder : Seen::kOther;
  }
  if (errno == ENOENT || errno == ENOTDIR) return Seen::kNothing;
  why = "cannot tell what is at " + path + ": " + std::strerror(errno);
  return Seen::kUnknown;
}

Seen LookAt(const std::string& path, std::string& why) {
  struct stat st {};
  return LookAt(path, st, why);
}

std::string FreePlace(const std::string& root, const std::string& place, std::string& why) {
  std::string free = root + place;
  if (place.rfind("backups/", 0) != 0) return free;
  for (u32 n = 1;; ++n) {
    const Seen seen = LookAt(free, why);
    if (seen == Seen::kNothing) return free;
    if (seen == Seen::kUnknown) return std::string();
    free = root + place + "." + std::to_string(n);
  }
}

bool NameChangeFolder(ChangeRecord& change, const SafeFolder& folders, const std::string& path,
                      const KUID& kuid, const std::string& before, const std::string& after,
                      std::string& error) {
  struct stat st {};
  const Seen seen = LookAt(path, st, error);
  const std::string why = seen == Seen::kFolder ? folders.Refusal(path) : "it is no folder";
  if (seen == Seen::kUnknown || !why.empty()) {
    if (seen != Seen::kUnknown) error = "refused to change " + path + ": " + why;
    return false;
  }
  change.folders.push_back({kuid, u64(st.st_dev), u64(st.st_ino), before, after, false});
  return true;
}

std::vector<ChangeFolder> FinishChange(const SafeFolder& folders, const ChangeRecord& change,
                                       const ChangeHooks& hooks, std::vector<std::string>& problems,
                                       const std::string& keptIn) {
  const std::string root = folders.Root() + "/";
  const std::string staging = root + "staging/";
  const size_t count = change.folders.size();
  // Where each folder is (empty: nowhere), and where it belongs (empty: nowhere).
  std::vector<std::string> at(count);
  std::vector<std::string> to(count);
  std::string why;
  // A place that cannot be looked at may hold a folder of the change: taking it for empty would
  // drop the folder from the record, and a start would remove it. Nothing moves until it can.
  bool blind = false;
  const auto seek = [&](const std::string& path, size_t i) {
    const Seen seen = IsChangeFolder(path, change.folders[i], why);
    blind = blind || seen == Seen::kUnknown;
    if (seen == Seen::kFolder) at[i] = path;
  };
  const auto keepAll = [&] {
    problems.push_back(why +
                       "; the folders of the change stay where they are until a start "
                       "puts them in place");
    return change.folders;
  };
  for (size_t i = 0; i < count; ++i) {
    const ChangeFolder& f = change.folders[i];
    for (const std::string& p : {f.before, f.after}) {
      if (!p.empty()) seek(root + p, i);
    }
  }
  if (blind) return keepAll();
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
      for (size_t s = 0; s < staged.size() && at[i].empty(); ++s) seek(staging + staged[s], i);
    }
    if (blind) return keepAll();
  }
  // A change never removes a folder that has a place to go, so a record missing one of those is
  // not the last word on its folders: a log cut short serves an older record, whose change may
  // have passed since. Such a record removes nothing.
  bool whole = true;
  for (size_t i = 0; i < count && whole && !keptIn.empty(); ++i) {
    const ChangeFolder& f = change.folders[i];
    whole = (f.passed ? f.after : f.before).empty() || !at[i].empty();
  }
  // A start removes no folder: what belongs nowhere goes below `keptIn`, as "staging/NAME", by
  // its name in staging or at the place it leaves. Two folders of the record never get one name.
  std::vector<bool> gone(count);
  std::vector<bool> keep(count);
  const auto freeFor = [&](const std::string& place) {
    std::string free = FreePlace(root, place, why);
    for (u32 n = 1; !free.empty() && std::find(to.begin(), to.end(), free) != to.end(); ++n) {
      free = FreePlace(root, place + "." + std::to_string(n), why);
    }
    return free;
  };
  for (size_t i = 0; i < count; ++i) {
    const ChangeFolder& f = change.folders[i];
    std::string place = f.passed ? f.after : f.before;
    // A record that misses a folder keeps naming it: without it, the record could read as whole
    // at the next start, and act on folders that a later change made.
    gone[i] = at[i].empty() && (whole || place.empty());
    if (place.empty() && !keptIn.empty() && !at[i].empty()) {
      const bool staged = at[i].rfind(staging, 0) == 0;
      keep[i] = whole || staged;
      place = keep[i] ? keptIn + "/staging/" + at[i].substr(at[i].rfind('/') + 1)
                      : at[i].substr(root.size());
      if (!whole) {
        problems.push_back("the record of change " + change.id +
                           " misses folders it puts in place; " +
                           (keep[i] ? at[i] + " goes to the backups" : at[i] + " stays"));
      }
    }
    if (!place.empty()) to[i] = at[i] == root + place ? at[i] : freeFor(place);
    if (!place.empty() && to[i].empty()) return keepAll();
  }
  bool failed = false;
  std::vector<std::string> left;
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
      if (keep[i] && place == to[i]) {
        problems.push_back(at[i] + " of change " + change.id + " belongs nowhere; kept in " +
                           place.substr(root.size()));
        gone[i] = true;
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
    Seen seen = Seen::kOther;
    while (seen == Seen::kOther || seen == Seen::kFolder) {
      aside = staging + change.id + "." + std::to_string(++asides);
      seen = LookAt(aside, why);
    }
    if (seen == Seen::kUnknown) {
      problems.push_back(at[i] + " stays there until a start moves it: " + why);
      failed = true;
    }
    if (seen == Seen::kUnknown || !move(i, aside, true)) at[i].clear();
  }
  for (size_t i = 0; i < count; ++i) {
    if (!at[i].empty() && !to[i].empty() && at[i] != to[i]) move(i, to[i], false);
  }
  for (const std::string& place : left) clean(place);
  // A move cut short, by a failure or a kill, may have made the folders of its place.
  for (const ChangeFolder& f : change.folders) {
    if (!f.passed && !f.after.empty()) clean(root + f.after);
  }
  for (size_t i = 0; i < count && keptIn.empty(); ++i) {
    if (at[i].empty() || !to[i].empty()) continue;
    if (hooks.removal) hooks.removal(at[i]);
    if (folders.RemoveTree(at[i], why)) {
      gone[i] = true;
    } else {
      problems.push_back("left in staging until the next start: " + why);
      failed = true;
    }
  }
  // A start names each asset whose change it undoes: the user finds the asset as it was before.
  for (size_t i = 0; i < count && !keptIn.empty(); ++i) {
    const ChangeFolder& f = change.folders[i];
    bool named = f.passed;
    for (size_t k = 0; k < i && !named; ++k) named = change.folders[k].kuid == f.kuid;
    if (named) continue;
    std::string places;
    for (const bool before : {true, false}) {
      for (const ChangeFolder& g : change.folders) {
        const std::string& place = before ? g.before : g.after;
        if (g.kuid == f.kuid && !place.empty()) places += (places.empty() ? "" : ", ") + place;
      }
      if (!places.empty()) break;
    }
    problems.push_back("change " + change.id + " did not pass its index write and is undone: " +
                       f.kuid.ToString().CStr() + " at " + places);
  }
  std::vector<ChangeFolder> kept;
  for (size_t i = 0; i < count && failed; ++i) {
    if (!gone[i]) kept.push_back(change.folders[i]);
  }
  return kept;
}

}  // namespace PymDaemonSrv
