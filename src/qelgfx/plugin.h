// Engine plug-in types: kinds of loadable engine component (image codecs and the like), found by
// type id and name in a process-wide registry.
#pragma once

#include <atomic>

#include "qel/pstring.h"
#include "qel/types.h"
#include "qelgfx/uid.h"

namespace Qel {

// The engine's own bitmap codec type, registered by the engine itself.
inline constexpr const char* kBitmapPluginTypeId = "4C414E80-BBDA-11d4-9AD7-0001025364B8";
inline constexpr const char* kBitmapPluginTypeName = "bmp";

class PluginType {
 public:
  PluginType(const UId& id, const PString& name) : id_(id), name_(name) {}
  virtual ~PluginType() = default;
  PluginType(const PluginType&) = delete;
  PluginType& operator=(const PluginType&) = delete;

  // Every holder takes one reference and gives it back through Release. The registry keeps
  // its own, so a registered type outlives its holders.
  virtual void Release();
  void AddReference() { references_.fetch_add(1); }
  u32 GetReferenceCount() const { return references_.load(); }

  const UId& GetId() const { return id_; }
  const PString& GetName() const { return name_; }

 private:
  UId id_;
  PString name_;
  std::atomic<u32> references_{0};
};

class PluginBase {
 public:
  // The registered type with that id and name (compared without regard to case), with one more
  // reference, in `out`: 0. Anything else leaves `out` alone and returns non-zero.
  static int LookupPluginType(PluginType*& out, const UId& id, const PString& name);
  // The registry takes a reference and keeps the type for the rest of the process. False for
  // null or for an id and name already registered.
  static bool RegisterPluginType(PluginType* type);
};

}  // namespace Qel
