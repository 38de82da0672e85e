// vnyrepo: the stand-in content repository. Serves the repository search, packages and banners
// from a folder of CDP packages over HTTP on loopback, so that an installation can install from
// "the repository" without leaving the machine.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/whole_file_writer.h"
#include "repository_server.h"

namespace {

VnyRepo::RepositoryServer* g_server = nullptr;

void OnSignal(int) {
  if (g_server != nullptr) g_server->Stop();
}

int Usage(const char* why) {
  std::fprintf(stderr,
               "vnyrepo: %s\nUsage: vnyrepo (--root <installation> | --repository <folder>) "
               "[--port <n>] [--port-file <file>] [--log <file>] [--threads <n>] "
               "[--silence-seconds <n>]\n",
               why);
  return 2;
}

// "vnyrepo.log" in the folder that holds the repository folder.
std::string DefaultLogPath(const std::string& repository) {
  std::filesystem::path folder = std::filesystem::path(repository).lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();
  std::filesystem::path parent = folder.parent_path();
  if (parent.empty()) parent = ".";
  return (parent / "vnyrepo.log").string();
}

bool ReadNumber(const char* text, u32 limit, u32& out) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value > limit) return false;
  out = u32(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  VnyRepo::ServerOptions options;
  std::string portFile;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (i + 1 >= argc) return Usage(("no value after " + word).c_str());
    const char* value = argv[++i];
    u32 number = 0;
    if (word == "--root") {
      options.repository = std::string(value) + "/Repository";
    } else if (word == "--repository") {
      options.repository = value;
    } else if (word == "--port" && ReadNumber(value, 65535, number)) {
      options.port = u16(number);
    } else if (word == "--port-file") {
      portFile = value;
    } else if (word == "--log") {
      options.logPath = value;
    } else if (word == "--threads" && ReadNumber(value, 64, number) && number > 0) {
      options.threads = number;
    } else if (word == "--silence-seconds" && ReadNumber(value, 3600, number) && number > 0) {
      options.silenceSeconds = number;
    } else {
      return Usage(("bad argument " + word).c_str());
    }
  }
  if (options.repository.empty()) return Usage("no repository folder");
  // Beside the served folder, not in it: what is in it is served to anyone who asks.
  if (options.logPath.empty()) options.logPath = DefaultLogPath(options.repository);

  VnyRepo::RepositoryServer server(options);
  std::string error;
  if (!server.Listen(error)) {
    server.Log("cannot listen: %s", error.c_str());
    std::fprintf(stderr, "vnyrepo: cannot listen: %s\n", error.c_str());
    return 1;
  }
  if (!portFile.empty()) {
    // Written whole, so a reader never sees half a number.
    const std::string text = std::to_string(server.Port()) + "\n";
    WriteWholeFile(portFile.c_str(), {{text.data(), text.size()}});
  }
  g_server = &server;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  server.Log("serving %s on 127.0.0.1:%u", options.repository.c_str(), unsigned(server.Port()));
  std::printf("vnyrepo: serving %s on 127.0.0.1:%u (log %s)\n", options.repository.c_str(),
              unsigned(server.Port()), options.logPath.c_str());
  std::fflush(stdout);
  server.Run();
  g_server = nullptr;
  server.Log("stopped");
  return 0;
}
