// The script class "Soup": a script's view of a soup tree. The object holds a counted handle, so
// scripts and the host share trees: a child handed to a script is that child, and a soup set
// into another is stored by reference. A locked object refuses every change; the children it
// hands out are locked too. Tag names from scripts are lower-cased.
#pragma once

#include "assetdata/soup.h"
#include "gsruntime/gs_object.h"

namespace GSRuntime {
class GSContext;
class GSStack;
}  // namespace GSRuntime

class GSOSoup : public GSRuntime::GSObject {
 public:
  // A new object over `soup` in `owner` (the empty handle: an empty soup); its instance's
  // reference, counted for the caller, or 0 when it cannot be made.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* owner, const Soup& soup, bool locked);
  // Installs the conversions that carry a Soup object's tree as a message payload and give a
  // message's payload to scripts as a Soup object.
  static void InstallPayloadHooks();

  const Soup& GetSoup() const { return soup_; }
  bool IsLocked() const { return locked_ != 0; }
  // The object's tree becomes a deep copy of `source`, as the script's Copy does; the caller
  // checks the lock.
  void CopyFrom(const Soup& source) { soup_.Copy(source); }

  void CountTags(GSRuntime::GSStack* stack);
  void GetNamedTag(GSRuntime::GSStack* stack);
  void GetNamedSoup(GSRuntime::GSStack* stack);
  void GetNamedSoupAdd(GSRuntime::GSStack* stack);
  void GetIndexedTagName(GSRuntime::GSStack* stack);
  void GetIndexForNamedTag(GSRuntime::GSStack* stack);
  void GetNamedTagAsKUID(GSRuntime::GSStack* stack);
  void GetNamedTagAsInt(GSRuntime::GSStack* stack);
  void GetNamedTagAsIntOr(GSRuntime::GSStack* stack);
  void GetNamedTagAsFloat(GSRuntime::GSStack* stack);
  void GetNamedTagAsFloatOr(GSRuntime::GSStack* stack);
  void SetNamedText(GSRuntime::GSStack* stack);
  void SetNamedFloat(GSRuntime::GSStack* stack);
  void SetNamedInt(GSRuntime::GSStack* stack);
  void SetNamedKUID(GSRuntime::GSStack* stack);
  void SetNamedSoup(GSRuntime::GSStack* stack);
  void RemoveNamedTag(GSRuntime::GSStack* stack);
  void Copy(GSRuntime::GSStack* stack);
  void Clear(GSRuntime::GSStack* stack);
  void IsLocked(GSRuntime::GSStack* stack);
  void GetLockedReference(GSRuntime::GSStack* stack);
  void AddUniqueNamedSoup(GSRuntime::GSStack* stack);
  void Log(GSRuntime::GSStack* stack);
  void AsString(GSRuntime::GSStack* stack);

 private:
  GSOSoup(const Soup& soup, bool locked) : soup_(soup), locked_(locked ? 1 : 0) {}

  // False, the text raised, when the object is locked.
  bool Unlocked(const char* error) const;
  // A new object of this object's lock over `soup`, pushed.
  void PushChild(GSRuntime::GSStack* stack, const Soup& soup);
  // Shares the given object's tree under `name`; false, the error raised, when that tree would
  // contain this one.
  bool ShareUnder(const Qel::PString& name, GSOSoup* child, const char* native);

  Soup soup_;
  u8 locked_;
};
