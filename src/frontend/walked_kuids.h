// The assets that one walk of a tree of asset folders has put in place: a later folder of the same
// KUID would replace the earlier one's asset, so it is refused, as a package refuses a KUID it
// lists twice.
#pragma once

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
  // already put `kuid` in place.
  bool IsFirst(const KUID& kuid, const Qel::String& folder, ResultsLog* log) const;
  // The walk has put `kuid` in place from `folder`; a folder the walk did not install takes
  // nothing, so a later folder of its KUID is tried as a package's would be.
  void Take(const KUID& kuid, const Qel::String& folder);

 private:
  std::map<KUID, Qel::String> placed_;
};
