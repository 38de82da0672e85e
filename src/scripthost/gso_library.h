// A library asset's script class runs once per script context as a shared service object. Its
// native side is GSOLibrary: a scriptable object that is also an item of the context's world list
// (whose saves carry the library's properties), with natives for named calls into a native
// plug-in and for a system-menu icon; a click on that icon reaches its script as the message
// "Interface", "ClickSystemButton". GSOLibrarySpec is the `KestroBaseSpec` of library assets
// (configuration kind "library") and makes the instances.
#pragma once

#include "assetdata/nu_message.h"
#include "gsruntime/gs_native_function.h"
#include "nativeinterface/kestro_native_interface.h"
#include "pymclient/spec_registry.h"
#include "qel/pstring.h"
#include "scripthost/kestro_script_spec.h"
#include "scripthost/scriptable_object.h"
#include "scripthost/world_list.h"

class GSOLibrary;
class KestroScriptContext;

class GSOLibrarySpec : public KestroScriptSpec {
 public:
  static constexpr const char* kKind = "library";

  GSOLibrarySpec(const KUID& kuid, const Qel::String* location, const Qel::String* subLocation,
                 const Qel::PString& contentFolder, const Soup& config);

  // The plug-in the configuration names ("nativelibrary"); empty when none.
  const Qel::PString& GetNativeLibrary() const { return nativeLibrary_; }
  // A new library object of this specification for the context.
  GSOLibrary* CreateInstance(KestroScriptContext* context);

 private:
  Qel::PString nativeLibrary_;
};

bool IsLibrarySpec(const KoolthingzSpec& spec);

// Makes every KestroBaseSpec the registry builds a script one: a GSOLibrarySpec for a library
// asset, else a KestroScriptSpec. Start-up calls it once.
void InstallScriptSpecFactory();

class GSOLibrary : public ScriptableObject, public WorldListItem, public NuMessageRecipient {
 public:
  static constexpr u32 kTypeId = 0x67736C62;  // 'gslb'

  GSOLibrary(KestroScriptContext* context, GSOLibrarySpec* spec);
  ~GSOLibrary() override;

  KestroScriptSpec* GetSpec() const override;
  GSOLibrarySpec* GetLibrarySpec() const;
  u32 GetTypeId() const override { return kTypeId; }
  KUID GetItemKUID() const override;

  // Runs the pending init stages once, reports a failed Init and applies pending properties.
  void CallScriptInit();
  bool ScriptInitialised() const { return scriptInitialised_; }
  // The script's properties; the empty soup when Init failed or the script gives none.
  Soup GetProperties();
  // Applies the pending properties when Init did not fail.
  void SetProperties();

  void SaveRecordBody(TStream& stream) override;
  void LoadRecordBody(TStream& stream) override;

  // The handle of the icon the host made for this library (0: none); the host sets it, and a
  // message named "click" whose data is that handle is the user's click on it.
  void SetSystemMenuIcon(u32 handle) { menuIcon_ = handle; }
  u32 GetSystemMenuIcon() const { return menuIcon_; }
  // A click on the icon is posted to the library's script; other messages are forwarded.
  int ReceiveMessage(const NuMessageData& message) override;

  void GetOnlineAccess(GSRuntime::GSStack* stack);
  void LibraryCallNative(GSRuntime::GSStack* stack);
  void AddSystemMenuIcon(GSRuntime::GSStack* stack);
  void AddSystemMenuIconShown(GSRuntime::GSStack* stack);
  void BlinkSystemMenuIcon(GSRuntime::GSStack* stack);
  void RemoveSystemMenuIcon(GSRuntime::GSStack* stack);
  void ShowSystemMenuIconMenu(GSRuntime::GSStack* stack);
  void HideSystemMenuIconMenu(GSRuntime::GSStack* stack);

 private:
  KestroScriptContext* HostContext() const;
  void AddIcon(GSRuntime::GSStack* stack, bool show);

  SpecPointer spec_;
  // The plug-in the configuration names, loaded with the context's interface block; null when
  // none is named or it did not load.
  QMIObject* plugin_ = nullptr;
  bool scriptInitialised_ = false;
  u32 menuIcon_ = 0;
};

// Re-creates saved libraries in the world list of the context that loads it.
class GSOLibraryFactory : public WorldItemFactory {
 public:
  GSOLibraryFactory() : WorldItemFactory(GSOLibrary::kTypeId, Qel::PString("Library")) {}
  WorldFactoryItem* CreateItem(u32 listValue, TStream& stream) override;
};
