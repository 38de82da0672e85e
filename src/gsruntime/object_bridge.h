// What the stack, the threads and the interpreter ask of script objects, arrays and strings,
// gathered in one place. Operations that can fail return a run result (kRunDone when they
// succeed); none of them releases the references it is given: the caller does.
#pragma once

#include "gsruntime/gs_array.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_tracked_object.h"
#include "gsruntime/script_arena.h"
#include "qel/types.h"

namespace GSRuntime {
class GSContext;
struct GSClass;
struct GSFunction;
class GSThreadOwner;
}  // namespace GSRuntime

namespace GSRuntime::ObjectBridge {

// The header of the instance a reference points into; null for 0 or a word outside the arena.
inline GSInstanceHeader* HeaderOf(GSHandle reference) {
  const u32* view = GSMachine::LiveArena().Word(reference);
  if (view == nullptr) return nullptr;
  return reinterpret_cast<GSInstanceHeader*>(
      GSMachine::LiveArena().Word(reference + *view - kInstanceHeaderWords));
}

inline void AddReference(GSHandle handle) {
  if (GSInstanceHeader* header = HeaderOf(handle)) ++header->refCount;
}
// A release that leaves the count above 0 while no registry clears is a decrement; anything
// else takes the full path.
inline void ReleaseReference(GSHandle handle) {
  GSInstanceHeader* header = HeaderOf(handle);
  if (header != nullptr && header->refCount > 1 && GSTrackedRegistry::ClearingCount() == 0) {
    --header->refCount;
    return;
  }
  GSScriptInstance::Release(handle);
}
inline void AddIfSet(GSHandle handle) {
  if (handle != 0) AddReference(handle);
}
inline void ReleaseIfSet(GSHandle handle) {
  if (handle != 0) ReleaseReference(handle);
}

// The script context of the native object that `me` is bound to, or null. Inline: a call on
// another object asks it on entry.
inline GSContext* ContextOf(GSHandle me) {
  const GSInstanceHeader* header = HeaderOf(me);
  if (header == nullptr) return nullptr;
  GSObjectReference* object = GSObjectReference::FromId(header->nativeObject);
  if (object == nullptr || (object->kind != kObjectNative && object->kind != kObjectGame)) {
    return nullptr;
  }
  return static_cast<GSObject*>(object)->context;
}
// The game object an instance is bound to, or null.
GSThreadOwner* GameObjectOf(GSHandle object);

// The function in slot `method` of the method table the object's view reaches, and the object
// viewed as that function's defining class; false for a slot outside the table.
bool ResolveMethod(GSHandle object, u32 method, const GSFunction** function, GSHandle* view);

// ResolveMethod through a cache keyed by the call instruction's address, the instance's class
// and the view's first method-table entry, so that a call site that keeps meeting one class
// resolves without the tables. Emptied whenever a library goes. An entry's slot comes from the
// call site alone: it is found while the instance's header is still being read, and a site
// meets one class nearly always.
struct MethodCacheEntry {
  const u8* site;
  u32 classId;
  u32 tableEntry;
  const GSFunction* function;
  i32 viewOffset;
};
inline MethodCacheEntry g_methodCache[512];
void ForgetMethodCache();
// The entry of a call site.
inline MethodCacheEntry& MethodCacheSlot(const u8* site) {
  return g_methodCache[reinterpret_cast<uintptr_t>(site) & 511];
}

// ResolveMethod for a call site the cache did not answer, which is then checked against the
// function found (GSFunction::CallFits: a null function for one that does not fit, as for one
// not found) and entered in the cache. Out of line and returned by value, so that the hit keeps
// the caller's values in registers. `site` is the address after the call instruction, `opcode`
// its first byte.
struct ResolvedCall {
  const GSFunction* function;
  GSHandle view;
};
ResolvedCall ResolveCallMiss(const u8* site, const GSFunction* caller, const u8* opcode,
                             GSHandle object, u32 method);
inline bool ResolveCall(const u8* site, const GSFunction* caller, const u8* opcode,
                        GSHandle object, u32 method, const GSFunction** function, GSHandle* view) {
  const ScriptArena& arena = GSMachine::LiveArena();
  const u32* words = arena.Word(object);
  if (words == nullptr) return false;
  const ScriptRef instance = object + words[0] - kInstanceHeaderWords;
  // The instance's header lies below the view, inside the arena as the view is.
  if (instance - 1 >= object) return false;
  const auto* header = reinterpret_cast<const GSInstanceHeader*>(words - (object - instance));
  const MethodCacheEntry& entry = MethodCacheSlot(site);
  if (entry.site == site && entry.classId == header->scriptClass && entry.tableEntry == words[1]) {
    *function = entry.function;
    *view = ViewReference(instance, entry.viewOffset);
    return true;
  }
  const ResolvedCall found = ResolveCallMiss(site, caller, opcode, object, method);
  *function = found.function;
  *view = found.view;
  return found.function != nullptr;
}
// The word of field `field` in the object's view; null when it lies outside the instance.
inline u32* FieldOf(GSHandle object, u32 field) {
  u32* view = GSMachine::LiveArena().Word(object);
  if (view == nullptr) return nullptr;
  const ScriptRef instance = object + *view - kInstanceHeaderWords;
  const auto* header =
      reinterpret_cast<const GSInstanceHeader*>(GSMachine::LiveArena().Word(instance));
  if (header == nullptr || header->scriptClass == 0) return nullptr;
  if (u64(object) + field >= u64(instance) + header->blockBytes / 4) return nullptr;
  return view + field;
}
// FieldOf for the reference forms and the stores, which must find the field of the kind they
// treat it as (GSClass::kValueField or kReferenceField) in the instance's class: a value taken
// or released as a reference would corrupt another object's count.
u32* FieldOfKind(GSHandle object, u32 field, u8 kind);
// Stores a counted reference into a reference field, releasing the old one, under the
// cross-context rule (a reference that may not be stored is released and null is stored).
void StoreReferenceField(GSHandle object, u32* field, GSHandle value);

// Whether two references name one instance (through any of its views).
bool SameObject(GSHandle a, GSHandle b);
bool IsClass(GSHandle object, const GSClass* cls);
// The object viewed as `cls`, or 0 when it is not one; the count is not changed.
GSHandle CastTo(GSHandle object, const GSClass* cls);
// A new counted instance with its constructors run; 0 when it cannot be made.
GSHandle NewInstance(const GSClass* cls);
// The current context's instance of a static class, counted; 0 when there is none.
GSHandle StaticInstance(const GSClass* cls);

// The array a reference names; null for 0 and for anything else. The interpreter reads and
// writes elements through it, so it takes the shortest way: an array's reference word is always
// 0 (it is its own view), which puts its header right before it, and the header's native-object
// id reaches the array through the object table. A reference whose word is not 0 is a view into
// a class instance; one whose word is 0 but whose header names no array is rejected by kind.
#if defined(__GNUC__)
inline __attribute__((always_inline))
#else
inline
#endif
GSArray* ArrayOf(GSHandle reference) {
  const u32* word = GSMachine::LiveArena().Word(reference);
  if (word == nullptr || *word != 0 || reference < kInstanceHeaderWords) return nullptr;
  const auto* header = reinterpret_cast<const GSInstanceHeader*>(word - kInstanceHeaderWords);
  GSObjectReference* object = GSObjectReference::FromId(header->nativeObject);
  return object != nullptr && object->kind == kObjectArray ? static_cast<GSArray*>(object)
                                                           : nullptr;
}

i32 NewArray(i32 count, bool references, GSHandle* array);
i32 ArraySize(GSHandle array, i32* size);
i32 ArrayCopy(GSHandle array, GSHandle* copy);
// Element i; a reference element is counted once more for the copy.
i32 ArrayGet(GSHandle array, i32 index, u32* value);
// Element i = value, growing the array for an index past its end; a reference value moves in.
i32 ArraySet(GSHandle array, i32 index, u32 value);
i32 ArrayRange(GSHandle array, i32 end, i32 start, GSHandle* range);
i32 ArrayReplaceRange(GSHandle array, i32 end, i32 start, GSHandle source);

// A new counted string; 0 when the arena is full or the text passes GSString::kMaxLength.
GSHandle NewString(const char* text, u32 length);
i32 StringSize(GSHandle string, i32* size);
i32 StringGet(GSHandle string, i32 index, i32* byte);
i32 StringSet(GSHandle string, i32 index, i32 byte);
i32 StringRange(GSHandle string, i32 end, i32 start, GSHandle* range);
i32 StringReplaceRange(GSHandle string, i32 end, i32 start, GSHandle source);
// The comparison word of two texts; null equals empty.
i32 CompareStrings(GSHandle a, GSHandle b);
// a + b as a new counted string; 0 when the arena is full or the result would pass
// GSString::kMaxLength.
GSHandle Concatenate(GSHandle a, GSHandle b);

}  // namespace GSRuntime::ObjectBridge
