#include "mesh/qel_get_plugins.h"

#include "mesh/material_identities.h"

// The mesh resource types join the material plug-ins here as their loaders land.
extern "C" __attribute__((visibility("default"))) void QelGetPlugins() {
  Qel::CreateMaterialPlugins();
}
