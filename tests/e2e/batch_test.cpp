// Batch files run by the built tool: how lines become arguments, the summary and empty line of
// each line, lines of any length, the exit code of the whole file, and a daemon frozen under it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "support/fake_pym_server.h"
#include "support/install_root.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

// What one line prints: its output, its summary and the empty line after it.
std::string Ok(const std::string& output) { return output + "OK (0 Errors, 0 Warnings)\n\n"; }
const std::string kInvalid =
    "- <NULL> : Invalid argument, please check the help for the list of valid argument\n\n"
    "OK (1 Errors, 0 Warnings)\n\n";

TEST(Batch, LinesRunInTurnAndTheFileFailsWithAnyLine) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  const std::string missing =
      "- <NULL> : Missing category parameter.\nOK (1 Errors, 0 Warnings)\n\n";
  const std::string frozen =
      "- <NULL> : PymDaemon did not answer within 1 s, the longest the tool waits for it.\n"
      "OK (1 Errors, 0 Warnings)\n\n";
  const struct {
    std::string content;
    std::string out;
    int exitCode;
    bool frozenDaemon = false;  // it answers the handshake, then nothing more
  } cases[] = {
      // The first request waits the silence limit; the later ones fail at once with its reason.
      {"generatekuid\ngeneratekuid\ngeneratekuid\n",
       "- <NULL> : The daemon went away before it answered; what the request did is unknown\n"
       "OK (1 Errors, 0 Warnings)\n\n" +
           frozen + frozen,
       255, true},
      // The text after a quote that is never closed is no argument.
      {"\"echo\" \"a path/with blanks\" \"x\"\r\n\r\n\necho kept \"unclosed dropped\n",
       Ok("a path/with blanks x \n") + Ok("kept \n"), 0},
      // The end of the file gives no extra command.
      {"echo one\n", Ok("one \n"), 0},
      {"echo one", Ok("one \n"), 0},
      {"echo one\r\n", Ok("one \n"), 0},
      {"", "", 0},
      // A failing line fails the file but the run goes on; two leading blanks and a lone quote
      // both leave an empty command word.
      {"echo before\nnosuchcommand\n  echo\n\"\necho after\n",
       Ok("before \n") + kInvalid + kInvalid + kInvalid + Ok("after \n"), 255},
      // A line of any length is read whole.
      {"echo " + std::string(595, 'x') + " " + std::string(70000, 'y') + "\necho next\n",
       Ok(std::string(595, 'x') + " " + std::string(70000, 'y') + " \n") + Ok("next \n"), 0},
      // Each line has its own results log.
      {"searchbycategory -a\necho ok\nsearchbycategory -a\n", missing + Ok("ok \n") + missing, 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    // Run by its relative name, which resolves against the folder the tool was started in, not
    // the program's folder.
    root.WriteFile("UserData/batch.txt", c.content);
    root.WriteFile("bin/batch.txt", "echo wrong file\n");
    FakePymServer frozenDaemon(root.Root() + "/UserData/assets.tdx");
    if (c.frozenDaemon) {
      frozenDaemon.SetAutoReply(false);
      frozenDaemon.SetHandler([](FakePymServer& server, const FakePymServer::Frame&) {
        server.SetHandshakeAnswer(0, 0, 0);
        return true;
      });
      ASSERT_TRUE(frozenDaemon.Start() && frozenDaemon.Publish());
      ::setenv("KESTRO_SILENCE_LIMIT_MS", "1000", 1);
    }
    const ToolRun r = root.Run({"@batch.txt"}, root.Root() + "/UserData");
    ::unsetenv("KESTRO_SILENCE_LIMIT_MS");
    frozenDaemon.Stop();
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, c.exitCode);
  }

  // A missing file, a device or a folder runs nothing; /dev/zero would be read for ever.
  const std::pair<std::string, std::string> unread[] = {
      {"missing.txt", "does not exist, please specify a valid filename"},
      {"/dev/zero", "cannot be read"},
      {root.Root() + "/UserData", "cannot be read"},
  };
  for (const auto& [name, why] : unread) {
    const ToolRun r = root.Run({"@" + name});
    EXPECT_EQ(r.out, "");
    const std::string shown = name[0] == '/' ? name : root.Root() + "/" + name;
    EXPECT_EQ(r.err, "-The file \"" + shown + "\" " + why + "\n");
    EXPECT_EQ(r.exitCode, 255);
  }
}

}  // namespace
