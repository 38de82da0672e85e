#include "qelgfx/plugin.h"

#include <mutex>
#include <vector>

namespace Qel {

namespace {

constexpr int kPluginNotFound = 1;

struct Registry {
  std::mutex mutex;
  std::vector<PluginType*> types;
};

bool Matches(const PluginType& type, const UId& id, const PString& name) {
  return type.GetId() == id && type.GetName().EqualsIgnoreCase(name);
}

// Never destroyed: holders may give their references back during process exit.
Registry& GetRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry;
    auto* bitmap = new PluginType(UId(kBitmapPluginTypeId), PString(kBitmapPluginTypeName));
    bitmap->AddReference();
    r->types.push_back(bitmap);
    return r;
  }();
  return *registry;
}

}  // namespace

void PluginType::Release() {
  u32 count = references_.load();
  // A stray release must not wrap the count round.
  while (count > 0 && !references_.compare_exchange_weak(count, count - 1)) {
  }
}

int PluginBase::LookupPluginType(PluginType*& out, const UId& id, const PString& name) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (PluginType* type : registry.types) {
    if (!Matches(*type, id, name)) continue;
    type->AddReference();
    out = type;
    return 0;
  }
  return kPluginNotFound;
}

bool PluginBase::RegisterPluginType(PluginType* type) {
  if (type == nullptr) return false;
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (PluginType* known : registry.types) {
    if (Matches(*known, type->GetId(), type->GetName())) return false;
  }
  type->AddReference();
  registry.types.push_back(type);
  return true;
}

}  // namespace Qel
