#include "scripthost/gso_kuid_list.h"

#include "scripthost/gso_kuid.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

constexpr const char* kLocked = "KUIDList.Copy> list is locked";

}  // namespace

GSHandle GSOKUIDList::New(GSRuntime::GSContext* owner, const List* source) {
  auto* list = new GSOKUIDList();
  if (source != nullptr) {
    list->list_.AppendAll(*source);
    list->locked_ = 1;
  }
  return ScriptHost::BindNewObject(list, ScriptHost::ScriptClassId::kKUIDList, owner);
}

void GSOKUIDList::CountKUIDs(GSStack* stack) { stack->PushInt(i32(list_.Count())); }

void GSOKUIDList::AddKUID(GSStack* stack) {
  if (locked_ != 0) {
    GSRuntime::RaiseScriptError("%s", kLocked);
    return;
  }
  GSOKUID* kuid = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &kuid, false)) return;
  // Not List::AddUnique, which keeps the null KUID out: a script's null KUID object is a value
  // like any other here.
  if (list_.Find(*kuid).IsEnd()) list_.PushBack(*kuid);
}

void GSOKUIDList::RemoveKUID(GSStack* stack) {
  if (locked_ != 0) {
    GSRuntime::RaiseScriptError("%s", kLocked);
    return;
  }
  GSOKUID* kuid = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &kuid, false)) return;
  list_.Erase(list_.Find(*kuid));
}

void GSOKUIDList::HasKUID(GSStack* stack) {
  GSOKUID* kuid = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &kuid, false)) return;
  stack->PushInt(!list_.Find(*kuid).IsEnd() ? 1 : 0);
}

void GSOKUIDList::GetIndexedKUID(GSStack* stack) {
  const u32 index = GSRuntime::ParamWord(stack, 1);
  if (index >= list_.Count()) {
    GSRuntime::RaiseScriptError("KUIDList.GetIndexedKUID> index out of range");
    return;
  }
  const KUID kuid = *list_.IteratorAt(i32(index));
  GSRuntime::PushCounted(stack, GSOKUID::Wrap(GSRuntime::CallingContext(this), kuid));
}

void GSOKUIDList::Copy(GSStack* stack) {
  if (locked_ != 0) {
    GSRuntime::RaiseScriptError("%s", kLocked);
    return;
  }
  GSOKUIDList* source = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &source, false)) return;
  // A list copied onto itself stays as it is, rather than being emptied before it is read.
  if (source == this) return;
  list_.Clear();
  list_.AppendAll(source->list_);
}

void GSOKUIDList::Clear(GSStack*) {
  if (locked_ != 0) {
    GSRuntime::RaiseScriptError("KUIDList.Clear> list is locked");
    return;
  }
  list_.Clear();
}

void GSOKUIDList::IsLocked(GSStack* stack) { stack->PushInt(locked_ != 0 ? 1 : 0); }
