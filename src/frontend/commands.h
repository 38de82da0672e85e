// What every command body receives, and the bodies by theme. The command table in
// command_dispatcher.cpp is the one place that names them.
#pragma once

#include "core/kuid.h"
#include "pymclient/pym_connection.h"
#include "qel/os.h"
#include "qel/pstring.h"
#include "qel/string.h"

class ResultsLog;

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

void AddError(ResultsLog* log, const Qel::String& text);
// A failure's general reason, only when nothing better is known: the daemon said why (an error
// since `errors`), or it failed the request and the dispatcher says so.
void AddGeneralError(ResultsLog* log, u32 errors, const DaemonFailures& failures, const KUID& kuid,
                     const char* text);
// "Invalid input path.", for a path the user typed that could not be used; one that is plainly
// not there says so: "Invalid input path: PATH does not exist.", and one that cannot be looked
// at says why: "Invalid input path: PATH: Permission denied."
void AddInvalidPath(ResultsLog* log, const Qel::String& path);
// The folder a walking command (installfrompath, vnyparsefolder) is given as typed: true, with
// the error logged, when it is missing, cannot be looked at or is anything but a folder.
bool RefuseTypedFolder(const char* path, ResultsLog* log);

// commands_general.cpp
int Version(CommandArgs& args);
int InstalledVersionLo(CommandArgs& args);
int InstalledVersionHi(CommandArgs& args);
int InstalledBuildNumberLo(CommandArgs& args);
int InstalledBuildNumberHi(CommandArgs& args);
int InstalledVersion(CommandArgs& args);
int InstalledBuildNumber(CommandArgs& args);
int Echo(CommandArgs& args);
int RegisterAccount(CommandArgs& args);

// commands_script.cpp
int Compile(CommandArgs& args);
int Encrypt(CommandArgs& args);

// commands_asset.cpp
int SearchByCategory(CommandArgs& args);
int Edit(CommandArgs& args);
int PrintConfig(CommandArgs& args);
int Commit(CommandArgs& args);
int Revert(CommandArgs& args);
int Delete(CommandArgs& args);
int Status(CommandArgs& args);
int Validate(CommandArgs& args);

// commands_database.cpp
int ClosePymDaemon(CommandArgs& args);
int ImportConsists(CommandArgs& args);
int ListBuilds(CommandArgs& args);
int GenerateKuid(CommandArgs& args);
int RepairDatabase(CommandArgs& args);
int Authors(CommandArgs& args);
int DeleteAllLocal(CommandArgs& args);
int BackupKeywordsCommand(CommandArgs& args);
int ImportKeywordsCommand(CommandArgs& args);

// commands_package.cpp
int CreateCdp(CommandArgs& args);
int InstallCdp(CommandArgs& args);
int VnyParse(CommandArgs& args);
int InstallFromPathCommand(CommandArgs& args);

// commands_host.cpp
int PymCommandHost(CommandArgs& args);

// commands_repository.cpp
int InstallFromVny(CommandArgs& args);

// commands_texture.cpp
int CompressTexture(CommandArgs& args);

// commands_export.cpp
int VnyParseFolder(CommandArgs& args);
