// The host's script context: a GSContext whose scripts reach the host services of the static
// class "KestroScriptBase" (clock and calendar, logging, asset searches, the repository access
// level, a host system call). Its natives run as members of the context that owns the calling
// object, so a script under any other context fails the call. Hosts make one through
// GSRuntime::ScriptObjectHolder with Create as the holder's context factory.
#pragma once

#include <memory>
#include <vector>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/script_arena.h"
#include "nativeinterface/kestro_native_interface.h"
#include "pymclient/pym_filter.h"
#include "qel/pstring.h"
#include "scripthost/delayed_init.h"
#include "scripthost/gso_asset.h"
#include "scripthost/script_class_registry.h"
#include "scripthost/world_list.h"

namespace GSRuntime {
class GSStack;
}  // namespace GSRuntime
class GSOLibrary;
class TStream;

class KestroScriptContext : public GSRuntime::GSContext,
                            public DelayedInitManager,
                            public AssetVisibility {
 public:
  KestroScriptContext() = default;
  // Ends the libraries of the world list, then the context's native objects (its Asset and KUID
  // objects, its KUID resolutions) while the whole context is still there, then the GSContext.
  ~KestroScriptContext() override;

  // The holders' context factory.
  static std::unique_ptr<GSRuntime::GSContext> Create();

  // The plug-in `name` (ROOT/bin/plugins/<name>.so) loaded with this context's interface block;
  // its handle for the caller to release with QMIRelease, or null.
  QMIObject* LoadNativeLibrary(const Qel::PString& name);

  // Whether scripts may see an asset: always, in this tool.
  bool MayScriptsSee(const KUID& kuid) const override;
  // The host's system call: the parameters go to the log; the answer is an empty soup.
  virtual Soup SystemCall(const Qel::PString& name, const Soup& parameters);
  // Opens a URL for the user: nothing to open it with here.
  virtual bool OpenURL(const Qel::PString& url);
  // A library's system-menu icon and its menu: there is no system menu in this tool.
  virtual void MenuIconHook(GSOLibrary* library, const KUID& icon, const Qel::PString& tooltip,
                            const Qel::PString& text, bool show);
  virtual void BlinkIconHook(GSOLibrary* library, i32 count);
  virtual void ShowIconMenuHook(GSOLibrary* library, GSRuntime::GSStack* stack);
  virtual void HideIconMenuHook(GSOLibrary* library, GSRuntime::GSStack* stack);
  virtual void LibraryAdded(GSOLibrary* library);

  // The library instance of the KUID in this context, made and initialised on first use; null
  // with a log line when the KUID names no library asset or its script fails.
  GSOLibrary* GetScriptLibrary(const KUID& kuid);
  WorldList& GetWorldList() { return worldList_; }
  // The world list's versioned form. A load re-creates the saved libraries, whose properties
  // wait for their Init; false when the list was refused or ended at a fault.
  void SaveWorldList(TStream& stream);
  bool LoadWorldList(TStream& stream);
  // The context whose world list is being loaded; null outside a load.
  static KestroScriptContext* Loading();

  // The local time of day as a fraction, with noon at 1.0 and midnight at 0.5, in 32-bit floats.
  static f32 NormalizedTime(u32 hour, u32 minute, u32 second);
  // The filters the asset searches send.
  static std::unique_ptr<PymFilterElementGroup> SearchFilter(const Qel::PString& categories,
                                                             bool localOnly);
  static std::unique_ptr<PymFilterElementGroup> OutOfDateFilter();
  static std::unique_ptr<PymFilterElementGroup> CompatibleFilter(
      const ChunkedList<KUID, 128>& assets);

  void GetSeconds(GSRuntime::GSStack* stack);
  void GetNormalizedSystemTime(GSRuntime::GSStack* stack);
  void GetSystemYear(GSRuntime::GSStack* stack);
  void GetSystemMonth(GSRuntime::GSStack* stack);
  void GetSystemDate(GSRuntime::GSStack* stack);
  void GetSystemHour(GSRuntime::GSStack* stack);
  void GetSystemMinute(GSRuntime::GSStack* stack);
  void GetSystemSecond(GSRuntime::GSStack* stack);
  void FindAsset(GSRuntime::GSStack* stack);
  void GetAssetListOfKind(GSRuntime::GSStack* stack);
  void GetAssetListOfKindAndType(GSRuntime::GSStack* stack);
  void SearchAssets(GSRuntime::GSStack* stack);
  void FindUpdatedAssets(GSRuntime::GSStack* stack);
  void KestroSystemCall(GSRuntime::GSStack* stack);
  void OpenURL(GSRuntime::GSStack* stack);
  void QueryVantryAccess(GSRuntime::GSStack* stack);
  void Log(GSRuntime::GSStack* stack);
  void GetKestroVersion(GSRuntime::GSStack* stack);
  void GetKestroBuild(GSRuntime::GSStack* stack);
  void CloneKUID(GSRuntime::GSStack* stack);
  void GetLibrary(GSRuntime::GSStack* stack);

 private:
  // The asset list of a kind and type text, as both GetAssetList natives push it.
  void PushAssetList(GSRuntime::GSStack* stack, const Qel::PString& kind, const Qel::PString& type);
  // A new array of this context holding the objects `wrap` gives for the KUIDs, in order, as
  // references of the element class.
  using Wrapper = GSRuntime::GSHandle (*)(GSRuntime::GSContext* owner, const KUID& kuid);
  // The native-interface block handed to the context's plug-ins; ends with the context.
  QMIObject* nativeBlock_ = QMIAllocBlock();

  GSRuntime::GSHandle ObjectArray(const std::vector<KUID>& kuids, Wrapper wrap,
                                  ScriptHost::ScriptClassId elementClass);

  WorldList worldList_;
};
