// The command that makes the tool a worker of the daemon.
#include "frontend/command_host.h"
#include "frontend/commands.h"

int PymCommandHost(CommandArgs& a) {
  switch (RunCommandHost()) {
    case CommandHostEnd::kStopped:
      return 0;
    case CommandHostEnd::kUnreached:
      AddError(a.log, "The asset database could not be reached; nothing was served.");
      return -1;
    case CommandHostEnd::kDaemonGone:
      AddError(a.log, "PymDaemon went away without stopping; the host stopped serving it.");
      return -1;
  }
  return -1;
}
