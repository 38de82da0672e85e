// Commands about the program itself and the user's settings.
#include <cstdio>

#include "assetdata/soup.h"
#include "frontend/application.h"
#include "frontend/commands.h"
#include "pymclient/pym_settings.h"

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
  return PymSetSettingsSoup(group, settings, a.log) ? 0 : -1;
}
