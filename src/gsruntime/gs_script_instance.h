// Script-class instances in the script arena. An instance is one block: a five-word header, then
// the member area with one view per class of the instance's ancestry. A script reference names
// the first word of a view; that word holds the view's back offset k (0 or negative), so the
// header begins at reference + k - 5. The view's second word holds the index of the view's first
// entry in the method table of the instance's class. Arrays and strings embed the same header
// followed by one word 0, the word their reference names.
#pragma once

#include "gsruntime/script_arena.h"

namespace GSRuntime {

class GSContext;
class GSObjectReference;
class GSTrackedRegistry;
struct GSClass;
struct GSFunction;

struct GSInstanceHeader {
  u32 blockBytes;  // the arena block's size, for freeing it
  u32 trackSlot;   // registry slot (gs_tracked_object.h), 0 while untracked
  i32 refCount;
  u32 nativeObject;  // object-table id (gs_object.h), 0 for none
  u32 scriptClass;   // class-table id, 0 for arrays and strings
};
constexpr u32 kInstanceHeaderWords = 5;

// Runs one class's field initialiser on the script machine's static thread with `view` as `me`
// (taking its own count for it); true when the run ended done. The interpreter installs it.
using GSFieldInitialiserHook = bool (*)(GSFunction& initialiser, ScriptRef view);
void SetFieldInitialiserHook(GSFieldInitialiserHook hook);
GSFieldInitialiserHook FieldInitialiserHook();

// A class's number in the process-wide class table (given on first use), and back.
u32 ClassId(GSClass* cls);
GSClass* ClassOfId(u32 id);
// Called by a class's destructor.
void ForgetClassId(GSClass* cls);

inline ScriptRef ViewReference(ScriptRef instance, i32 viewOffset) {
  return instance + kInstanceHeaderWords + u32(viewOffset);
}
inline i32 ViewIndex(ScriptRef reference, ScriptRef instance) {
  return i32(reference - instance - kInstanceHeaderWords);
}

class GSScriptInstance {
 public:
  // The header at an instance's first word; null for 0.
  static GSInstanceHeader* Header(ScriptRef instance);
  // The instance a script reference points into; 0 for null or a word outside the arena.
  static ScriptRef InstanceOf(ScriptRef reference);
  static GSClass* ClassOf(ScriptRef instance);
  static GSObjectReference* NativeObjectOf(ScriptRef instance);

  // Counting on the header a reference points into; both ignore null. A release of an object
  // whose registry is being cleared does nothing: the clear ends every such object itself. The
  // last release deletes the native object (which takes the instance with it), or destroys an
  // instance that has none.
  static void AddRef(ScriptRef reference);
  static void Release(ScriptRef reference);

  // A zeroed block of a header and `memberWords` words, count 0; 0 when the arena is full.
  static ScriptRef Allocate(u32 memberWords);
  // Gives the block back; while its registry clears, the clear frees it after its last pass.
  static void FreeBlock(ScriptRef instance);
  // The header and reference word of an array or string: count 1, tracked in `registry` (none:
  // untracked). Returns the reference, 0 when the arena is full.
  static ScriptRef MakeEmbedded(GSObjectReference* owner, GSTrackedRegistry* registry);
  static void DropEmbedded(ScriptRef reference);

  // Releases the fields (GSClass::ReleaseFields), untracks and frees; the release's result.
  static bool Destroy(GSClass* cls, ScriptRef instance);
  // The reference of `cls`'s view in the instance; 0 when it has none, and for a game-object
  // class on an instance without native object.
  static ScriptRef CastToClass(ScriptRef instance, GSClass* cls);

  // The three steps of a registry clear (gs_tracked_object.h).
  static void Pin(ScriptRef instance);
  static void Detach(ScriptRef instance);
  static void Untrack(ScriptRef instance);
};

}  // namespace GSRuntime
