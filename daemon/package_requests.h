// Packages: an asset written as a package entry, and installs from a package or a folder.
#pragma once

#include <condition_variable>
#include <mutex>

#include "daemon/request_context.h"

namespace PymDaemonSrv::PackageRequests {

// Parsing a configuration or package takes many times its size in memory, and each connection
// may do it at once. The gate lets such works run side by side while their input bytes fit a
// budget, a larger one alone, in the order they came; the memory of large work goes back to the
// system when the gate empties.
class InstallGate {
 public:
  // Inputs up to this many bytes together share the gate.
  static constexpr u64 kBudget = 16ull << 20;

  explicit InstallGate(u64 budget = kBudget) : budget_(budget) {}
  // Whether a work of `bytes` may run beside those running now.
  bool Admits(u64 bytes) const;

  // Holds the gate for a work of `bytes` while it lives; waits for its turn first.
  class Pass {
   public:
    Pass(InstallGate& gate, u64 bytes);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

   private:
    InstallGate& gate_;
    u64 bytes_;
  };

 private:
  bool AdmitsLocked(u64 bytes) const { return running_ == 0 || inUse_ + bytes <= budget_; }

  const u64 budget_;
  mutable std::mutex mutex_;
  std::condition_variable turn_;
  u64 inUse_ = 0;
  u32 running_ = 0;
  u64 nextTicket_ = 0;
  u64 serving_ = 0;
  bool trim_ = false;
};

void SaveAssetToCdp(RequestContext& context, const u8* payload, size_t size, Response& response);
void InstallCdp(RequestContext& context, const u8* payload, size_t size, Response& response);
void InstallAssetFromFolder(RequestContext& context, const u8* payload, size_t size,
                            Response& response);

}  // namespace PymDaemonSrv::PackageRequests
