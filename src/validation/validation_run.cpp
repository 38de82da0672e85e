#include "validation/validation_run.h"

#include "assetdata/interface_text.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "core/core_statics.h"
#include "core/file_util.h"
#include "core/kuid.h"
#include "core/main_thread_wait.h"
#include "core/tcx_dispatcher.h"
#include "core/thread_call.h"
#include "pymclient/install_paths.h"
#include "qel/critical_section.h"
#include "qel/file.h"
#include "qel/file_facts.h"
#include "qel/thread.h"
#include "scripthost/pym_compile_asset.h"
#include "validation/asset_file.h"
#include "validation/container.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/tag_vocabulary.h"
#include "validation/texture_check.h"

namespace TETLib {

namespace {

const Qel::PString kKeyUnableReadConfig("$pym_unable_read_config_at");
const Qel::PString kKeyFutureAsset("$tet_future_asset");
const Qel::PString kKeyObsoleteWater("$tet_obsolete_water");
const Qel::PString kKeyObsoleteTintforge("$tet_obsolete_tintforge");
const Qel::PString kKindWater("water");
const Qel::PString kKindTintforge("tintforge-skin");
const Qel::PString kConfigChump("config.chump");
const Qel::PString kConfigTxt("config.txt");

// The newest build whose configurations this validation knows.
constexpr i32 kNewestBuild = 360;
// Everything the caller may not pass at once runs on the main thread.
constexpr u32 kMainThreadFlags =
    TCXDispatcher::kMainThreadOnly | TCXDispatcher::kExclusionB | TCXDispatcher::kExclusionC;

struct ValidateAssetTask {
  const Qel::PString* contentFolder = nullptr;
  const Qel::File::Path* assetFolder = nullptr;
  ResultsLog* log = nullptr;
  bool result = false;
  u32 requestingThread = 0;

