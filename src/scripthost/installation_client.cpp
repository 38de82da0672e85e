#include "scripthost/installation_client.h"

#include <string>

#include "core/app_globals.h"
#include "core/log_printf.h"
#include "core/networking.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "scripthost/gso_library.h"

namespace ScriptHost {

InstallationClient::InstallationClient(const std::string& root) {
  SetMainThread();
  InitNetworking();
  if (std::string why; !InitInstallPaths(Qel::File::Path(root.c_str()), &why)) {
    FatalError("%s", why.c_str());
  }
  CreateUserDataFolders();
  // Every asset specification the client builds can carry scripts.
  InstallScriptSpecFactory();
  PymClientOptions options;
  options.mayStartDaemon = 0;
  open_ = PymOpenDatabase(options);
}

InstallationClient::~InstallationClient() {
  PymCloseDatabase();
  ReleaseContentDatabases();
  ShutdownNetworking();
}

}  // namespace ScriptHost
