// The compiler's sample programs, compiled, loaded and run through gsrun. Each sample's
// ".expected" file (tests/data/gsrun) names the units to compile ("# compile: ..."), then commands
// ("$ ARGS") each followed by its output and, when it is not 0, "(exit N)".
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "support/scratch_folder.h"

namespace {

const std::string kBaseLibrary = std::string(KESTRO_TEST_DATA_DIR) + "/../../gslib/gs.gs";

struct GsrunResult {
  std::string output;
  int exitCode;
};

// The arguments may end in redirections of the shell.
GsrunResult RunGsrun(const std::string& arguments) {
  const std::string command = std::string(KESTRO_BINARY_DIR) + "/gsrun " + arguments;
  GsrunResult run{"", -1};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(GsrunTest, SampleProgramsPrintTheirExpectedResults) {
  const std::string samples = std::string(KESTRO_TEST_DATA_DIR) + "/gs_samples";
  const std::string own = std::string(KESTRO_TEST_DATA_DIR) + "/gsrun";
  for (const char* sample :
       {"shapes", "text", "chain_a", "game", "router", "included", "handlers"}) {
    scratch::Folder folder;
    std::istringstream expected(
        scratch::ReadAll(std::string(KESTRO_TEST_DATA_DIR) + "/gsrun/" + sample + ".expected"));
    std::string line;
    ASSERT_TRUE(std::getline(expected, line) && line.rfind("# compile:", 0) == 0) << sample;
    // Compiled from the folder itself, so that the libraries carry plain file names.
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    std::istringstream units(line.substr(10));
    for (std::string unit; units >> unit;) {
      // Units of our own runtime tests sit beside their expected files; "gs" is the base library.
      const std::string path = unit == "gs" ? kBaseLibrary
                               : std::filesystem::exists(own + "/" + unit + ".gs")
                                   ? own + "/" + unit + ".gs"
                                   : samples + "/" + unit + ".gs";
      folder.Put(unit + ".gs", scratch::ReadAll(path));
      if (unit == "gs") continue;
      GSCompileLog log;
      EXPECT_EQ(CompileLibraryFile((unit + ".gs").c_str(), nullptr, nullptr, &log), 0) << unit;
    }
    std::filesystem::current_path(home);

    std::string command;
    std::string want;
    int wantExit = 0;
    const auto check = [&] {
      if (command.empty()) return;
      GsrunResult run = RunGsrun("--lib '" + folder.path() + "' " + command + " 2>/dev/null");
      // The base library is named by the path it was built from.
      const std::string built =
          std::filesystem::weakly_canonical(kBaseLibrary).parent_path().string() + "/";
      for (size_t at; (at = run.output.find(built)) != std::string::npos;)
        run.output.erase(at, built.size());
      EXPECT_EQ(run.output, want) << sample << ": " << command;
      EXPECT_EQ(run.exitCode, wantExit) << sample << ": " << command;
    };
    while (std::getline(expected, line)) {
      if (line.rfind("$ ", 0) == 0) {
        check();
        command = line.substr(2);
        want.clear();
        wantExit = 0;
      } else if (line.rfind("(exit ", 0) == 0) {
        wantExit = std::stoi(line.substr(6));
      } else {
        want += line + "\n";
      }
    }
    check();
  }
}

// A refused argument is named with the reason on standard error, before the usage, and the exit
// code is 2; an argument at the edge of its range is taken, and the run goes on to find no class.
TEST(GsrunTest, ARefusedArgumentIsNamedWithItsReason) {
  const std::string kInt =
      "an argument without a '.' or double quotes is an int, a whole number from -2147483648 to "
      "2147483647";
  const std::string kTicks = "the tick count must be a whole number from 0 to 2147483647";
  const std::string kFloat = "an argument with a '.' is a float, a number such as 1.5";
  const std::string kTime = "the time must be a date and time written YYYY-MM-DDTHH:MM:SS";
  const struct {
    const char* arguments;
    std::string says;  // the first line on standard error; empty for arguments that are taken
  } kCases[] = {
      {"--call F 2147483648", "'2147483648': " + kInt},
      {"--call F -2147483649", "'-2147483649': " + kInt},
      {"--call F 99999999999999999999", "'99999999999999999999': " + kInt},
      {"--call F 12abc", "'12abc': " + kInt},
      {"--call F 1.5x", "'1.5x': " + kFloat},
      {"--ticks -3", "'--ticks -3': " + kTicks},
      {"--ticks 2147483648", "'--ticks 2147483648': " + kTicks},
      {"--ticks 12abc", "'--ticks 12abc': " + kTicks},
      {"--time 2024-13-01T00:00:00", "'--time 2024-13-01T00:00:00': " + kTime},
      {"--time 2024-02-30T00:00:00", "'--time 2024-02-30T00:00:00': " + kTime},
      {"--time 2023-02-29T00:00:00", "'--time 2023-02-29T00:00:00': " + kTime},
      {"--time 2024-04-31T00:00:00", "'--time 2024-04-31T00:00:00': " + kTime},
      {"--time -001-01-01T00:00:00", "'--time -001-01-01T00:00:00': " + kTime},
      {"--time 0000-01-01T00:00:00", "'--time 0000-01-01T00:00:00': " + kTime},
      {"--time 2024-1-1T1:2:3", "'--time 2024-1-1T1:2:3': " + kTime},
      {"--time ' 2024-01-01T00:00:00'", "'--time  2024-01-01T00:00:00': " + kTime},
      {"--bogus", "'--bogus': unknown option"},
      {"--world w.txt --call F",
       "'--world w.txt': the world list belongs to the host's script context, which only --host "
       "sets up"},
      {"--call F --ticks", "'--ticks': the option needs a value"},
      {"--class --call I 1", "'--class': the option needs a value"},
      {"--class '' --call F", "'--class \"\"': the class name is empty"},
      {"--call ''", "'--call \"\"': the method name is empty"},
      {"--call Fl 1.e40", "'1.e40': the number is beyond a float's range"},
      {"--call Fl 1.e-50", "'1.e-50': the number is beyond a float's range"},
      {"--call F ' 5'", "' 5': " + kInt},
      {"--call F '5 '", "'5 ': " + kInt},
      {"--call Fl ' 1.5'", "' 1.5': " + kFloat},
      {"--ticks ' 5'", "'--ticks  5': " + kTicks},
      {"--call F 2147483647 -2147483648 +5 --ticks 2147483647", ""},
      {"--time 2024-02-29T23:59:59 --call F 1.5 -1.e38", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.arguments);
    // Standard error alone reaches the pipe.
    const GsrunResult run =
        RunGsrun(std::string("--class None ") + c.arguments + " 2>&1 >/dev/null");
    const std::string& err = run.output;
    if (c.says.empty()) {
      EXPECT_EQ(run.exitCode, 1) << err;
      continue;
    }
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(err.substr(0, err.find('\n')), "gsrun: " + c.says);
    EXPECT_EQ(err.find("\nusage: gsrun "), err.find('\n')) << err;
  }
}

// A world list that is not written fails the run, with the reason; a --root folder that holds no
// installation is refused at once, with the reason, and left as it was.
TEST(GsrunTest, AWorldListNotWrittenAndARootThatIsNoInstallationFailTheRun) {
  scratch::Folder folder;
  folder.Put("mine.gs", "class Mine {\n  public int F() { return 7; }\n};\n");
  GSCompileLog log;
  ASSERT_EQ(CompileLibraryFile(folder.At("mine.gs").c_str(), nullptr, nullptr, &log), 0);
  const std::string call = "--lib '" + folder.path() + "' --host --class Mine --call F --world ";
  for (const std::string& world :
       {folder.At("nosuchdir/w.bin"), std::string("/nonexistent/w.txt")}) {
    const GsrunResult run = RunGsrun(call + "'" + world + "' 2>/dev/null");
    EXPECT_EQ(run.output, "Could not write the world list " + world + "\n");
    EXPECT_EQ(run.exitCode, 1);
  }

  scratch::Folder notARoot;
  const GsrunResult run =
      RunGsrun("--root '" + notARoot.path() + "' --class Mine --call F 2>&1 >/dev/null");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.output.substr(0, run.output.find('\n')),
            "gsrun: '--root " + notARoot.path() +
                "': the folder is no installation: it has no bin/PymDaemon");
  EXPECT_EQ(notARoot.Names(), std::set<std::string>());
}

}  // namespace
