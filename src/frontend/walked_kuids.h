// The assets that one walk of a tree of asset folders has put in place: a later folder of the same
// KUID would replace the earlier one's asset, so it is refused, as a package refuses a KUID it
// lists twice. Folders whose names begin with "." (a desktop's trash, a tool's cache) are walked
// after the rest of the tree, so that a copy kept there never wins over the user's own folder.
#pragma once

#include <deque>
#include <map>
#include <string>

#include "core/kuid.h"
#include "qel/string.h"

class ResultsLog;

// The KUID that the configuration file `config` (its path byte for byte) names; null when it names
// none or is unreadable.
KUID ConfigKuid(const std::string& config);

class WalkedKuids {
 public:
  // False, with the refusal in `log` naming `folder` and the earlier folder, when the walk has
  // already put `kuid` in place, or, for a folder met below a hidden one, when a folder outside
  // them holds `kuid`: that copy is passed over with a warning.
  bool IsFirst(const KUID& kuid, const Qel::String& folder, ResultsLog* log);
  // The walk has put `kuid` in place from `folder`; a folder the walk did not install takes
  // nothing, so a later folder of its KUID is tried as a package's would be.
  void Take(const KUID& kuid, const Qel::String& folder);
  // True when the folder `path`, named `name`, is hidden and so kept for after the rest of the
  // tree; the walk then passes over it. Below a hidden folder nothing is kept back any more.
  bool Defers(const Qel::String& name, const Qel::String& path);
  // The next hidden folder to walk, once the rest of the tree is walked; false when none is left.
  bool NextHidden(Qel::String& path);

 private:
  std::map<KUID, Qel::String> placed_;
  // The first folder outside the hidden ones of each KUID the walk met.
  std::map<KUID, Qel::String> visible_;
  std::deque<Qel::String> hidden_;
  bool inHidden_ = false;
};
