#include "qel/resource_system.h"

#include <mutex>

namespace Qel {

namespace {

std::mutex& CurrentLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

ResourceSystem* g_current = nullptr;

}  // namespace

ResourceSystem::ResourceSystem() {
  std::lock_guard<std::mutex> guard(CurrentLock());
  g_current = this;
}

ResourceSystem::~ResourceSystem() {
  std::lock_guard<std::mutex> guard(CurrentLock());
  if (g_current == this) g_current = nullptr;
}

bool ResourceSystem::Init(const Options& /*options*/) {
  initialised_ = true;
  return true;
}

u32 ResourceSystem::PurgeUnused() {
  purges_.fetch_add(1);
  return 0;
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
