// Keeping the main thread's resources in check while it waits or between jobs.
#pragma once

// Purges the engine's unused cached resources; installed by the layer that owns the resource
// system. Null means there is no resource system.
using ResourcePurgeHook = void (*)();
void SetResourcePurgeHook(ResourcePurgeHook hook);

// On the main thread: purges unused resources and interned-string garbage. Elsewhere it does
// nothing.
void CollectResourceGarbage();
