#include "frontend/application.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "assetdata/interface_text.h"
#include "core/app_globals.h"
#include "core/core_statics.h"
#include "core/log_printf.h"
#include "core/main_thread_wait.h"
#include "core/networking.h"
#include "core/tcx_dispatcher.h"
#include "mesh/qel_get_plugins.h"
#include "online/gso_online_access.h"
#include "online/online_access_client_endpoint.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_settings.h"
#include "pymclient/resource_db_cache.h"
#include "pymclient/vny_install.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "qel/log.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource_system.h"
#include "scripthost/gso_library.h"
#include "validation/tet_entry.h"

ScriptLogFunction g_scriptLogHook = nullptr;

namespace {

constexpr size_t kScriptLogBufferSize = 16384;
constexpr f32 kRenderKernelDetail = 8.0f;
constexpr const char* kRetryMessage = "Unable to load render kernel. Retrying with -NullRender.\n";

Qel::String g_startupFolder;
Qel::ResourceSystem* g_resourceSystem = nullptr;
Qel::RenderKernel* g_renderKernel = nullptr;
PluginTypeRef* g_pluginTypeRef = nullptr;
VnyAccess* g_vnyAccess = nullptr;

struct Switches {
  bool noRender = false;
  bool qelLog = false;
  bool noPymClient = false;
};

// Anywhere on the line, also among a command's own arguments.
Switches ScanSwitches(int argc, char** argv) {
  Switches s;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    const Qel::PString word = Qel::PString(argv[i]).Lower();
    s.noRender = s.noRender || word == Qel::PString("norender");
    s.qelLog = s.qelLog || word == Qel::PString("-qellog");
    s.noPymClient = s.noPymClient || word == Qel::PString("-nopymclient");
  }
  return s;
}

// Test hooks: end-to-end tests of an installation whose daemon never comes set
// KESTRO_CONNECT_PAUSE_MS to shorten the pause between connection tries, and those of a command
// host that works longer than the daemon stays silent set KESTRO_SILENCE_LIMIT_MS. Only a plain
// number from 1 to the real value counts (0 to it for the pause), so a hook can never make the
// tool wait longer.
bool ShorterFromEnvironment(const char* variable, u32 longest, u32 shortest, u32& value) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  const unsigned long number = std::strtoul(text, &end, 10);
  if (*end != '\0' || number > longest || number < shortest) return false;
  value = u32(number);
  return true;
}

void ApplyTestOverrides() {
  u32 value = 0;
  if (ShorterFromEnvironment("KESTRO_CONNECT_PAUSE_MS", PymProtocol::kConnectPauseMs, 0, value))
    PymSetConnectPauseMs(value);
  if (ShorterFromEnvironment("KESTRO_SILENCE_LIMIT_MS", PymProtocol::kDefaultSilenceLimitMs, 1,
                             value))
    PymSetSilenceLimit(value);
}

// The user's interface language from the daemon's settings; "US" when it has none to give.
Qel::PString AskInterfaceLanguage() {
  Qel::PString language = PymGetSettingString("internet", "language");
  if (language.IsEmpty()) language = "US";
  return language;
}

}  // namespace

const Qel::String& GetStartupFolder() { return g_startupFolder; }
void SetStartupFolder(const char* folder) { g_startupFolder = folder; }
Qel::RenderKernel* GetRenderKernel() { return g_renderKernel; }

PluginTypeRef::PluginTypeRef(const Qel::UId& typeId, const Qel::PString& name) {
  Qel::PluginType* found = nullptr;
  if (Qel::PluginBase::LookupPluginType(found, typeId, name) != 0) return;
  Release();
  type_ = found;
}

void PluginTypeRef::Release() {
  if (type_ != nullptr) type_->Release();
  type_ = nullptr;
}

