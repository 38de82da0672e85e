#include "scripthost/gso_kuid.h"

#include "gsruntime/gs_script_instance.h"
#include "pymclient/pym_asset_info.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSContext;
using GSRuntime::GSHandle;
using GSRuntime::GSStack;

GSHandle GSOKUID::Wrap(GSContext* owner, const KUID& kuid) {
  GSOKUIDTable* table = owner != nullptr ? owner->Table<GSOKUIDTable>() : nullptr;
  if (table == nullptr) return 0;
  const auto found = table->objects.find(kuid);
  if (found != table->objects.end()) {
    const GSHandle reference = found->second->GetScriptInstance();
    GSRuntime::ObjectBridge::AddIfSet(reference);
    return reference;
  }
  auto* object = new GSOKUID(owner, kuid);
  const GSHandle reference =
      ScriptHost::BindNewObject(object, ScriptHost::ScriptClassId::kKUID, owner);
  if (reference != 0) table->objects.emplace(kuid, object);
  return reference;
}

GSOKUID::~GSOKUID() {
  if (GSOKUIDTable* table = owner_->FindTable<GSOKUIDTable>()) {
    const auto found = table->objects.find(*this);
    if (found != table->objects.end() && found->second == this) table->objects.erase(found);
  }
}

void GSOKUIDTable::Purge() {
  while (!objects.empty()) {
    GSOKUID* object = objects.begin()->second;
    objects.erase(objects.begin());
    // One count more, so that the instance outlives its native object; the registry's clear
    // ends it with the rest of the context.
    GSRuntime::GSScriptInstance::AddRef(object->GetScriptInstance());
    delete object;
  }
}

KUID GSOKUID::BaseOf(const KUID& kuid) {
  const u32 top = u32(kuid.userId) >> KUID::kUserIdBits;
  if (top != 0 && top != 0x7F) return KUID::Null();
  return KUID(kuid.userId, kuid.contentId, kuid.userId < 0 ? KUID::kMaxVersion : 0);
}

void GSOKUID::GetName(GSStack* stack) { GSRuntime::PushString(stack, GetAssetName(*this).View()); }

void GSOKUID::GetHTMLString(GSStack* stack) { GSRuntime::PushString(stack, ToString().View()); }

void GSOKUID::GetLogString(GSStack* stack) { GSRuntime::PushString(stack, ToString().View()); }

void GSOKUID::GetBaseString(GSStack* stack) { GSRuntime::PushString(stack, ToBaseString().View()); }

void GSOKUID::GetBaseKUID(GSStack* stack) {
  GSRuntime::PushCounted(stack, Wrap(GSRuntime::CallingContext(this), BaseOf(*this)));
}
