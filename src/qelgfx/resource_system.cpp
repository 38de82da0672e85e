#include "qelgfx/resource_system.h"

#include <mutex>

#include "qelgfx/material_resource.h"
#include "qelgfx/resource.h"

namespace Qel {

namespace {

std::mutex& CurrentLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

ResourceSystem* g_current = nullptr;
std::atomic<ResourceSystem::PluginEntry> g_pluginEntry{nullptr};
std::once_flag g_pluginsCreated;

}  // namespace

ResourceSystem::ResourceSystem() {
  std::lock_guard<std::mutex> guard(CurrentLock());
  g_current = this;
}

ResourceSystem::~ResourceSystem() {
  {
    std::lock_guard<std::mutex> guard(CurrentLock());
    if (g_current == this) g_current = nullptr;
  }
  for (auto& [name, resource] : resources_) resource->ReleaseReference();
}

void ResourceSystem::SetPluginEntry(PluginEntry entry) { g_pluginEntry.store(entry); }

bool ResourceSystem::Init(const Options& /*options*/) {
  if (PluginEntry entry = g_pluginEntry.load()) std::call_once(g_pluginsCreated, entry);
  initialised_ = true;
  return true;
}

u32 ResourceSystem::PurgeUnused() {
  purges_.fetch_add(1);
  std::lock_guard<std::mutex> guard(mutex_);
  u32 released = 0;
  for (auto it = resources_.begin(); it != resources_.end();) {
    // The cache's own reference is the only one left.
    if (it->second->GetReferenceCount() == 1) {
      it->second->ReleaseReference();
      it = resources_.erase(it);
      ++released;
    } else {
      ++it;
    }
  }
  return released;
}

Resource* ResourceSystem::FindResource(const PString& name, ResourceDatabase* database) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto key = std::make_pair(database, name);
  const auto found = resources_.find(key);
  if (found != resources_.end()) {
    found->second->AddReference();
    return found->second;
  }
  ResourceTypeBase* type = ResourceTypeBase::FindForName(name);
  Resource* resource = nullptr;
  if (type) {
    resource = type->CreateResource(name, database);
  } else if (MaterialResource::IsMaterialName(name)) {
    resource = new MaterialResource(name, database, materialManager_);
  }
  if (!resource) return nullptr;
  resources_[key] = resource;
  resource->AddReference();
  return resource;
}

u32 ResourceSystem::GetCachedCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return u32(resources_.size());
}

ResourceSystem* ResourceSystem::GetCurrent() {
  std::lock_guard<std::mutex> guard(CurrentLock());
  return g_current;
}

void ResourceSystem::PurgeCurrent() {
  // Held across the purge so that the resource system cannot be destroyed under it.
  std::lock_guard<std::mutex> guard(CurrentLock());
  if (g_current != nullptr) g_current->PurgeUnused();
}

}  // namespace Qel
