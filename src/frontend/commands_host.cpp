// The command that makes the tool a worker of the daemon.
#include "frontend/command_host.h"
#include "frontend/commands.h"

int PymCommandHost(CommandArgs& a) {
  if (RunCommandHost()) return 0;
  AddError(a.log, "The asset database could not be reached; nothing was served.");
  return -1;
}
