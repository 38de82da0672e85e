#include "core/main_thread_wait.h"

#include <atomic>

#include "core/app_globals.h"
#include "qel/pstring.h"

namespace {
std::atomic<ResourcePurgeHook> g_resourcePurge{nullptr};
}  // namespace

void SetResourcePurgeHook(ResourcePurgeHook hook) { g_resourcePurge.store(hook); }

void CollectResourceGarbage() {
  if (!IsMainThread()) return;
  if (ResourcePurgeHook purge = g_resourcePurge.load()) purge();
  Qel::PStringCache::CollectGarbage();
}
