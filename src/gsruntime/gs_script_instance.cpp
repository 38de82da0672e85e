#include "gsruntime/gs_script_instance.h"

#include <cstring>
#include <vector>

#include "gsruntime/gs_array.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_tracked_object.h"
#include "gsruntime/id_table.h"

namespace GSRuntime {

namespace {

GSFieldInitialiserHook g_fieldInitialiserHook = nullptr;

IdTable<GSClass>& ClassTable() {
  // Never destroyed: the machine, a static too, ends classes at exit after other statics.
  static auto& table = *new IdTable<GSClass>;
  return table;
}

// The machine lives to process exit, and its arena with it; counting is hot, so it is found once.
ScriptArena& Arena() {
  static ScriptArena& arena = GSMachine::Instance().Arena();
  return arena;
}

u32* MemberWord(ScriptRef instance, i64 word) {
  return Arena().Word(instance + kInstanceHeaderWords + u32(word));
}

bool IsScriptObject(const GSObjectReference* object) {
  return object != nullptr && (object->kind == kObjectNative || object->kind == kObjectGame);
}

}  // namespace

void SetFieldInitialiserHook(GSFieldInitialiserHook hook) { g_fieldInitialiserHook = hook; }
GSFieldInitialiserHook FieldInitialiserHook() { return g_fieldInitialiserHook; }

u32 ClassId(GSClass* cls) {
  if (cls == nullptr) return 0;
  if (cls->runtimeId == 0) cls->runtimeId = ClassTable().Add(cls);
  return cls->runtimeId;
}

GSClass* ClassOfId(u32 id) { return ClassTable().At(id); }

void ForgetClassId(GSClass* cls) {
  ClassTable().Remove(cls->runtimeId);
  cls->runtimeId = 0;
}

GSInstanceHeader* GSScriptInstance::Header(ScriptRef instance) {
  return reinterpret_cast<GSInstanceHeader*>(Arena().Word(instance));
}

ScriptRef GSScriptInstance::InstanceOf(ScriptRef reference) {
  const u32* word = Arena().Word(reference);
  if (word == nullptr) return 0;
  return reference + *word - kInstanceHeaderWords;  // the back offset is 0 or negative
}

GSClass* GSScriptInstance::ClassOf(ScriptRef instance) {
  const GSInstanceHeader* header = Header(instance);
  return header != nullptr ? ClassOfId(header->scriptClass) : nullptr;
}

GSObjectReference* GSScriptInstance::NativeObjectOf(ScriptRef instance) {
  const GSInstanceHeader* header = Header(instance);
  return header != nullptr ? GSObjectReference::FromId(header->nativeObject) : nullptr;
}

void GSScriptInstance::AddRef(ScriptRef reference) {
  if (GSInstanceHeader* header = Header(InstanceOf(reference))) ++header->refCount;
}

void GSScriptInstance::Release(ScriptRef reference) {
  const ScriptRef instance = InstanceOf(reference);
  GSInstanceHeader* header = Header(instance);
  // A count already at 0 belongs to an object being ended; its end does the rest.
  if (header == nullptr || header->refCount <= 0) return;
  if (header->trackSlot != 0) {
    GSTrackedRegistry* registry = OwnerRegistry(instance);
    if (registry != nullptr && registry->Clearing()) return;
  }
  if (--header->refCount > 0) return;
  if (GSObjectReference* object = GSObjectReference::FromId(header->nativeObject)) {
    if (IsScriptObject(object)) {
      static_cast<GSObject*>(object)->LastReferenceGone();
    } else {
      delete object;  // an array or string, which takes its header with it
    }
    return;
  }
  if (GSClass* cls = ClassOfId(header->scriptClass)) {
    Destroy(cls, instance);
  } else {
    UntrackObject(instance);
    FreeBlock(instance);
  }
}

ScriptRef GSScriptInstance::Allocate(u32 memberWords) {
  const u64 bytes = (u64(kInstanceHeaderWords) + memberWords) * 4;
  if (bytes > 0xFFFFFFFFu) return 0;
  const GSHandle handle = Arena().Allocate(u32(bytes));
  if (handle == 0) return 0;
  const ScriptRef instance = ScriptArena::FirstWord(handle);
  Header(instance)->blockBytes = u32(bytes);
  return instance;
}

void GSScriptInstance::FreeBlock(ScriptRef instance) {
  GSInstanceHeader* header = Header(instance);
  if (header == nullptr) return;
  // A freed block names nothing any more, so a late pass of a clear passes it over.
  header->nativeObject = 0;
  header->scriptClass = 0;
  GSTrackedRegistry* registry = OwnerRegistry(instance);
  if (registry != nullptr && registry->Clearing()) {
    registry->DeferFree(instance);
    return;
  }
  Arena().Free(instance / ScriptArena::kWordsPerGranule, header->blockBytes);
}

ScriptRef GSScriptInstance::MakeEmbedded(GSObjectReference* owner, GSTrackedRegistry* registry) {
  const ScriptRef instance = Allocate(1);
  if (instance == 0) return 0;
  GSInstanceHeader* header = Header(instance);
  header->refCount = 1;
  header->nativeObject = owner->ObjectId();
  TrackObject(registry, instance);
  return instance + kInstanceHeaderWords;
}

void GSScriptInstance::DropEmbedded(ScriptRef reference) {
  if (reference == 0) return;
  const ScriptRef instance = reference - kInstanceHeaderWords;
  UntrackObject(instance);
  FreeBlock(instance);
}

bool GSScriptInstance::Destroy(GSClass* cls, ScriptRef instance) {
  if (cls == nullptr || !cls->ReleaseFields(instance)) return false;
  UntrackObject(instance);
  FreeBlock(instance);
  return true;
}

ScriptRef GSScriptInstance::CastToClass(ScriptRef instance, GSClass* cls) {
  const GSInstanceHeader* header = Header(instance);
  if (header == nullptr || cls == nullptr) return 0;
  GSClass* own = ClassOfId(header->scriptClass);
  if (own == nullptr) return 0;
  if (header->nativeObject == 0 && cls->IsA("GameObject")) return 0;
  if (own == cls) return ViewReference(instance, 0);
  const i32 base = own->BaseIndex(cls);
  return base < 0 ? 0 : ViewReference(instance, own->bases[size_t(base)].memberOffset);
}

void GSScriptInstance::Pin(ScriptRef instance) {
  if (GSInstanceHeader* header = Header(instance)) header->refCount += 2;
}

void GSScriptInstance::Detach(ScriptRef instance) {
  GSInstanceHeader* header = Header(instance);
  if (header == nullptr) return;
  GSObjectReference* object = GSObjectReference::FromId(header->nativeObject);
  if (object != nullptr && object->kind == kObjectArray) {
    static_cast<GSArray*>(object)->Grow(0);
  } else if (object != nullptr && object->kind == kObjectGame) {
    ++header->refCount;
    static_cast<GSObject*>(object)->BindScriptInstance(nullptr, nullptr);
  }
  if (GSClass* cls = ClassOfId(header->scriptClass)) cls->ReleaseFields(instance);
}

void GSScriptInstance::Untrack(ScriptRef instance) {
  GSInstanceHeader* header = Header(instance);
  if (header == nullptr) return;
  GSObjectReference* object = GSObjectReference::FromId(header->nativeObject);
  if (IsScriptObject(object)) {
    ++header->refCount;
    static_cast<GSObject*>(object)->BindScriptInstance(nullptr, nullptr);
    delete object;
  } else {
    delete object;
  }
  if (GSClass* cls = ClassOfId(header->scriptClass)) Destroy(cls, instance);
}

// The class side of instances.

GSClass::~GSClass() { ForgetClassId(this); }

GSClass* GSClass::BaseClass(size_t i) const {
  if (i >= bases.size() || library == nullptr) return nullptr;
  const i32 reference = bases[i].classReference;
  if (reference < 0 || size_t(reference) >= library->classLinks.size()) return nullptr;
  return library->classLinks[size_t(reference)].linkedClass;
}

i32 GSClass::BaseIndex(const GSClass* base) const {
  for (size_t i = bases.size(); i-- > 0;) {
    if (BaseClass(i) == base) return i32(i);
  }
  return -1;
}

bool GSClass::IsA(const char* className) const {
  if (*name == className) return true;
  for (size_t i = bases.size(); i-- > 0;) {
    const GSClass* base = BaseClass(i);
    if (base != nullptr && *base->name == className) return true;
  }
  return false;
}

bool GSClass::FindMethod(const std::string& signature, MethodLocation* out) {
  i32 index = FindFunction(signature);
  if (index >= 0) {
    *out = {this, index, 0};
    return true;
  }
  for (size_t i = 0; i < bases.size(); ++i) {
    GSClass* base = BaseClass(i);
    if (base == nullptr) continue;
    index = base->FindFunction(signature);
    if (index >= 0) {
      *out = {base, index, bases[i].memberOffset};
      return true;
    }
  }
  return false;
}

namespace {

// Runs a class's field initialiser for one view; true when there is nothing to run.
bool RunInitialiser(GSClass* cls, ScriptRef view) {
  if (cls == nullptr || cls->functions.empty()) return false;
  GSFunction& initialiser = cls->functions.back();
  if (initialiser.record.codeLength == 0) return true;
  GSFieldInitialiserHook hook = FieldInitialiserHook();
  return hook != nullptr && hook(initialiser, view);
}

}  // namespace

bool GSClass::CreateInstance(GSObject* object, GSContext* context) {
  if (object == nullptr || instanceWords == 0) return false;  // no room for the own view
  if (object->scriptInstance != 0 &&
      GSScriptInstance::ClassOf(GSScriptInstance::InstanceOf(object->scriptInstance)) != nullptr) {
    return false;
  }
  const ScriptRef instance = GSScriptInstance::Allocate(instanceWords);
  if (instance == 0) return false;
  GSInstanceHeader* header = GSScriptInstance::Header(instance);
  header->refCount = 1;
  header->nativeObject = object->ObjectId();
  header->scriptClass = ClassId(this);
  TrackObject(context != nullptr ? &context->Registry() : nullptr, instance);
  const ScriptRef own = ViewReference(instance, 0);
  object->scriptInstance = own;
  object->context = context;

  // Back offsets, and each view's first method-table entry.
  for (const auto& entry : layout) {
    if (u32* word = entry.word >= 0 && u32(entry.word) < instanceWords
                        ? MemberWord(instance, entry.word)
                        : nullptr) {
      *word = u32(entry.value);
    }
  }
  *MemberWord(instance, 0) = 0;

  bool good = true;
  for (size_t i = bases.size(); good && i-- > 0;) {
    good = RunInitialiser(BaseClass(i), ViewReference(instance, bases[i].memberOffset));
  }
  if (good) good = RunInitialiser(this, own);
  if (good) return true;

  // An initialiser may have stored `me` somewhere already: the instance goes only with its last
  // count, and lives on without a native object until then.
  ReleaseFields(instance);
  header->nativeObject = 0;
  object->scriptInstance = 0;
  object->context = nullptr;
  GSScriptInstance::Release(own);
  return false;
}

bool GSClass::ReleaseFields(ScriptRef instance) {
  if (GSScriptInstance::ClassOf(instance) != this) return false;
  const auto releaseView = [&](const GSClass* viewClass, i32 viewOffset) {
    if (viewClass == nullptr) return;
    for (u32 field : viewClass->referenceFields) {
      const i64 word = i64(viewOffset) + field;
      if (word < 0 || word >= i64(instanceWords)) continue;
      u32* slot = MemberWord(instance, word);
      if (slot == nullptr || *slot == 0) continue;
      const ScriptRef value = *slot;
      *slot = 0;
      GSScriptInstance::Release(value);
    }
  };
  for (size_t i = bases.size(); i-- > 0;) releaseView(BaseClass(i), bases[i].memberOffset);
  releaseView(this, 0);
  return true;
}

}  // namespace GSRuntime
