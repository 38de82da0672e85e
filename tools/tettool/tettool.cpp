// A developer tool for the validation library, for tests and for users who want to see what it
// computes.
//
//   tettool defs TETDATA
//       the definitions soup merged from TETDATA's inheritance.txt, kind.txt and container.txt,
//       then every named list of TETDATA/lists with its values
//   tettool textures [--data DIR] [--build N] [--outside] FOLDER
//       the texture-file findings of the asset folder FOLDER, one line each ("error: ..." or
//       "warning: ..."), then their count. The texts come from DIR/InterfaceText.txt (the
//       installation's bin/data; by default "data" beside this program), else each finding is its
//       message key and arguments. The asset build is N, else FOLDER's configuration's
//       "kestro-build"; --outside checks as for an asset outside the editing and base folders
//       (every description needs its compiled texture).
//   tettool validate [--tetdata DIR] [--data DIR] ASSETFOLDER...
//       the validation of each asset folder as the command host runs it (rules, field checks,
//       texture files), without a daemon and without compiling scripts: one line per finding
//       ("- <KUID> : text" for errors, "! <KUID> : text" for warnings) and the count line, per
//       asset. Assets are validated one after another in one process, each as if it were first.
//   tettool upgrade [--tetdata DIR] CONFIG
//       the configuration file CONFIG as validation reads it after the legacy upgrade, in text
//       form. The known top-level tags come from DIR (by default TETData beside this program);
//       meshes the upgrade looks into are those beside CONFIG.
//
// Exit code 0 when there is nothing to report, 1 for findings or unreadable data, 2 for a usage
// error.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "assetdata/interface_text.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "core/text_convert.h"
#include "frontend/result_summary.h"
#include "mesh/qel_get_plugins.h"
#include "pymclient/install_paths.h"
#include "qel/dynamic_buffer.h"
#include "qel/file.h"
#include "qel/file_volume.h"
#include "qel/options.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource_system.h"
#include "validation/container.h"
#include "validation/legacy_upgrade.h"
#include "validation/tag_vocabulary.h"
#include "validation/tet_entry.h"
#include "validation/texture_check.h"
#include "validation/validation_run.h"

