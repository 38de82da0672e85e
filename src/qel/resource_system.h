// The engine's resource system: the cache of loaded resources. This engine loads none yet, so it
// keeps count of its purges, which the main thread's idle work asks for.
#pragma once

#include <atomic>

#include "qel/options.h"
#include "qel/types.h"

namespace Qel {

class ResourceSystem {
 public:
  // The newest resource system becomes the current one until it is destroyed.
  ResourceSystem();
  ~ResourceSystem();
  ResourceSystem(const ResourceSystem&) = delete;
  ResourceSystem& operator=(const ResourceSystem&) = delete;

  bool Init(const Options& options);
  bool IsInitialised() const { return initialised_; }

  // Releases cached resources that nobody holds; returns how many were released.
  u32 PurgeUnused();
  u32 GetPurgeCount() const { return purges_.load(); }

  static ResourceSystem* GetCurrent();
  // Purges the current resource system, if there is one; fits a plain function-pointer hook.
  static void PurgeCurrent();

 private:
  bool initialised_ = false;
  std::atomic<u32> purges_{0};
};

}  // namespace Qel