  void Run(intptr_t /*argument*/) {
    result = LoadAssetConfigForValidation(log, *contentFolder, *assetFolder);
  }
};

bool DispatchValidateAssetTask(ValidateAssetTask& task) {
  task.requestingThread = Qel::Thread::CurrentId();
  GetDispatcher().Dispatch(0, kMainThreadFlags, TCXCallback(&task, &ValidateAssetTask::Run));
  return task.result;
}

// One asset's findings go to the log with its KUID.
struct AssetRun {
  ResultsLog* log;
  KestroPropertyRef asset;
};

void AddText(const AssetRun& run, u32 type, const Qel::PString& key) {
  ResultsLog::AddResult(run.log, type, run.asset,
                        Qel::String(InterfaceTextDB::Instance().GetString(key, true)));
}

// The handler's errors and warnings, in their order; messages stay behind.
void CopyFindings(const AssetRun& run) {
  for (const auto& record : ErrorHandler::Instance()->GetRecords()) {
    if (record->severity == ErrorRecord::kMessage) continue;
    ResultsLog::AddResult(run.log, record->severity, run.asset, Qel::String(record->key));
  }
}

bool IsPackedContentFolder(const Qel::PString& contentFolder) {
  if (contentFolder.IsEmpty()) return false;
  const Qel::String folder = GetUserDataFolder(contentFolder);
  return !folder.IsEmpty() && Qel::File::Exists((folder + ".qa").CStr());
}

// The first pass: the configuration, its build and kind, and the container tree. The
// configuration as read stays in `read` for the compile; the container works on its own copy.
bool ValidateAssetKind(const Soup& read, AssetRun& run, Container& container) {
  DataManager& manager = DataManager::Instance();
  manager.LoadDefinitions();
  ErrorHandler::Instance()->ClearRecords();
  Soup config = read;
  if (!read.IsNull()) config.Copy(read);
  run.asset = MakeAssetIDProperty(kTagEmpty, config.GetNamedTagAsKUID(kTagKuid, KUID::Null()));
  if (WholeBuild(config.GetNamedTagAsFloat(kTagKestroBuild, 1.3f)) > kNewestBuild) {
    AddText(run, ResultsLog::kError, kKeyFutureAsset);
    return false;
  }
  const Qel::PString kind = config.GetNamedTag(kTagKind);
  if (kind.EqualsIgnoreCase(kKindWater) || kind.EqualsIgnoreCase(kKindTintforge)) {
    AddText(run, ResultsLog::kWarning,
            kind.EqualsIgnoreCase(kKindWater) ? kKeyObsoleteWater : kKeyObsoleteTintforge);
    return true;
  }
  const bool loaded = container.Load(config);
  CopyFindings(run);
  return loaded;
}

// The second pass: textures, the export with its tag checks, then the top-level rules.
bool ReportContainerValidation(Container& container, const AssetRun& run) {
  if (container.GetSoup().CountTags() == 0) return true;
  ErrorHandler::Instance()->ClearRecords();
  const Qel::String folder = AssetRootFolder();
  const bool textures = CheckTextureFiles(folder, folder);
  Soup out;
  bool passed = container.Export(out);
  if (passed) passed = container.RunContainerRules();
  CopyFindings(run);
  return passed && textures;
}

void RunAssetValidation(const Soup& config, AssetRun& run, Container& container) {
  const Qel::SingleLock lock(GetValidationMutex());
  if (ValidateAssetKind(config, run, container)) {
    ReportContainerValidation(container, run);
  }
  DataManager& manager = DataManager::Instance();
  manager.PurgeResources();
  manager.SetMeshProblemReported(false);
}

}  // namespace

bool RunValidateAssetTask(Qel::PString contentFolder, Qel::File::Path assetFolder,
                          ResultsLog* log) {
  ValidateAssetTask task;
  task.contentFolder = &contentFolder;
  task.assetFolder = &assetFolder;
  task.log = log;
  return DispatchValidateAssetTask(task);
}

bool LoadAssetConfigForValidation(ResultsLog* log, Qel::PString contentFolder,
                                  Qel::File::Path assetFolder) {
  // Nothing changes the asset's files while it is checked: each file is asked after once.
  const Qel::FileFactsScope facts;
  if (!GetContentFolderName(assetFolder, contentFolder)) return false;
  if (IsPackedContentFolder(contentFolder)) return true;
  CollectResourceGarbage();
  const ContentDatabaseScope database(contentFolder);
  return ValidateAssetFolder(log, contentFolder, assetFolder, true);
}

bool ValidateAssetFolder(ResultsLog* log, const Qel::PString& contentFolder,
                         const Qel::File::Path& assetFolder, bool compileScripts) {
  const Qel::SingleLock lock(GetValidationMutex());
  const Qel::FileFactsScope facts;
  DataManager& manager = DataManager::Instance();
  // Nothing of the asset before this one counts for this one.
  manager.BeginAsset();
  manager.SetOutsideEditingAndBase(!contentFolder.IsEmpty() &&
                                   contentFolder != GetEditingFolderName() &&
                                   contentFolder != GetBaseFolderName());
  manager.OpenAssetResourceDatabase(contentFolder, assetFolder.GetText());
  const Qel::String root = AssetRootFolder();
  const Qel::PString* configName = &kConfigChump;
  if (!root.IsEmpty() && !Qel::File::Exists((root + kConfigChump.CStr()).CStr())) {
    configName = &kConfigTxt;
  }
  // One that is there but cannot be read (no permission, a folder) must not pass for an empty
  // configuration.
  Soup config;
  if (root.IsEmpty() || !config.LoadFile(nullptr, (root + configName->CStr()).CStr(), nullptr)) {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag(Qel::PString("file_path"), assetFolder.GetText().ToPString());
    ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(),
                          GetInterfaceString(kKeyUnableReadConfig), parameters);
    return false;
  }
  manager.SetConfigFileName(*configName);

  AssetRun run{log, KestroPropertyRef()};
  const u32 errors = log->GetErrorCount();
  {
    Container container;
    RunAssetValidation(config, run, container);
  }
  if (log->GetErrorCount() != errors) return false;
  if (!compileScripts) return true;
  // The compiler's findings name the asset too.
  log->PushContext(run.asset);
  const bool compiled =
      PymCompileAsset(contentFolder, assetFolder, *log, config.IsNull() ? nullptr : &config);
  log->PopContext();
  return compiled;
}

}  // namespace TETLib
