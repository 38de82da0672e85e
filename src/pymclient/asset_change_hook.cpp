#include "pymclient/asset_change_hook.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

std::mutex g_lock;
std::vector<PymAssetChangedHook> g_hooks;

}  // namespace

void PymSubscribeAssetChanged(PymAssetChangedHook hook) {
  if (hook == nullptr) return;
  std::lock_guard<std::mutex> guard(g_lock);
  if (std::find(g_hooks.begin(), g_hooks.end(), hook) == g_hooks.end()) g_hooks.push_back(hook);
}

void PymUnsubscribeAssetChanged(PymAssetChangedHook hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::erase(g_hooks, hook);
}

void PymNotifyAssetChanged(const KUID& kuid) {
  std::vector<PymAssetChangedHook> hooks;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    hooks = g_hooks;
  }
  for (PymAssetChangedHook hook : hooks) hook(kuid);
}
