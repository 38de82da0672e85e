#include "scripthost/gso_library.h"

#include <string>
#include <vector>

#include "assetdata/soup_binary.h"
#include "core/log_printf.h"
#include "core/stream.h"
#include "gsruntime/gs_array.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/native_params.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/kestro_base_spec.h"
#include "scripthost/gso_asset.h"
#include "scripthost/gso_soup.h"
#include "scripthost/kestro_script_context.h"
#include "scripthost/native_plugin.h"
#include "scripthost/online_script_hooks.h"

using GSRuntime::GSStack;

GSOLibrarySpec::GSOLibrarySpec(const KUID& kuid, const Qel::String* location,
                               const Qel::String* subLocation, const Qel::PString& contentFolder,
                               const Soup& config)
    : KestroScriptSpec(kuid, location, subLocation, contentFolder, config),
      nativeLibrary_(config.GetNamedTag(Qel::PString("nativelibrary"))) {}

GSOLibrary* GSOLibrarySpec::CreateInstance(KestroScriptContext* context) {
  return new GSOLibrary(context, this);
}

bool IsLibrarySpec(const KoolthingzSpec& spec) {
  return dynamic_cast<const GSOLibrarySpec*>(&spec) != nullptr;
}

namespace {

KestroBaseSpec* MakeScriptSpec(const KUID& kuid, const Qel::String* location,
                               const Qel::String* subLocation, const Qel::PString& contentFolder,
                               const Soup& config) {
  if (config.GetNamedTag(Qel::PString("kind")).Lower() == Qel::PString(GSOLibrarySpec::kKind)) {
    return new GSOLibrarySpec(kuid, location, subLocation, contentFolder, config);
  }
  return new KestroScriptSpec(kuid, location, subLocation, contentFolder, config);
}

}  // namespace

void InstallScriptSpecFactory() { SetKestroBaseSpecMaker(&MakeScriptSpec); }

GSOLibrary::GSOLibrary(KestroScriptContext* context, GSOLibrarySpec* spec)
    : ScriptableObject(context, context) {
  AssignSpecPointer(spec_, spec);
  if (!spec->GetNativeLibrary().IsEmpty()) {
    plugin_ = context->LoadNativeLibrary(spec->GetNativeLibrary());
  }
}

GSOLibrary::~GSOLibrary() {
  if (KestroScriptContext* host = HostContext()) host->MenuIconHook(this, KUID(), {}, {}, false);
  ScriptHost::ReleaseNativePlugin(plugin_);
  ReleaseSpecPointer(spec_);
}

KestroScriptContext* GSOLibrary::HostContext() const {
  return dynamic_cast<KestroScriptContext*>(Owner());
}

KestroScriptSpec* GSOLibrary::GetSpec() const { return GetLibrarySpec(); }

GSOLibrarySpec* GSOLibrary::GetLibrarySpec() const {
  return static_cast<GSOLibrarySpec*>(spec_.Get());
}

KUID GSOLibrary::GetItemKUID() const { return spec_ ? spec_->GetKUID() : KUID(); }

void GSOLibrary::CallScriptInit() {
  if (scriptInitialised_) return;
  scriptInitialised_ = true;
  RunPendingStages();
  if (initFailed_) {
    LogPrintf("GSOLibrary::CallScriptInit> script Init failed for %s",
              GetItemKUID().ToString().CStr());
  }
  SetProperties();
}

void GSOLibrary::SetProperties() {
  if (!propertiesPending_ || initFailed_) return;
  CallSetProperties(pendingProperties_);
  pendingProperties_.Clear();
  propertiesPending_ = false;
}

Soup GSOLibrary::GetProperties() {
  if (initFailed_) return Soup();
  u32 result = 0;
  if (GSRuntime::CallScriptMethod(scriptInstance, "$Soup@PropertyObject::GetProperties()", &result,
                                  {}) &&
      result != 0) {
    auto* soup = dynamic_cast<GSOSoup*>(GSRuntime::GSObjectReference::FromReference(result));
    Soup properties = soup != nullptr ? soup->GetSoup() : Soup();
    GSRuntime::ObjectBridge::ReleaseReference(result);
    if (soup != nullptr) return properties;
  }
  LogPrintf("GSOLibrary::GetProperties> could not retrieve properties for %s",
            GetItemKUID().ToString().CStr());
  return Soup();
}

void GSOLibrary::SaveRecordBody(TStream& stream) {
  // A library loaded but not used since keeps the properties it was loaded with.
  const Soup properties =
      !scriptInitialised_ && propertiesPending_ ? pendingProperties_ : GetProperties();
  if (!properties.IsNull() && properties.CountTags() != 0) WriteSoup(stream, properties);
}

