#include "frontend/command_dispatcher.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/app_globals.h"
#include "core/crash_guard.h"
#include "core/kuid.h"
#include "core/path_text.h"
#include "frontend/application.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/gs_source_file.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_search.h"
#include "pymclient/pym_settings.h"
#include "qel/file.h"
#include "qel/pstring.h"

namespace {

struct CommandArgs {
  ResultsLog* log;
  EngineContext* context;
  int argc;
  char** argv;
  // argv[1] and argv[2], interned and lower-cased; empty when absent.
  Qel::PString word;
  Qel::PString second;

  // argv[i] as typed; null when absent.
  const char* Arg(int i) const { return i < argc ? argv[i] : nullptr; }
};

using CommandHandler = int (*)(CommandArgs& args);

struct Command {
  const char* word;
  // Null: the command's work is not part of this build.
  CommandHandler handler;
  // The word is recognised only with at least this many arguments, program path included.
  int minimumArgc;
};

void AddError(ResultsLog* log, const Qel::String& text) {
  ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(), text);
}

int Version(CommandArgs&) {
  std::printf("Build %d\n", kBuildNumber);
  return 0;
}
int InstalledVersionLo(CommandArgs&) { return kProgramVersion & 0xFF; }
int InstalledVersionHi(CommandArgs&) { return (kProgramVersion >> 8) & 0xFF; }
int InstalledBuildNumberLo(CommandArgs&) { return kBuildNumber & 0xFF; }
int InstalledBuildNumberHi(CommandArgs&) { return (kBuildNumber >> 8) & 0xFF; }
int InstalledVersion(CommandArgs&) { return kProgramVersion; }
int InstalledBuildNumber(CommandArgs&) { return kBuildNumber; }

int Echo(CommandArgs& a) {
  for (int i = 2; i < a.argc; ++i) std::printf("%s ", a.argv[i] != nullptr ? a.argv[i] : "");
  std::printf("\n");
  return 0;
}

int RegisterAccount(CommandArgs& a) {
  const Qel::PString group("internet");
  Soup settings = PymGetSettingsSoup(group);
  settings.SetNamedTag("username", Qel::PString(a.Arg(2)));
  settings.SetNamedTag("password", Qel::PString(a.Arg(3)));
  PymSetSettingsSoup(group, settings);
  return 0;
}

int Compile(CommandArgs& a) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Invalid file path.");
    return -1;
  }
  StartupFolderScope inStartupFolder;
  a.argv[1] = const_cast<char*>("");
  return CompileCommand(a.argc, a.argv) == 0 ? 0 : -1;
}

int Encrypt(CommandArgs& a) {
  StartupFolderScope inStartupFolder;
  // The output takes the case the user typed; the file layer finds the input in any case.
  const char* input = a.Arg(2);
  Qel::File::Path output;
  if (input != nullptr && *input != '\0' && Qel::File::Path(input).IsExt("gs")) {
    output = Qel::File::Path(input);
    output.ChangeExtension("gse");
  }
  GSSourceFile source;
  if (output.IsEmpty() || !source.Load("", input)) {
    AddError(a.log, "Invalid file path.");
    return -1;
  }
  // An empty text has no packed form that reads back; the target is left alone.
  if (source.GetTextLength() == 0) {
    AddError(a.log, Qel::String::Format("Could not encrypt file %s: the file is empty.", input));
    return -1;
  }
  if (!source.Pack()) {
    AddError(a.log,
             Qel::String::Format("Could not encrypt file %s: it is too large to pack.", input));
    return -1;
  }
  // A failed save must not pass for an encrypted file.
  if (!source.Save("", output.CStr())) {
    AddError(a.log, Qel::String::Format("Could not write file %s.", output.CStr()));
    return -1;
  }
  return 0;
}

int SearchByCategory(CommandArgs& a) {
  auto filter = std::make_unique<PymFilterElementGroup>();
  if (a.second == Qel::PString("-a")) {
    const char* expression = a.Arg(3);
    if (expression == nullptr || *expression == '\0') {
      AddError(a.log, "Missing category parameter.");
      return -1;
    }
    filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                                Qel::PString(expression).Upper()));
  } else {
    filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                                a.second.Upper()));
    filter->AddElement(std::make_unique<PymFilterElementBool>(PymFilterCodes::kFlagLocal));
  }
  std::vector<KUID> found;
  PymSearchAssets(filter.get(), found);
  if (found.empty()) return -1;
  std::printf("+ %zu : assets matching the specified criteria\n", found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    std::printf("+ #%zu : %s\n", i, found[i].ToString().CStr());
  }
  return 0;
}

