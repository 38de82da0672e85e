// Which command's install holds each asset. An install empties the editing copy and writes the
// package's files into it over many requests; any other command's change of the asset in that
// time (an edit, a commit, a revert, a delete, another install) would hand the user a half
// copy, or have the install's failure revert the user's work. So one check decides for every
// request that changes or ends an asset's editing copy or installed folder.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "core/kuid.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class InstallHolds {
 public:
  // The connection's install holds the asset until the connection ends its holds.
  void Hold(const KUID& kuid, u64 connectionId);
  // Whether a request of the connection may change the asset: false, with the reason, while
  // another connection's install holds it. `own` (may be null) tells whether the connection's
  // own install holds it: the request is one of that install's steps.
  bool MayChange(const KUID& kuid, u64 connectionId, std::string& error, bool* own = nullptr);
  // Whether the connection holds an asset: an install still runs on it.
  bool Holds(u64 connectionId);
  void EndHolds(u64 connectionId);

 private:
  std::mutex mutex_;
  std::map<KUID, u64> holders_;
};

}  // namespace PymDaemonSrv
