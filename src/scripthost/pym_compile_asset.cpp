#include "scripthost/pym_compile_asset.h"

#include <atomic>
#include <mutex>

#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "gsruntime/gs_machine.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/install_paths.h"
#include "pymclient/kestro_base_spec.h"
#include "pymclient/resource_db_cache.h"
#include "pymclient/spec_registry.h"
#include "qel/file.h"
#include "scripthost/gso_library.h"
#include "scripthost/kestro_script_spec.h"
#include "scripthost/script_system.h"

namespace {

// The script system over the installation's shipped libraries, then the user's.
bool SetUpScriptLibraries() {
  Qel::File::Path bin = GetInstallPath();
  if (!bin.IsEmpty()) bin.AddPath("bin");
  return ScriptHost::InitScriptSystem(bin.CStr());
}

std::atomic<ScriptSystemSetUp> g_setUp{&SetUpScriptLibraries};
// The compiler's settings belong to the calling thread, but a call still reaches what the process
// has once: the script system's one-time set-up, the registry's default factory that a load swaps
// in and out, and the script machine that the compiled libraries are registered and linked in.
std::mutex g_compileMutex;

void AddError(ResultsLog& log, const char* text) {
  ResultsLog::AddResult(&log, ResultsLog::kError, KestroPropertyRef(), text);
}

bool IsScriptSpec(const KoolthingzSpec& spec) {
  return dynamic_cast<const KestroScriptSpec*>(&spec) != nullptr;
}

}  // namespace

void SetScriptSystemSetUp(ScriptSystemSetUp setUp) {
  g_setUp.store(setUp != nullptr ? setUp : &SetUpScriptLibraries);
}

bool LoadAssetFolderConfig(const Qel::PString& contentRoot, Soup& config,
                           const Qel::File::Path& folder) {
  const ContentDatabaseScope database(contentRoot);
  if (!database.IsOpen()) return false;
  for (const char* name : {"config.chump", "config.txt"}) {
    Qel::File::Path file = folder;
    file.AddPath(name);
    Soup loaded;
    if (loaded.LoadFile(nullptr, file.CStr(), nullptr) && !loaded.IsNull()) {
      config = loaded;
      return true;
    }
  }
  return false;
}

bool PymCompileAsset(const Qel::PString& contentRoot, const Qel::File::Path& folder,
                     ResultsLog& log, const Soup* loaded) {
  const std::lock_guard<std::mutex> lock(g_compileMutex);
  if (!g_setUp.load()()) {
    AddError(log, "PymCompileAsset unable to initialise script system");
    return false;
  }
  Soup config;
  const bool configRead = loaded != nullptr
                              ? ContentDatabaseScope(contentRoot).IsOpen() && !loaded->IsNull()
                              : LoadAssetFolderConfig(contentRoot, config, folder);
  if (loaded != nullptr) config = *loaded;
  if (!configRead) {
    AddError(log, "PymCompileAsset unable to load asset config");
    return false;
  }
  const KUID kuid = config.GetNamedTagAsKUID("kuid", KUID::Null());
  if (kuid.IsNull()) {
    AddError(log, "PymCompileAsset unable to determine asset KUID");
    return false;
  }
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  if (registry == nullptr) {
    AddError(log, "Failed to load asset for compilation");
    return false;
  }

  // A host validates for days: what this compile registers and loads goes when it ends, but for
  // the standard libraries loaded first.
  const GSTransientLibraries transient;
  SpecPointer held;
  held.Adopt(registry->FindByKUID(kuid));
  if (held && !IsScriptSpec(*held.Get())) {
    AddError(log, "Asset of wrong spec type for compilation");
    DetachAndReleaseSpec(held);
    return false;
  }
  if (!held) {
    // For this load only; the factory leaves the registry when it goes.
    InstallScriptSpecFactory();
    PymScript_KestroBaseSpecFactory factory;
    registry->SetDefaultFactory(&factory);
    LoadAssetSpec(held, folder, contentRoot, &IsScriptSpec, false, loaded);
    registry->RemoveFactory(&factory);
  }
  auto* spec = dynamic_cast<KestroScriptSpec*>(held.Get());
  if (spec == nullptr) {
    AddError(log, "Failed to load asset for compilation");
    DetachAndReleaseSpec(held);
    return false;
  }

  const u32 errorsBefore = log.GetErrorCount();
  const bool compiled = spec->CompileScripts(&log);
  if (!compiled && log.GetErrorCount() == errorsBefore) AddError(log, "Failed to compile asset");
  // The next load of the KUID reads the asset afresh; its cached libraries stay on disk. Another
  // holder of this asset specification must not keep a class of a library that goes with the
  // scope.
  spec->ForgetCompiledScripts();
  DetachAndReleaseSpec(held);
  return compiled;
}
