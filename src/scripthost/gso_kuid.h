// The script class "KUID": one asset identifier, immutable. Every KUID value has at most one live
// object per script context, shared by every script reference to it in that context; the
// context's KUID table finds it and ends it with the context.
#pragma once

#include <map>

#include "core/kuid.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_object.h"

namespace GSRuntime {
class GSStack;
}  // namespace GSRuntime

class GSOKUID : public GSRuntime::GSObject, public KUID {
 public:
  // The context's object of the KUID, counted for the caller (a reference to push or store); made
  // on first use. 0 when it cannot be made (no context, or one that is being destroyed).
  static GSRuntime::GSHandle Wrap(GSRuntime::GSContext* owner, const KUID& kuid);
  // Leaves the context's table.
  ~GSOKUID() override;

  void GetName(GSRuntime::GSStack* stack);
  void GetHTMLString(GSRuntime::GSStack* stack);
  void GetLogString(GSRuntime::GSStack* stack);
  void GetBaseString(GSRuntime::GSStack* stack);
  void GetBaseKUID(GSRuntime::GSStack* stack);

  // The KUID's base: version 0 (127 for a negative user id); the null KUID when the user id does
  // not fit in 25 signed bits.
  static KUID BaseOf(const KUID& kuid);

 private:
  GSOKUID(GSRuntime::GSContext* owner, const KUID& kuid) : KUID(kuid), owner_(owner) {}

  GSRuntime::GSContext* owner_;
};

// The live KUID objects of one context, by value. It holds no count: an object enters when it is
// made and leaves in its destructor, or when the context purges the table.
class GSOKUIDTable : public GSRuntime::GSContextTable {
 public:
  void Purge() override;

  std::map<KUID, GSOKUID*> objects;
};
