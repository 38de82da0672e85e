#include "daemon/install_holds.h"

namespace PymDaemonSrv {

void InstallHolds::Hold(const KUID& kuid, u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  holders_[kuid] = connectionId;
}

bool InstallHolds::MayChange(const KUID& kuid, u64 connectionId, std::string& error, bool* own) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = holders_.find(kuid);
  if (own != nullptr) *own = it != holders_.end() && it->second == connectionId;
  if (it == holders_.end() || it->second == connectionId) return true;
  error = "another command's install holds the asset; try again once that install ends";
  return false;
}

bool InstallHolds::Holds(u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [kuid, holder] : holders_) {
    if (holder == connectionId) return true;
  }
  return false;
}

void InstallHolds::EndHolds(u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(holders_,
                [connectionId](const auto& entry) { return entry.second == connectionId; });
}

}  // namespace PymDaemonSrv
