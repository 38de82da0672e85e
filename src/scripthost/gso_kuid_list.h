// The script class "KUIDList": an ordered list of distinct KUIDs that scripts build, or that the
// host hands out locked (a copy of one of its own lists that never changes).
#pragma once

#include "core/chunked_list.h"
#include "core/kuid.h"
#include "gsruntime/gs_object.h"

namespace GSRuntime {
class GSContext;
class GSStack;
}  // namespace GSRuntime

class GSOKUIDList : public GSRuntime::GSObject {
 public:
  using List = ChunkedList<KUID, 128>;

  // A new list in `owner`, empty and unlocked, or (with `source`) a locked copy of it; its
  // instance's reference, counted for the caller, or 0 when it cannot be made.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* owner, const List* source = nullptr);

  const List& Entries() const { return list_; }
  bool IsLocked() const { return locked_ != 0; }

  void CountKUIDs(GSRuntime::GSStack* stack);
  void AddKUID(GSRuntime::GSStack* stack);
  void RemoveKUID(GSRuntime::GSStack* stack);
  void HasKUID(GSRuntime::GSStack* stack);
  void GetIndexedKUID(GSRuntime::GSStack* stack);
  void Copy(GSRuntime::GSStack* stack);
  void Clear(GSRuntime::GSStack* stack);
  void IsLocked(GSRuntime::GSStack* stack);

 private:
  GSOKUIDList() = default;

  List list_;
  u8 locked_ = 0;
};
