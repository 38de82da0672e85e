#include "mesh/qel_get_plugins.h"

#include <mutex>
#include <vector>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_resource.h"
#include "mesh/material_identities.h"
#include "qelgfx/resource.h"
#include "qelgfx/uid.h"

namespace {

constexpr const char* kMeshResourceClassId = "4C414E80-BBDA-11d4-9AD7-0001025364B8";
constexpr const char* kIndexedMeshTypeId = "B9E68EA1-56A3-4a6d-9D5D-C5C020F944E6";
constexpr const char* kProgressiveMeshTypeId = "2E8739F0-412F-48c2-9F71-912B659C58B6";
// The binary and the text form share one type and one resource class.
constexpr const char* kLODMeshTypeId = "8FCC40D7-8BDD-4d14-B528-65692F5DF710";

std::once_flag g_pluginsCreated;

struct Registrations {
  std::mutex mutex;
  std::vector<void (*)()> pending;
  bool created = false;
};

Registrations& GetRegistrations() {
  static Registrations* registrations = new Registrations;
  return *registrations;
}

void CreatePlugins() {
  Qel::CreateMaterialPlugins();
  const Qel::UId classId(kMeshResourceClassId);
  // The types register themselves and live for the rest of the process.
  new Qel::ResourceType<KestroIndexedMeshResource>(Qel::PString("im"), Qel::UId(kIndexedMeshTypeId),
                                                   classId);
  new Qel::ResourceType<KestroProgressiveMeshResource>(Qel::PString("pm"),
                                                       Qel::UId(kProgressiveMeshTypeId), classId);
  new Qel::ResourceType<KestroIndexedMeshLODResource>(Qel::PString("lm.txt"),
                                                      Qel::UId(kLODMeshTypeId), classId);
  new Qel::ResourceType<KestroIndexedMeshLODResource>(Qel::PString("lm"), Qel::UId(kLODMeshTypeId),
                                                      classId);
  Registrations& registrations = GetRegistrations();
  std::vector<void (*)()> pending;
  {
    std::lock_guard<std::mutex> guard(registrations.mutex);
    registrations.created = true;
    pending.swap(registrations.pending);
  }
  for (void (*registration)() : pending) registration();
}

}  // namespace

// A second call would register every type twice; the plug-ins are made once for the process.
extern "C" __attribute__((visibility("default"))) void QelGetPlugins() {
  std::call_once(g_pluginsCreated, CreatePlugins);
}

void AddPluginRegistration(void (*registration)()) {
  Registrations& registrations = GetRegistrations();
  {
    std::lock_guard<std::mutex> guard(registrations.mutex);
    if (!registrations.created) {
      registrations.pending.push_back(registration);
      return;
    }
  }
  registration();
}
