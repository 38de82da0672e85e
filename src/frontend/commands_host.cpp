// The command that makes the tool a worker of the daemon.
#include "frontend/command_host.h"
#include "frontend/commands.h"

int PymCommandHost(CommandArgs& /*args*/) {
  RunCommandHost();
  return 0;
}
