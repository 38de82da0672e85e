#include "frontend/command_dispatcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "core/crash_guard.h"
#include "core/path_text.h"
#include "frontend/application.h"
#include "frontend/commands.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "qel/file.h"
#include "qel/pstring.h"

namespace {

using CommandHandler = int (*)(CommandArgs& args);

struct Command {
  const char* word;
  // Null: the command's work is not part of this build.
  CommandHandler handler;
  // The word is recognised only with at least this many arguments, program path included.
  int minimumArgc;
};

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
    {"closepymdaemon", ClosePymDaemon, 0},
    {"installcdp", InstallCdp, 0},
    {"installfrompath", InstallFromPathCommand, 0},
    {"installfromvny", InstallFromVny, 0},
    {"importconsists", ImportConsists, 0},
    {"edit", Edit, 0},
    {"printconfig", PrintConfig, 0},
    {"compile", Compile, 0},
    {"pymcommandhost", PymCommandHost, 0},
    {"encrypt", Encrypt, 0},
    {"listbuilds", ListBuilds, 0},
    {"commit", Commit, 0},
    {"revert", Revert, 0},
    {"delete", Delete, 0},
    {"generatekuid", GenerateKuid, 0},
    {"repairdatabase", RepairDatabase, 0},
    {"compresstexture", CompressTexture, 0},
    {"authors", Authors, 0},
    {"searchbycategory", SearchByCategory, 0},
    {"status", Status, 0},
    {"validate", Validate, 0},
    {"createcdp", CreateCdp, 0},
    {"vnyparse", VnyParse, 0},
    {"vnyparsefolder", VnyParseFolder, 0},
    {"vnydeleteall", DeleteAllLocal, 0},
    {"backupkeywords", BackupKeywordsCommand, 0},
    {"importkeywords", ImportKeywordsCommand, 0},
};

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

const char* const kDaemonWentAway =
    "The daemon went away before it answered; what the request did is unknown";
const char* const kDaemonGone = "The daemon went away; the request was not sent";

void AddError(ResultsLog* log, const Qel::String& text) {
  ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(), text);
}

void AddGeneralError(ResultsLog* log, u32 errors, const DaemonFailures& failures, const KUID& kuid,
                     const char* text) {
  if (log->GetErrorCount() == errors && !failures.Any()) {
    ResultsLog::AddResult(log, ResultsLog::kError,
                          MakeAssetIDProperty(Qel::PString("AssetID"), kuid), text);
  }
}

void AddInvalidPath(ResultsLog* log, const Qel::String& path) {
  struct stat st {};
  if (::stat(path.CStr(), &st) == 0) return AddError(log, "Invalid input path.");
  const int why = errno;
  AddError(log,
           "Invalid input path: " + path +
               (why == ENOENT || why == ENOTDIR ? Qel::String(" does not exist.")
                                                : Qel::String(": ") + std::strerror(why) + "."));
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
    const DaemonFailures failures;
    int result;
    try {
      result = command.handler(args);
    } catch (const StartFolderGone& gone) {
      AddError(log, gone.what());
      return -1;
    }
    // Commands leave these to the dispatcher: only it says what became of their requests.
    if (failures.Lost()) AddError(log, kDaemonWentAway);
    if (failures.Unreached() && !failures.Lost()) {
      const std::string frozen = PymFrozenDaemonReason();
      AddError(log, frozen.empty() ? Qel::String(kDaemonGone) : Qel::String(frozen.c_str()));
    }
    return failures.Any() ? -1 : result;
  }
  if (log != nullptr) {
    log->AppendEntries({{ResultsLog::kError,
                         "Invalid argument, please check the help for the list of valid argument",
                         KestroPropertyRef(), true}});
  }
  return -1;
}

Qel::String JoinToStartupFolder(const char* path) {
  if (path == nullptr || *path == '\0') return GetStartupFolder();
  if (StartFolderIsGone(GetStartupFolder().CStr(), path)) {
    throw StartFolderGone(StartFolderGoneMessage(path).Std());
  }
  return AnchorPath(GetStartupFolder().CStr(), path);
}

StartupFolderScope::StartupFolderScope() : saved_(Qel::File::GetCwd()) {
  entered_ = !GetStartupFolder().IsEmpty() && chdir(GetStartupFolder().CStr()) == 0;
}

StartupFolderScope::~StartupFolderScope() {
  if (entered_ && !saved_.IsEmpty() && chdir(saved_.CStr()) != 0) {
    std::fprintf(stderr, "Unable to return to the folder %s\n", saved_.CStr());
  }
}
