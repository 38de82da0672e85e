#include "qelgfx/resource.h"

#include <algorithm>

namespace Qel {

namespace {

struct TypeRegistry {
  std::mutex mutex;
  std::vector<ResourceTypeBase*> types;
};

TypeRegistry& GetTypes() {
  static TypeRegistry* registry = new TypeRegistry;
  return *registry;
}

bool EndsWithExtension(std::string_view name, std::string_view extension) {
  if (extension.empty() || name.size() <= extension.size()) return false;
  const size_t at = name.size() - extension.size();
  if (name[at - 1] != '.') return false;
  return String(name.substr(at)).EqualsIgnoreCase(String(extension).CStr());
}

}  // namespace

u32 Resource::Lock() {
  std::vector<ResourceObserver*> notify;
  u32 result = kLoaded;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++locks_;
    if (loaded_) return kLoaded;
    const std::string_view name = name_.View();
    const bool text =
        name.size() >= 4 && String(name.substr(name.size() - 4)).EqualsIgnoreCase(".txt");
    result = text ? LoadTxt(name_) : Load(name_);
    if (result == kLoaded) result = LoadComplete();
    loaded_ = result == kLoaded;
    if (!loaded_) --locks_;
    notify = observers_;
  }
  for (ResourceObserver* observer : notify) observer->OnResourceLoaded(*this, result);
  return result;
}

void Resource::Unlock() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (locks_ > 0) --locks_;
}

bool Resource::Unload() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (locks_ > 0) return false;
  if (loaded_) OnUnload();
  loaded_ = false;
  return true;
}

void Resource::AddObserver(ResourceObserver* observer) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void Resource::RemoveObserver(ResourceObserver* observer) {
  std::lock_guard<std::mutex> guard(mutex_);
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

PString Resource::GetOwnerName() const {
  const std::string_view name = name_.View();
  const size_t slash = name.find_first_of("/\\");
  return slash == std::string_view::npos ? PString() : PString(name.substr(0, slash));
}

ResourceTypeBase::ResourceTypeBase(const PString& extension, const UId& typeId, const UId& classId)
    : PluginType(typeId, extension), classId_(classId) {
  TypeRegistry& registry = GetTypes();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.types.push_back(this);
}

ResourceTypeBase::~ResourceTypeBase() {
  TypeRegistry& registry = GetTypes();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.types.erase(std::remove(registry.types.begin(), registry.types.end(), this),
                       registry.types.end());
}

ResourceTypeBase* ResourceTypeBase::FindForName(const PString& name) {
  TypeRegistry& registry = GetTypes();
  std::lock_guard<std::mutex> guard(registry.mutex);
  ResourceTypeBase* best = nullptr;
  for (ResourceTypeBase* type : registry.types) {
    const std::string_view extension = type->GetExtension().View();
    if (EndsWithExtension(name.View(), extension) &&
        (!best || extension.size() > best->GetExtension().Length())) {
      best = type;
    }
  }
  return best;
}

}  // namespace Qel
