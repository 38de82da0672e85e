#include "gsruntime/gs_library.h"

#include <algorithm>

#include "gsruntime/object_bridge.h"

namespace GSRuntime {

i32 GSClass::FindFunction(const std::string& functionName) const {
  for (size_t i = 0; i < functions.size(); ++i) {
    if (*functions[i].name == functionName) return static_cast<i32>(i);
  }
  return -1;
}

std::vector<u32> GSClass::FieldSlots() const {
  std::vector<u32> slots;
  for (const auto& field : fields) {
    if (field.slot >= 0) slots.push_back(static_cast<u32>(field.slot));
  }
  std::sort(slots.begin(), slots.end());
  return slots;
}

bool GSFunction::CallFits(u32 site, const GSFunction* callee) const {
  const auto found =
      std::lower_bound(callSites.begin(), callSites.end(), site,
                       [](const CallSite& entry, u32 offset) { return entry.offset < offset; });
  if (found == callSites.end() || found->offset != site) return false;
  const CallShape& passed = found->shape;
  const CallShape& taken = callee->shape;
  if (passed.result != taken.result || passed.argumentKinds.size() != taken.argumentKinds.size()) {
    return false;
  }
  // A reference argument must have been counted (or be null); a value argument may be anything.
  for (size_t i = 0; i < taken.argumentKinds.size(); ++i) {
    if (taken.argumentKinds[i] == kReferenceWord && passed.argumentKinds[i] == kValueWord) {
      return false;
    }
  }
  return true;
}

GSLibrary::~GSLibrary() {
  // Call sites and classes of this library may be cached; their addresses and ids come back.
  ObjectBridge::ForgetMethodCache();
  // Last to first, as they were made.
  while (!classes.empty()) classes.pop_back();
}

GSClass* GSLibrary::FindClass(const std::string& className) const {
  for (size_t i = classes.size(); i-- > 0;) {
    if (*classes[i]->name == className) return classes[i].get();
  }
  return nullptr;
}

bool GSLibrary::DependsOn(const GSLibrary* other) const {
  for (const GSDependency& d : dependencies) {
    if (d.library == other) return true;
  }
  return false;
}

}  // namespace GSRuntime
