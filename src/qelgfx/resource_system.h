// The engine's resource system: the cache of resources by name. It makes a resource through the
// type its name's extension selects, and releases cached resources nobody else holds when the
// main thread's idle work asks it to purge.
#pragma once

#include <atomic>
#include <map>
#include <mutex>

#include "qel/options.h"
#include "qel/pstring.h"
#include "qel/types.h"

namespace Qel {

class MaterialManager;
class Resource;
class ResourceDatabase;

class ResourceSystem {
 public:
  // The newest resource system becomes the current one until it is destroyed.
  ResourceSystem();
  // Releases the cache's references.
  ~ResourceSystem();
  ResourceSystem(const ResourceSystem&) = delete;
  ResourceSystem& operator=(const ResourceSystem&) = delete;

  // Runs the registered plug-in entry, once for the process, so that the plug-ins register
  // their resource types and materials.
  bool Init(const Options& options);
  using PluginEntry = void (*)();
  static void SetPluginEntry(PluginEntry entry);

  // The cached resource of that name, or a new one from its type, with one reference for the
  // caller; a decorated material name that no type takes is a material resource of the manager.
  // Null when nothing takes the name. Not loaded: the caller locks it.
  Resource* FindResource(const PString& name, ResourceDatabase* database);
  u32 GetCachedCount() const;
  // The manager that material resources ask; none until the render kernel is up.
  void SetMaterialManager(MaterialManager* manager) { materialManager_ = manager; }
  bool IsInitialised() const { return initialised_; }

  // Releases cached resources that nobody holds; returns how many were released.
  u32 PurgeUnused();
  u32 GetPurgeCount() const { return purges_.load(); }

  static ResourceSystem* GetCurrent();
  // Purges the current resource system, if there is one; fits a plain function-pointer hook.
  static void PurgeCurrent();

 private:
  bool initialised_ = false;
  mutable std::mutex mutex_;
  MaterialManager* materialManager_ = nullptr;
  std::map<std::pair<ResourceDatabase*, PString>, Resource*> resources_;
  std::atomic<u32> purges_{0};
};

}  // namespace Qel