void GSOLibrary::LoadRecordBody(TStream& stream) {
  Soup properties;
  if (stream.Tell() >= stream.GetLength() || !ReadSoupTree(stream, properties)) return;
  pendingProperties_ = properties;
  propertiesPending_ = !properties.IsNull() && properties.CountTags() != 0;
  if (scriptInitialised_) SetProperties();
}

// One OnlineAccess object per library and asset, made by the online layer (null without it).
void GSOLibrary::GetOnlineAccess(GSStack* stack) {
  GSRuntime::PushCounted(stack, ScriptHost::MakeOnlineAccess(HostContext(), this, GetItemKUID()));
}

void GSOLibrary::LibraryCallNative(GSStack* stack) {
  Qel::PString function;
  if (!GSRuntime::GetParam(stack, 1, &function, false)) return;
  if (plugin_ == nullptr) {
    const Qel::String name = spec_ ? spec_->GetDisplayName() : Qel::String();
    GSMachine::Log("Library.LibraryCall> unknown function '%s' was called on object '%s'",
                   function.CStr(), name.CStr());
    GSRuntime::PushString(stack, "");
    return;
  }
  // A null element is passed as an empty string in its place, so later arguments keep their
  // index; a null array passes no arguments.
  std::vector<std::string> args;
  const GSRuntime::GSArray* array = GSRuntime::GSArray::FromReference(GSRuntime::ParamWord(stack, 2));
  for (i32 i = 0; array != nullptr && i < array->size; ++i) {
    u32 element = 0;
    const GSRuntime::GSString* text =
        array->GetElement(i, &element, false) ? GSRuntime::GSString::FromReference(element)
                                              : nullptr;
    args.emplace_back(text != nullptr ? std::string(text->View()) : std::string());
  }
  GSRuntime::PushString(stack, ScriptHost::CallNativeFunction(plugin_, function.View(), args));
}

void GSOLibrary::AddIcon(GSStack* stack, bool show) {
  GSOAsset* icon = nullptr;
  Qel::PString tooltip;
  Qel::PString text;
  if (!GSRuntime::GetParam(stack, 1, &icon, false) ||
      !GSRuntime::GetParam(stack, 2, &tooltip, true) ||
      !GSRuntime::GetParam(stack, 3, &text, true)) {
    return;
  }
  KestroScriptContext* host = HostContext();
  if (spec_ && host != nullptr) host->MenuIconHook(this, icon->GetKUID(), tooltip, text, show);
}

void GSOLibrary::AddSystemMenuIcon(GSStack* stack) { AddIcon(stack, true); }

void GSOLibrary::AddSystemMenuIconShown(GSStack* stack) {
  AddIcon(stack, GSRuntime::BoolParam(stack, 4));
}

void GSOLibrary::BlinkSystemMenuIcon(GSStack* stack) {
  if (KestroScriptContext* host = HostContext()) {
    host->BlinkIconHook(this, GSRuntime::IntParam(stack, 1));
  }
}

void GSOLibrary::RemoveSystemMenuIcon(GSStack*) {
  if (KestroScriptContext* host = HostContext()) host->MenuIconHook(this, KUID(), {}, {}, false);
  menuIcon_ = 0;
}

int GSOLibrary::ReceiveMessage(const NuMessageData& message) {
  static const Qel::PString kClick("click");
  if (menuIcon_ == 0 || message.GetData() != menuIcon_ || message.GetName() != kClick) {
    return NuMessageRecipient::ReceiveMessage(message);
  }
  if (router != nullptr) {
    if (GSRuntime::GSMessage* click = CreateMessage("Interface", "ClickSystemButton", id, 0)) {
      router->PostMessage(click);
      click->Release();
    }
  }
  return 0;
}

void GSOLibrary::ShowSystemMenuIconMenu(GSStack* stack) {
  if (KestroScriptContext* host = HostContext()) host->ShowIconMenuHook(this, stack);
}

void GSOLibrary::HideSystemMenuIconMenu(GSStack* stack) {
  if (KestroScriptContext* host = HostContext()) host->HideIconMenuHook(this, stack);
}

WorldFactoryItem* GSOLibraryFactory::CreateItem(u32, TStream& stream) {
  KestroScriptContext* context = KestroScriptContext::Loading();
  if (context == nullptr) return nullptr;
  SpecPointer spec;
  FindAssetSpec(spec, WorldList::CurrentRecord().kuid, IsLibrarySpec);
  if (!spec) return nullptr;
  GSOLibrary* library = static_cast<GSOLibrarySpec*>(spec.Get())->CreateInstance(context);
  library->LoadRecordBody(stream);
  return library;
}
