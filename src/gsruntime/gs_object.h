// The native side of every value a script can hold: the root `GSObjectReference`, and `GSObject`,
// the native object bound to an instance of a script class. Script words never hold host
// pointers, so each native object has an id in one process-wide table, and an instance header
// names its native object by that id.
#pragma once

#include "gsruntime/id_table.h"
#include "gsruntime/script_arena.h"

namespace GSRuntime {

class GSContext;
struct GSClass;

enum GSObjectKind : u32 {
  kObjectArray = 1,
  kObjectString = 2,
  kObjectNative = 3,
  kObjectGame = 4,
};

class GSObjectReference {
 public:
  explicit GSObjectReference(u32 objectKind);
  virtual ~GSObjectReference();
  GSObjectReference(const GSObjectReference&) = delete;
  GSObjectReference& operator=(const GSObjectReference&) = delete;

  // The reference scripts hold for the object; 0 when it has none.
  virtual ScriptRef GetScriptReference() const = 0;

  u32 ObjectId() const { return objectId_; }
  // The object with that id; null for 0 or an id not in use. Inline: the interpreter's array
  // access takes this step on every element.
  static GSObjectReference* FromId(u32 id) { return Table().At(id); }
  // The native object of the instance a script reference points into; null when it has none.
  static GSObjectReference* FromReference(ScriptRef reference);
  // Native objects alive in the process, for leak checks.
  static u32 LiveCount();

  u32 kind;

 private:
  static IdTable<GSObjectReference>& Table();

  u32 objectId_;
};

class GSObject : public GSObjectReference {
 public:
  explicit GSObject(u32 objectKind = kObjectNative) : GSObjectReference(objectKind) {}
  // Unbinds: an instance held by nothing else goes at once, otherwise it lives on without a
  // native object.
  ~GSObject() override;

  ScriptRef GetScriptReference() const override { return scriptInstance; }
  virtual ScriptRef GetScriptInstance() const { return scriptInstance; }
  // With a class, creates and binds an instance of it in `bindContext` (false when already
  // bound or the creation fails). With null, unbinds and drops the binding's count; false.
  virtual bool BindScriptInstance(GSClass* cls, GSContext* bindContext);
  // The last script reference to the bound instance went. The base deletes the object; a game
  // object registered with a router only marks itself for deletion.
  virtual void LastReferenceGone();

  GSClass* GetGSClass() const;

  // Stores a counted reference into the member word `fieldWord` of the view `view`, releasing the
  // old value. A reference owned by another context that is not shareable is released and null
  // stored instead. Returns what was stored.
  static ScriptRef SetObjectField(ScriptRef view, u32 fieldWord, ScriptRef reference);

  ScriptRef scriptInstance = 0;  // the own view of the bound instance
  GSContext* context = nullptr;
};

// Every native object by its id. A global rather than a function's static, so that the
// interpreter's array access and context look-ups reach it without a guard.
inline constinit Undestroyed<IdTable<GSObjectReference>> g_objectTable;
inline IdTable<GSObjectReference>& GSObjectReference::Table() { return g_objectTable.value; }

// The name of the script class bound to the object; "void" when there is none.
const char* GetGSClassName(const GSObjectReference* object);

}  // namespace GSRuntime