namespace {

constexpr const char* kUsage =
    "usage: tettool defs TETDATA\n"
    "       tettool textures [--data DIR] [--build N] [--outside] FOLDER\n"
    "       tettool tree [--tetdata DIR] [--data DIR] ASSETFOLDER...\n"
    "       tettool validate [--tetdata DIR] [--data DIR] ASSETFOLDER...\n"
    "       tettool upgrade [--tetdata DIR] CONFIG\n";

// The configuration's build as the validation run keeps it.
constexpr f32 kDefaultBuild = 1.3f;
constexpr f32 kBuildBias = 0.001f;

// The engine as the tool's start-up brings it up: the modest null display, the resource system
// with the mesh plug-ins, handed to the data manager so that validation loads meshes.
struct ToolEngine {
  ToolEngine() : kernel(nullptr, 1.0f) {
    kernel.SetDisplay(Qel::Display::CreateModest());
    Qel::ResourceSystem::SetPluginEntry(&QelGetPlugins);
    system.Init(Qel::Options("-NullRender"));
    system.SetMaterialManager(&kernel.GetMaterialManager());
  }
  ~ToolEngine() { system.SetMaterialManager(nullptr); }
  void Attach(TETLib::DataManager& manager) {
    EngineContext context;
    context.resourceSystem = &system;
    context.renderKernel = &kernel;
    manager.SetEngineContext(context);
    manager.RegisterKestroBumpVertexType();
  }
  Qel::RenderKernel kernel;
  Qel::ResourceSystem system;
};

// The soup's text form as a console shows text: no byte-order mark, lines ending in LF.
void PrintSoup(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer stream(&buffer, false);
  WriteSoupText(stream, soup);
  std::string text(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  std::erase(text, '\r');
  while (text.starts_with("\n")) text.erase(0, 1);
  std::fputs(text.c_str(), stdout);
}

int PrintDefinitions(const char* folder) {
  if (!TETLib::DataManager::CreateInstance(folder)) {
    std::fprintf(stderr, "tettool: %s is not a folder\n", folder);
    return 1;
  }
  TETLib::DataManager& manager = TETLib::DataManager::Instance();
  const bool loaded = manager.LoadDefinitions();
  const Soup& definitions = manager.GetDefinitions();
  std::printf("definitions: %u\n", definitions.CountTags());
  PrintSoup(definitions);
  std::printf("lists: %zu\n", manager.GetLists().size());
  for (const auto& [name, values] : manager.GetLists()) {
    std::printf("list %s: %zu\n", name.CStr(), values.size());
    for (const Qel::PString& value : values) std::printf("  %s\n", value.CStr());
  }
  if (!loaded)
    std::fprintf(stderr, "tettool: %s holds no definitions, or a list is unreadable\n", folder);
  TETLib::DataManager::DestroyInstance();
  return loaded ? 0 : 1;
}

f32 ConfigurationBuild(const std::string& folder) {
  for (const char* name : {"config.chump", "config.txt"}) {
    const std::string path = folder + "/" + name;
    Soup config;
    if (Qel::File::Exists(path.c_str()) && config.LoadFile(nullptr, path.c_str(), nullptr)) {
      return config.GetNamedTagAsFloat(TETLib::kTagKestroBuild, kDefaultBuild) + kBuildBias;
    }
  }
  return kDefaultBuild + kBuildBias;
}

// The folder of that name beside this program; empty when there is none.
std::string BesideProgram(const char* name) {
  Qel::File::Path beside;
  if (!GetApplicationPath(beside)) return {};
  beside.Normalize().DelName().AddPath(name);
  return Qel::File::IsFolder(beside.CStr()) ? std::string(beside.CStr()) : std::string();
}

// Findings take their texts from DIR/InterfaceText.txt, by default the "data" beside us.
void UseInterfaceText(const char* dataFolder) {
  const std::string folder = dataFolder != nullptr ? dataFolder : BesideProgram("data");
  if (!folder.empty()) Qel::SetVolume("data", folder.c_str());
  InterfaceTextDB::SetLanguage(nullptr);
}

// Names and values come from the asset as they are: escaped as the result lines are, none of
// them can break its line or send the terminal a control sequence.
std::string Shown(std::string_view text) { return EscapeControlCharacters(text); }

// Prints the handler's errors and warnings and their count; adds them to the totals.
void PrintFindings(u32& errors, u32& warnings) {
  u32 assetErrors = 0;
  u32 assetWarnings = 0;
  for (const auto& record : TETLib::ErrorHandler::Instance()->GetRecords()) {
    if (record->severity == TETLib::ErrorRecord::kMessage) continue;
    const bool error = record->severity == TETLib::ErrorRecord::kError;
    (error ? assetErrors : assetWarnings)++;
    std::printf("%s: %s\n", error ? "error" : "warning", Shown(record->key.View()).c_str());
  }
  std::printf("%u errors, %u warnings\n", assetErrors, assetWarnings);
  errors += assetErrors;
  warnings += assetWarnings;
}

int PrintTextureFindings(const char* dataFolder, const char* build, bool outside,
                         const std::string& folder) {
  UseInterfaceText(dataFolder);
  if (!TETLib::DataManager::CreateInstance(folder.c_str())) {
    std::fprintf(stderr, "tettool: %s is not a folder\n", folder.c_str());
    return 1;
  }
  TETLib::DataManager& manager = TETLib::DataManager::Instance();
  manager.SetBuildNumber(build != nullptr ? std::strtof(build, nullptr) + kBuildBias
                                          : ConfigurationBuild(folder));
  manager.SetOutsideEditingAndBase(outside);
  TETLib::CheckTextureFiles(folder.c_str(), folder.c_str());
  u32 errors = 0;
  u32 warnings = 0;
  PrintFindings(errors, warnings);
  TETLib::DataManager::DestroyInstance();
  return errors + warnings == 0 ? 0 : 1;
}

void PrintContainer(const TETLib::Container& container, size_t depth) {
  const std::string indent(depth * 2, ' ');
  std::printf("%scontainer %s [%s]\n", indent.c_str(), Shown(container.GetName().View()).c_str(),
              Shown(container.GetDefinitionName().View()).c_str());
  const auto print = [&](const char* what, const TETLib::Tag& tag) {
    std::printf("%s  %s %s [%d] \"%s\"\n", indent.c_str(), what, Shown(tag.name.View()).c_str(),
                tag.typeCode, Shown(tag.value.View()).c_str());
  };
  // A nested container keeps its head tags ("kuid", "username") apart; they come first.
  for (const auto* list : {&container.GetHeaderTags(), &container.GetTags()}) {
    for (const TETLib::Tag* tag : *list) print("tag", *tag);
  }
  for (const TETLib::Tag* tag : container.GetExtraTags()) print("extra", *tag);
  for (const TETLib::Container* child : container.GetChildren()) PrintContainer(*child, depth + 1);
}

// Loads one asset's configuration into a container tree and prints it with its findings. False
// when the configuration could not be read or its tree could not be built.
bool PrintTree(const std::string& folder, u32& errors, u32& warnings) {
  TETLib::ErrorHandler::Instance()->ClearRecords();
  Soup config;
  bool read = false;
  for (const char* name : {"config.chump", "config.txt"}) {
    const std::string path = folder + "/" + name;
    if (Qel::File::Exists(path.c_str())) {
      read = config.LoadFile(nullptr, path.c_str(), nullptr);
      break;
    }
  }
  if (!read) {
    std::printf("no readable config.chump or config.txt\n");
    return false;
  }
  bool loaded = false;
  {
    TETLib::Container root;
    loaded = root.Load(config);
    if (root.IsTopLevel()) PrintContainer(root, 0);
    if (!loaded) std::printf("the tree is incomplete\n");
    PrintFindings(errors, warnings);
  }
  return loaded;
}

// Validates one asset folder and prints its results; true when it passed and nothing was found.
bool PrintValidation(const std::string& folder) {
  ResultsLog log;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr), &std::free);
  const bool passed =
      real != nullptr &&
      TETLib::ValidateAssetFolder(&log, Qel::PString(), Qel::File::Path(real.get()), false);
  if (real == nullptr) {
    std::printf("no folder %s\n", Shown(folder).c_str());
    // Printed in the tool's own form, but a failure all the same: the summary must not say 0.
    log.CountPrintedElsewhere(1, 0);
  }
  const bool clean = log.GetErrorCount() + log.GetWarningCount() == 0;
  PrintResultSummary(log);
  return passed && clean;
}

