// Tells whoever keeps state about assets that the daemon's copy of one changed (a commit, a
// delete, an install), so that the next lookup asks afresh. The requests that change assets
// announce; keepers of per-asset state (the asset-specification registry, the cache of KUID
// resolutions) subscribe, so the requests need not know them.
#pragma once

#include "core/kuid.h"

// Called with the KUID that changed; the null KUID means that any asset may have changed.
using PymAssetChangedHook = void (*)(const KUID& kuid);

// A hook subscribed twice is called once.
void PymSubscribeAssetChanged(PymAssetChangedHook hook);
void PymUnsubscribeAssetChanged(PymAssetChangedHook hook);
// Calls every subscribed hook, in the order of subscription, outside the subscription lock.
void PymNotifyAssetChanged(const KUID& kuid);