// In dispatch order; a word that appears in the help text is matched after lower-casing.
constexpr Command kCommands[] = {
    {"version", Version, 0},
    {"installedversionlo", InstalledVersionLo, 0},
    {"installedversionhi", InstalledVersionHi, 0},
    {"installedbuildnumberlo", InstalledBuildNumberLo, 0},
    {"installedbuildnumberhi", InstalledBuildNumberHi, 0},
    {"echo", Echo, 0},
    {"installedversion", InstalledVersion, 0},
    {"installedbuildnumber", InstalledBuildNumber, 0},
    {"registeraccount", RegisterAccount, 4},
    {"closepymdaemon", nullptr, 0},
    {"installcdp", nullptr, 0},
    {"installfrompath", nullptr, 0},
    {"installfromvny", nullptr, 0},
    {"importconsists", nullptr, 0},
    {"edit", nullptr, 0},
    {"printconfig", nullptr, 0},
    {"compile", Compile, 0},
    {"pymcommandhost", nullptr, 0},
    {"encrypt", Encrypt, 0},
    {"listbuilds", nullptr, 0},
    {"commit", nullptr, 0},
    {"revert", nullptr, 0},
    {"delete", nullptr, 0},
    {"generatekuid", nullptr, 0},
    {"repairdatabase", nullptr, 0},
    {"compresstexture", nullptr, 0},
    {"authors", nullptr, 0},
    {"searchbycategory", SearchByCategory, 0},
    {"status", nullptr, 0},
    {"validate", nullptr, 0},
    {"createcdp", nullptr, 0},
    {"vnyparse", nullptr, 0},
    {"vnyparsefolder", nullptr, 0},
    {"vnydeleteall", nullptr, 0},
    {"backupkeywords", nullptr, 0},
    {"importkeywords", nullptr, 0},
};
constexpr int kCommandCount = int(sizeof kCommands / sizeof kCommands[0]);

const char* const* CommandWordTable() {
  static const char* words[kCommandCount];
  for (int i = 0; i < kCommandCount; ++i) words[i] = kCommands[i].word;
  return words;
}

Qel::PString LowerArgument(int argc, char** argv, int index) {
  if (index >= argc || argv[index] == nullptr) return Qel::PString();
  return Qel::PString(argv[index]).Lower();
}

int InvokeFunction(intptr_t argument) {
  const auto& call = *reinterpret_cast<const std::function<int()>*>(argument);
  try {
    return call();
  } catch (...) {
    // The guard ends the process without unwinding: what the command printed must not be lost.
    std::fflush(stdout);
    std::fflush(stderr);
    throw;
  }
}

}  // namespace

const char* const* GetCommandWords(int* count) {
  if (count != nullptr) *count = kCommandCount;
  static const char* const* words = CommandWordTable();
  return words;
}

int RunGuarded(const std::function<int()>& call) {
  const bool wasArmed = IsCrashGuardArmed();
  SetCrashGuardArmed(true);
  const int result =
      CrashGuardedInvoke(TCXCallback(&InvokeFunction), reinterpret_cast<intptr_t>(&call));
  SetCrashGuardArmed(wasArmed);
  return result;
}

int RunCommandGuarded(ResultsLog* log, EngineContext* context, int argc, char** argv) {
  return RunGuarded([&] { return RunCommand(log, context, argc, argv); });
}

int RunCommand(ResultsLog* log, EngineContext* context, int argc, char** argv) {
  CommandArgs args{
      log, context, argc, argv, LowerArgument(argc, argv, 1), LowerArgument(argc, argv, 2)};
  for (const Command& command : kCommands) {
    if (args.word != Qel::PString(command.word) || argc < command.minimumArgc) continue;
    if (command.handler == nullptr) {
      AddError(log, Qel::String(command.word) + ": not available in this build");
      return -1;
    }
    return command.handler(args);
  }
  AddError(log, "Invalid argument, please check the help for the list of valid argument\n");
  return -1;
}

Qel::String JoinToStartupFolder(const char* path) {
  if (path == nullptr) return GetStartupFolder();
  if (IsAbsolutePath(path)) return Qel::String(path);
  Qel::File::Path joined(GetStartupFolder());
  joined.AddPath(path);
  return joined.GetText();
}

StartupFolderScope::StartupFolderScope() : saved_(Qel::File::GetCwd()) {
  entered_ = !GetStartupFolder().IsEmpty() && chdir(GetStartupFolder().CStr()) == 0;
}

StartupFolderScope::~StartupFolderScope() {
  if (entered_ && !saved_.IsEmpty() && chdir(saved_.CStr()) != 0) {
    std::fprintf(stderr, "Unable to return to the folder %s\n", saved_.CStr());
  }
}
