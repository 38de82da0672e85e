#include "gsruntime/object_bridge.h"

#include "gsruntime/gs_array.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_game_object.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/gs_thread.h"

namespace GSRuntime::ObjectBridge {

namespace {

GSString* StringOf(GSHandle reference) {
  return reference != 0 ? GSString::FromReference(reference) : nullptr;
}

GSHandle NewArrayLike(const GSArray& model) {
  auto* array = new GSArray(CurrentRegistry(), model.holdsReferences != 0);
  return array->GetScriptReference();
}

}  // namespace

GSThreadOwner* GameObjectOf(GSHandle object) {
  if (object == 0) return nullptr;
  GSObjectReference* native = GSObjectReference::FromReference(object);
  if (native == nullptr || native->kind != kObjectGame) return nullptr;
  return dynamic_cast<GSThreadOwner*>(native);
}

bool ResolveMethod(GSHandle object, u32 method, const GSFunction** function, GSHandle* view) {
  const u32* words = GSMachine::LiveArena().Word(object);
  if (words == nullptr) return false;
  const ScriptRef instance = object + words[0] - kInstanceHeaderWords;
  const auto* header =
      reinterpret_cast<const GSInstanceHeader*>(GSMachine::LiveArena().Word(instance));
  const GSClass* cls = header != nullptr ? ClassOfId(header->scriptClass) : nullptr;
  if (cls == nullptr) return false;
  const u64 entry = u64(words[1]) + method;
  if (entry >= cls->methods.size()) return false;
  const GSMethodEntry& e = cls->methods[entry];
  if (e.link == nullptr || e.link->function == nullptr) return false;
  *function = e.link->function;
  *view = ViewReference(instance, e.viewOffset);
  return true;
}


u32* FieldOfKind(GSHandle object, u32 field, u8 kind) {
  u32* word = FieldOf(object, field);
  if (word == nullptr) return nullptr;
  const ScriptRef instance = object + *GSMachine::LiveArena().Word(object) - kInstanceHeaderWords;
  const auto* header =
      reinterpret_cast<const GSInstanceHeader*>(GSMachine::LiveArena().Word(instance));
  const GSClass* cls = ClassOfId(header->scriptClass);
  const u64 member = u64(ViewIndex(object, instance)) + field;
  return cls != nullptr && member < cls->fieldKinds.size() && cls->fieldKinds[member] == kind
             ? word
             : nullptr;
}

namespace {
// Whether an entry was made since the cache was last emptied: a run that unloads many libraries
// (every one at exit) empties it once.
bool g_methodCacheFilled = false;
}  // namespace

void ForgetMethodCache() {
  if (!g_methodCacheFilled) return;
  for (MethodCacheEntry& entry : g_methodCache) entry = {};
  g_methodCacheFilled = false;
}

ResolvedCall ResolveCallMiss(const u8* site, const GSFunction* caller, const u8* opcode,
                             GSHandle object, u32 method) {
  const GSFunction* found = nullptr;
  GSHandle view = 0;
  if (!ResolveMethod(object, method, &found, &view) ||
      !caller->CallFits(static_cast<u32>(opcode - caller->record.code), found)) {
    return {nullptr, 0};
  }
  const u32* words = GSMachine::LiveArena().Word(object);
  const ScriptRef instance = object + words[0] - kInstanceHeaderWords;
  const u32 classId =
      reinterpret_cast<const GSInstanceHeader*>(GSMachine::LiveArena().Word(instance))->scriptClass;
  MethodCacheSlot(site) = {site, classId, words[1], found, ViewIndex(view, instance)};
  g_methodCacheFilled = true;
  return {found, view};
}

void StoreReferenceField(GSHandle object, u32* field, GSHandle value) {
  const ScriptRef word = static_cast<ScriptRef>(field - GSMachine::LiveArena().Word(object));
  GSObject::SetObjectField(object, word, value);
}

bool SameObject(GSHandle a, GSHandle b) {
  return a != 0 && b != 0 && GSScriptInstance::InstanceOf(a) == GSScriptInstance::InstanceOf(b);
}

bool IsClass(GSHandle object, const GSClass* cls) {
  const GSClass* own = GSScriptInstance::ClassOf(GSScriptInstance::InstanceOf(object));
  return own != nullptr && cls != nullptr &&
         (own == cls || const_cast<GSClass*>(own)->BaseIndex(cls) >= 0);
}

GSHandle CastTo(GSHandle object, const GSClass* cls) {
  return GSScriptInstance::CastToClass(GSScriptInstance::InstanceOf(object),
                                       const_cast<GSClass*>(cls));
}

GSHandle NewInstance(const GSClass* cls) {
  if (cls == nullptr) return 0;
  if (cls->IsA("GameObject")) {
    GSGameObject* made = NewGameObject(const_cast<GSClass*>(cls), CurrentContext());
    return made != nullptr ? made->scriptInstance : 0;
  }
  auto* object = new GSObject(kObjectNative);
  if (!object->BindScriptInstance(const_cast<GSClass*>(cls), CurrentContext())) {
    delete object;
    return 0;
  }
  // The script's reference becomes the only one: the object goes with its last release.
  return object->scriptInstance;
}

GSHandle StaticInstance(const GSClass* cls) {
  GSObject* object = GSContext::GetStaticObject(const_cast<GSClass*>(cls));
  if (object == nullptr || object->scriptInstance == 0) return 0;
  GSScriptInstance::AddRef(object->scriptInstance);
  return object->scriptInstance;
}

i32 NewArray(i32 count, bool references, GSHandle* array) {
  if (count < 0 || count > GSArray::kMaxElements) return kRunArrayOutOfBounds;
  auto* made = new GSArray(CurrentRegistry(), references);
  if (!made->Grow(count)) {
    GSScriptInstance::Release(made->GetScriptReference());
    return kRunArrayOutOfBounds;
  }
  *array = made->GetScriptReference();
  return kRunDone;
}

i32 ArraySize(GSHandle array, i32* size) {
  const GSArray* a = ArrayOf(array);
  if (a == nullptr) return kRunNullArrayReference;
  *size = a->size;
  return kRunDone;
}

i32 ArrayCopy(GSHandle array, GSHandle* copy) {
  const GSArray* a = ArrayOf(array);
  if (a == nullptr) return kRunNullArrayReference;
  const GSHandle made = NewArrayLike(*a);
  if (!GSArray::FromReference(made)->CopyRange(*a, 0, -1)) {
    GSScriptInstance::Release(made);
    return kRunArrayOutOfBounds;
  }
  *copy = made;
  return kRunDone;
}

i32 ArrayGet(GSHandle array, i32 index, u32* value) {
  const GSArray* a = ArrayOf(array);
  if (a == nullptr) return kRunNullArrayReference;
  return a->GetElement(index, value, a->holdsReferences != 0) ? kRunDone : kRunArrayOutOfBounds;
}

i32 ArraySet(GSHandle array, i32 index, u32 value) {
  GSArray* a = ArrayOf(array);
  if (a == nullptr) return kRunNullArrayReference;
  if (a->holdsReferences != 0) {
    return a->SetElement(index, value) ? kRunDone : kRunArrayOutOfBounds;
  }
  return index >= 0 && a->SetWord(index, value) ? kRunDone : kRunArrayOutOfBounds;
}

i32 ArrayRange(GSHandle array, i32 end, i32 start, GSHandle* range) {
  const GSArray* a = ArrayOf(array);
  if (a == nullptr) return kRunNullArrayReference;
  const GSHandle made = NewArrayLike(*a);
  if (!GSArray::FromReference(made)->CopyRange(*a, start, end)) {
    GSScriptInstance::Release(made);
    return kRunArrayOutOfBounds;
  }
  *range = made;
  return kRunDone;
}

i32 ArrayReplaceRange(GSHandle array, i32 end, i32 start, GSHandle source) {
  GSArray* a = ArrayOf(array);
  if (a == nullptr) return kRunNullArrayReference;
  return a->ReplaceRange(start, end, ArrayOf(source)) ? kRunDone : kRunArrayOutOfBounds;
}

GSHandle NewString(const char* text, u32 length) {
  if (i64(length) > GSString::kMaxLength) return 0;
  auto* made = new GSString(CurrentRegistry());
  made->Std().assign(text, length);
  return made->GetScriptReference();
}

i32 StringSize(GSHandle string, i32* size) {
  const GSString* s = StringOf(string);
  if (s == nullptr) return kRunNullStringReference;
  *size = static_cast<i32>(s->Length());
  return kRunDone;
}

i32 StringGet(GSHandle string, i32 index, i32* byte) {
  const GSString* s = StringOf(string);
  if (s == nullptr) return kRunNullStringReference;
  if (index < 0 || u32(index) >= s->Length()) return kRunStringOutOfBounds;
  *byte = static_cast<i8>(s->CStr()[index]);
  return kRunDone;
}

i32 StringSet(GSHandle string, i32 index, i32 byte) {
  GSString* s = StringOf(string);
  if (s == nullptr) return kRunNullStringReference;
  return s->SetChar(index, static_cast<char>(byte)) ? kRunDone : kRunStringOutOfBounds;
}

i32 StringRange(GSHandle string, i32 end, i32 start, GSHandle* range) {
  const GSString* s = StringOf(string);
  if (s == nullptr) return kRunNullStringReference;
  auto* made = new GSString(CurrentRegistry());
  if (!GSString::Substring(*s, start, end, made)) {
    GSScriptInstance::Release(made->GetScriptReference());
    return kRunArrayOutOfBounds;
  }
  *range = made->GetScriptReference();
  return kRunDone;
}

i32 StringReplaceRange(GSHandle string, i32 end, i32 start, GSHandle source) {
  GSString* s = StringOf(string);
  if (s == nullptr) return kRunNullStringReference;
  return s->ReplaceRange(start, end, StringOf(source)) ? kRunDone : kRunArrayOutOfBounds;
}

i32 CompareStrings(GSHandle a, GSHandle b) {
  const GSString* x = StringOf(a);
  const GSString* y = StringOf(b);
  const u32 lx = x != nullptr ? x->Length() : 0;
  const u32 ly = y != nullptr ? y->Length() : 0;
  if (lx == 0 || ly == 0) return (lx != 0) - (ly != 0);
  const i32 c = x->View().compare(y->View());
  return (c > 0) - (c < 0);
}

GSHandle Concatenate(GSHandle a, GSHandle b) {
  const GSString* x = StringOf(a);
  const GSString* y = StringOf(b);
  const i64 length = (x != nullptr ? i64(x->Length()) : 0) + (y != nullptr ? i64(y->Length()) : 0);
  if (length > GSString::kMaxLength) return 0;
  // Made at its full length at once: a copy of `a` grown by `b` would copy `a` twice, which in a
  // loop that appends to one text is most of its time.
  auto* made = new GSString(CurrentRegistry());
  std::string& text = made->Std();
  text.reserve(size_t(length));
  if (x != nullptr) text.append(x->View());
  if (y != nullptr) text.append(y->View());
  return made->GetScriptReference();
}

}  // namespace GSRuntime::ObjectBridge
