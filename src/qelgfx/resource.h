// Loadable resources and their types. A type is found by the longest of its registered
// extensions that ends the resource name ("lm.txt" wins over "txt"); it makes the resource
// object, which loads on its first Lock.
#pragma once

#include <mutex>
#include <vector>

#include "qel/pstring.h"
#include "qel/reference_count.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/plugin.h"
#include "qelgfx/uid.h"

namespace Qel {

class Resource;
class ResourceDatabase;

class ResourceObserver {
 public:
  virtual ~ResourceObserver() = default;
  // After each load attempt, with its result (0 is success).
  virtual void OnResourceLoaded(Resource& resource, u32 result) = 0;
};

class Resource : public ReferenceCount {
 public:
  enum Result : u32 { kLoaded = 0, kFailed = 1 };

  Resource(const PString& name, ResourceDatabase* database) : name_(name), database_(database) {}

  // Loads on the first lock (LoadTxt for names ending ".txt", else Load, then LoadComplete) and
  // counts the lock; a failed load is tried again by the next lock. 0 when loaded.
  virtual u32 Lock();
  virtual void Unlock();
  virtual u32 LoadAll() { return Lock(); }
  virtual u32 IsAllLoaded() const { return loaded_ ? kLoaded : kFailed; }
  virtual void SetPriority(f32 priority) { priority_ = priority; }
  virtual void AddObserver(ResourceObserver* observer);
  virtual void RemoveObserver(ResourceObserver* observer);
  // Drops what was loaded once nobody holds a lock; false while locked.
  virtual bool Unload();
  bool IsLoaded() const { return loaded_; }
  // An object made from the loaded resource, or null for kinds that make none.
  virtual void* CreateInstance() { return nullptr; }

  const PString& GetName() const { return name_; }
  ResourceDatabase* GetDatabase() const { return database_; }
  // The name's first component, the owner of what lies below it; empty for a bare file name.
  PString GetOwnerName() const;
  u32 GetLockCount() const { return locks_; }
  f32 GetPriority() const { return priority_; }

 protected:
  virtual u32 Load(const PString& /*name*/) { return kFailed; }
  virtual u32 LoadTxt(const PString& name) { return Load(name); }
  virtual u32 LoadComplete() { return kLoaded; }
  // What Unload drops; nothing for the base.
  virtual void OnUnload() {}

 private:
  PString name_;
  ResourceDatabase* database_;
  std::mutex mutex_;
  bool loaded_ = false;
  u32 locks_ = 0;
  f32 priority_ = 0.0f;
  std::vector<ResourceObserver*> observers_;
};

// Constructing a type registers it; destroying it withdraws it.
class ResourceTypeBase : public PluginType {
 public:
  ResourceTypeBase(const PString& extension, const UId& typeId, const UId& classId);
  ~ResourceTypeBase() override;

  virtual Resource* CreateResource(const PString& name, ResourceDatabase* database) = 0;
  // The size of one resource object of the type.
  virtual u32 GetResourceSize() const = 0;
  const PString& GetExtension() const { return GetName(); }
  const UId& GetClassId() const { return classId_; }

  // The type whose extension is the longest one ending the name after a '.', case ignored.
  static ResourceTypeBase* FindForName(const PString& name);

 private:
  UId classId_;
};

template <typename T>
class ResourceType : public ResourceTypeBase {
 public:
  using ResourceTypeBase::ResourceTypeBase;
  Resource* CreateResource(const PString& name, ResourceDatabase* database) override {
    return new T(name, database);
  }
  u32 GetResourceSize() const override { return u32(sizeof(T)); }
};

}  // namespace Qel
