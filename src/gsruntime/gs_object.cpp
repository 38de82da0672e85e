#include "gsruntime/gs_object.h"

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_tracked_object.h"
#include "gsruntime/id_table.h"

namespace GSRuntime {

namespace {

u32 g_liveObjects = 0;

}  // namespace

GSObjectReference::GSObjectReference(u32 objectKind)
    : kind(objectKind), objectId_(Table().Add(this)) {
  ++g_liveObjects;
}

GSObjectReference::~GSObjectReference() {
  Table().Remove(objectId_);
  --g_liveObjects;
}

GSObjectReference* GSObjectReference::FromReference(ScriptRef reference) {
  return GSScriptInstance::NativeObjectOf(GSScriptInstance::InstanceOf(reference));
}

u32 GSObjectReference::LiveCount() { return g_liveObjects; }

GSObject::~GSObject() {
  if (scriptInstance == 0) return;
  const ScriptRef instance = GSScriptInstance::InstanceOf(scriptInstance);
  GSInstanceHeader* header = GSScriptInstance::Header(instance);
  const ScriptRef reference = scriptInstance;
  scriptInstance = 0;
  context = nullptr;
  if (header == nullptr || header->nativeObject != ObjectId()) return;
  header->nativeObject = 0;
  GSClass* cls = ClassOfId(header->scriptClass);
  if (cls != nullptr && header->refCount < 2) {
    // Nothing but this binding holds the instance.
    if (header->refCount > 0) --header->refCount;
    GSScriptInstance::Destroy(cls, instance);
  } else {
    GSScriptInstance::Release(reference);
  }
}

bool GSObject::BindScriptInstance(GSClass* cls, GSContext* bindContext) {
  if (cls != nullptr) {
    if (scriptInstance != 0) return false;
    return cls->CreateInstance(this, bindContext);
  }
  if (scriptInstance == 0) return false;
  const ScriptRef reference = scriptInstance;
  if (GSInstanceHeader* header =
          GSScriptInstance::Header(GSScriptInstance::InstanceOf(reference))) {
    if (header->nativeObject == ObjectId()) header->nativeObject = 0;
  }
  scriptInstance = 0;
  context = nullptr;
  GSScriptInstance::Release(reference);
  return false;
}

void GSObject::LastReferenceGone() { delete this; }

GSClass* GSObject::GetGSClass() const {
  return scriptInstance != 0
             ? GSScriptInstance::ClassOf(GSScriptInstance::InstanceOf(scriptInstance))
             : nullptr;
}

ScriptRef GSObject::SetObjectField(ScriptRef view, u32 fieldWord, ScriptRef reference) {
  u32* slot = GSMachine::Instance().Arena().Word(view + fieldWord);
  if (view == 0 || slot == nullptr) {
    GSScriptInstance::Release(reference);
    return 0;
  }
  if (reference != 0) {
    // An object without an owning context may go anywhere.
    const GSTrackedRegistry* from = OwnerRegistry(GSScriptInstance::InstanceOf(reference));
    GSContext* fromContext = from != nullptr ? from->Owner() : nullptr;
    if (fromContext != nullptr && fromContext->shareable == 0) {
      const GSTrackedRegistry* to = OwnerRegistry(GSScriptInstance::InstanceOf(view));
      if (to == nullptr || to->Owner() != fromContext) {
        GSScriptInstance::Release(reference);
        reference = 0;
      }
    }
  }
  const ScriptRef old = *slot;
  *slot = reference;
  GSScriptInstance::Release(old);
  return reference;
}

const char* GetGSClassName(const GSObjectReference* object) {
  if (object == nullptr || (object->kind != kObjectNative && object->kind != kObjectGame)) {
    return "void";
  }
  const GSClass* cls = static_cast<const GSObject*>(object)->GetGSClass();
  return cls != nullptr ? cls->name->c_str() : "void";
}

}  // namespace GSRuntime