// The definitions of DIR (by default TETData beside us), then each asset through print.
template <class Print>
int ForEachAsset(const char* tetData, const char* dataFolder,
                 const std::vector<std::string>& assets, Print print) {
  UseInterfaceText(dataFolder);
  const std::string definitions = tetData != nullptr ? tetData : BesideProgram("TETData");
  if (definitions.empty() || !TETLib::DataManager::CreateInstance(definitions.c_str())) {
    std::fprintf(stderr, "tettool: %s is not a folder\n",
                 definitions.empty() ? "TETData" : definitions.c_str());
    return 1;
  }
  ToolEngine engine;
  engine.Attach(TETLib::DataManager::Instance());
  bool ok = TETLib::DataManager::Instance().LoadDefinitions();
  if (!ok) std::fprintf(stderr, "tettool: %s holds no definitions\n", definitions.c_str());
  for (const std::string& asset : assets) {
    if (assets.size() > 1) std::printf("== %s\n", Shown(asset).c_str());
    if (!print(asset)) ok = false;
  }
  TETLib::DataManager::DestroyInstance();
  return ok ? 0 : 1;
}

// Prints the configuration at path after the legacy upgrade.
int PrintUpgrade(const char* tetData, const std::string& path) {
  Soup config;
  if (!Qel::File::Exists(path.c_str()) || !config.LoadFile(nullptr, path.c_str(), nullptr)) {
    std::fprintf(stderr, "tettool: cannot read %s\n", path.c_str());
    return 1;
  }
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string definitions = tetData != nullptr ? tetData : BesideProgram("TETData");
  // Without definitions no tag counts as a known top-level tag.
  if (definitions.empty()) definitions = folder;
  if (!TETLib::DataManager::CreateInstance(definitions.c_str())) {
    std::fprintf(stderr, "tettool: %s is not a folder\n", definitions.c_str());
    return 1;
  }
  TETLib::DataManager& manager = TETLib::DataManager::Instance();
  ToolEngine engine;
  engine.Attach(manager);
  manager.LoadDefinitions();
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr), &std::free);
  manager.OpenAssetResourceDatabase(Qel::PString(),
                                    Qel::String(real ? real.get() : folder.c_str()));
  manager.SetBuildNumber(config.GetNamedTagAsFloat(TETLib::kTagKestroBuild, kDefaultBuild) +
                         kBuildBias);
  TETLib::UpgradeConfig(config);
  PrintSoup(config);
  TETLib::DataManager::DestroyInstance();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The whole run is one validation: the data manager is used under the validation lock only.
  const Qel::SingleLock validation(GetValidationMutex());
  if (argc == 3 && std::strcmp(argv[1], "defs") == 0) {
    TETLib::ErrorHandler::CreateInstance();
    const int code = PrintDefinitions(argv[2]);
    TETLib::ErrorHandler::DestroyInstance();
    return code;
  }
  if (argc >= 3 && std::strcmp(argv[1], "textures") == 0) {
    const char* data = nullptr;
    const char* build = nullptr;
    bool outside = false;
    int at = 2;
    for (; at < argc - 1; ++at) {
      if (std::strcmp(argv[at], "--data") == 0 && at + 2 < argc) {
        data = argv[++at];
      } else if (std::strcmp(argv[at], "--build") == 0 && at + 2 < argc) {
        build = argv[++at];
      } else if (std::strcmp(argv[at], "--outside") == 0) {
        outside = true;
      } else {
        break;
      }
    }
    if (at == argc - 1 && std::strncmp(argv[at], "--", 2) != 0) {
      TETLib::ErrorHandler::CreateInstance();
      const int code = PrintTextureFindings(data, build, outside, argv[at]);
      TETLib::ErrorHandler::DestroyInstance();
      return code;
    }
  }
  if (argc >= 3 && std::strcmp(argv[1], "upgrade") == 0) {
    const bool named = argc == 5 && std::strcmp(argv[2], "--tetdata") == 0;
    if (argc == 3 || named) {
      TETLib::ErrorHandler::CreateInstance();
      const int code = PrintUpgrade(named ? argv[3] : nullptr, argv[argc - 1]);
      TETLib::ErrorHandler::DestroyInstance();
      return code;
    }
  }
  const bool tree = argc >= 3 && std::strcmp(argv[1], "tree") == 0;
  if (tree || (argc >= 3 && std::strcmp(argv[1], "validate") == 0)) {
    const char* tetData = nullptr;
    const char* data = nullptr;
    int at = 2;
    for (; at + 1 < argc; at += 2) {
      if (std::strcmp(argv[at], "--tetdata") == 0) {
        tetData = argv[at + 1];
      } else if (std::strcmp(argv[at], "--data") == 0) {
        data = argv[at + 1];
      } else {
        break;
      }
    }
    std::vector<std::string> assets(argv + at, argv + argc);
    const bool usable =
        !assets.empty() && std::none_of(assets.begin(), assets.end(),
                                        [](const std::string& a) { return a.starts_with("--"); });
    if (usable) {
      TETLib::ErrorHandler::CreateInstance();
      u32 errors = 0;
      u32 warnings = 0;
      const int code =
          tree ? ForEachAsset(tetData, data, assets,
                              [&](const std::string& asset) {
                                return PrintTree(asset, errors, warnings) && errors + warnings == 0;
                              })
               : ForEachAsset(tetData, data, assets, &PrintValidation);
      TETLib::ErrorHandler::DestroyInstance();
      return code;
    }
  }
  std::fputs(kUsage, stderr);
  return 2;
}
