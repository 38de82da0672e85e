// The asset-database client of an installation, open for the life of the object, for programs
// that run scripts against an installation outside the tool (gsrun, benchmarks): the install and
// user-data paths set, the content folders opened, the script side of asset specifications
// installed and the client connected, starting the installation's daemon when none runs.
#pragma once

#include <string>

namespace ScriptHost {

class InstallationClient {
 public:
  explicit InstallationClient(const std::string& root);
  // Closes the client and releases the content folders.
  ~InstallationClient();
  InstallationClient(const InstallationClient&) = delete;
  InstallationClient& operator=(const InstallationClient&) = delete;

  bool IsOpen() const { return open_; }

 private:
  bool open_ = false;
};

}  // namespace ScriptHost