void ScriptLog(const char* format, ...) {
  char text[kScriptLogBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  text[sizeof text - 1] = '\0';
  LogPrintf("ScriptLog> %s", text);
}

i8 InitApplication(EngineContext& context, const char* /*programPath*/, int argc, char** argv) {
  TETLib::ErrorHandler::CreateInstance();

  Qel::File::Path programFolder;
  if (!GetApplicationPath(programFolder)) return -1;
  programFolder.Normalize().DelName();

  // From here on, relative paths that nobody joins explicitly resolve against the program's
  // folder; the user's own relative paths are joined to the start-up folder.
  g_startupFolder = Qel::File::GetCwd();
  if (chdir(programFolder.CStr()) != 0) return -1;

  Qel::File::Path dataFolder = programFolder;
  dataFolder.AddPath("TETData/").ReplaceForwardSlashes();
  if (!TETLib::DataManager::CreateInstance(dataFolder.CStr())) {
    std::fputs("- TETLib initialisation failed.\n", stderr);
    return -1;
  }

  const Switches switches = ScanSwitches(argc, argv);
  Qel::String optionText = switches.noRender ? "-NullRender " : "-render=OpenGL -hidewindow ";
  optionText += switches.qelLog ? "-LogStdOut " : "-LogFile=/dev/null ";

  context.os = new Qel::OS(kApplicationName, optionText.CStr(), nullptr, nullptr);
  g_resourceSystem = new Qel::ResourceSystem();
  context.resourceSystem = g_resourceSystem;
  g_renderKernel = new Qel::RenderKernel(nullptr, kRenderKernelDetail);
  context.renderKernel = g_renderKernel;

  Qel::OS& os = *context.os;
  if (!os.Init()) {
    std::fputs(kRetryMessage, stderr);
    os.GetOptions().ProcessRaw("-NullRender");
    if (!os.Init()) {
      std::fputs("- Qel OS initialisation failed.\n", stderr);
      return -1;
    }
  }
  Qel::Log::Init(os.GetOptions().GetRawText().CStr());
  Qel::ResourceSystem::SetPluginEntry(&QelGetPlugins);
  g_resourceSystem->Init(os.GetOptions());
  SetResourcePurgeHook(&Qel::ResourceSystem::PurgeCurrent);

  if (!g_renderKernel->Init(&os, nullptr)) {
    std::fputs(kRetryMessage, stderr);
    os.GetOptions().ProcessRaw("-NullRender");
    if (!g_renderKernel->Init(&os, nullptr)) {
      std::fputs("- Unable to initialize render system\n\n", stderr);
      return -1;
    }
  }
  g_resourceSystem->SetMaterialManager(&g_renderKernel->GetMaterialManager());

  TETLib::DataManager& dataManager = TETLib::DataManager::Instance();
  dataManager.SetEngineContext(context);
  dataManager.RegisterKestroBumpVertexType();
  InitNetworking();

  Qel::File::Path installRoot = programFolder;
  installRoot.PrevDir();
  if (std::string why; !InitInstallPaths(installRoot, &why)) {
    std::fprintf(stderr, "- %s\n", why.c_str());
    return -1;
  }
  CreateUserDataFolders();
  // Before the client opens: every asset specification it builds can compile its scripts.
  InstallScriptSpecFactory();
  GSOOnlineAccess::InstallScriptHooks();

  PymClientOptions options;
  options.messageCallback = nullptr;
  options.storedFlags[0] = 1;
  options.storedFlags[1] = 1;
  options.storedFlags[2] = 0;
  options.mayStartDaemon = 0;
  options.isClient = switches.noPymClient ? 0 : 1;
  ApplyTestOverrides();
  PymOpenDatabase(options);

  SetMainThread();

  // The interface language is asked for, and its text loaded, when a command first needs the
  // text: most print none, and both cost a daemon round trip and a parse at every start.
  InterfaceTextDB::SetLanguageSource(&AskInterfaceLanguage);

  g_pluginTypeRef = new PluginTypeRef(Qel::UId(Qel::kBitmapPluginTypeId),
                                      Qel::PString(Qel::kBitmapPluginTypeName));
  g_vnyAccess = new VnyAccess();

  return PymIsClientOpen() ? 0 : -1;
}

void ShutdownApplication(EngineContext& context) {
  TCXDispatcher& dispatcher = GetDispatcher();
  dispatcher.Shutdown();

  delete g_pluginTypeRef;
  g_pluginTypeRef = nullptr;

  // No language is asked for once the client closes.
  InterfaceTextDB::SetLanguageSource(nullptr);
  // Online access says goodbye to the service and closes its hand-off in the daemon: both need
  // the daemon connection and the network, so it ends here rather than at static destruction.
  OnlineAccessClientEndpoint::Shutdown();
  PymCloseDatabase();
  dispatcher.CancelCalls(0, false);

  delete g_vnyAccess;
  g_vnyAccess = nullptr;

  if (TETLib::DataManager::Exists()) {
    TETLib::DataManager::Instance().UnregisterKestroBumpVertexType();
  }
  TETLib::DataManager::DestroyInstance();
  TETLib::ErrorHandler::DestroyInstance();

  ReleaseContentDatabases();
  ShutdownNetworking();
  EvictUnusedResourceDatabases();

  SetResourcePurgeHook(nullptr);
  if (g_resourceSystem) g_resourceSystem->SetMaterialManager(nullptr);
  delete g_renderKernel;
  g_renderKernel = nullptr;
  context.renderKernel = nullptr;
  delete g_resourceSystem;
  g_resourceSystem = nullptr;
  context.resourceSystem = nullptr;
  delete context.os;
  context.os = nullptr;
}
