// `KestroUtil compile` over a folder of sample programs, one batch line each: every program
// becomes its library beside it, and a unit reached by two includes is compiled once; a program
// with errors counts them in the summary line.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "gscommon/library_image.h"
#include "support/command_run.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

TEST(Compile, SampleFolderBecomesLibraries) {
  InstallRoot root{KESTRO_BINARY_DIR, kDataDir};
  ASSERT_TRUE(root.IsReady()) << root.Error();
  std::string batch, expected;
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(KESTRO_TEST_DATA_DIR "/gs_samples")) {
    const std::string name = entry.path().filename().string();
    root.WriteFile("work/" + name, scratch::ReadAll(entry.path().string()));
    batch += "\"compile\" \"" + name + "\"\n";
    expected += "OK (0 Errors, 0 Warnings)\n\n";
    names.insert(entry.path().stem().string());
  }
  root.WriteFile("work/compile.txt", batch);
  const ToolRun r = root.Run({"@compile.txt"}, root.Root() + "/work");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exitCode, 0);

  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string image = scratch::ReadAll(root.Root() + "/work/" + name + ".gsl");
    GSLibraryFormat::LibraryImage library;
    std::string error;
    ASSERT_TRUE(GSLibraryFormat::ReadLibraryImage(reinterpret_cast<const u8*>(image.data()),
                                                  u32(image.size()), &library, &error))
        << error;
    EXPECT_EQ(library.name, name + ".gs");
    const std::set<std::pair<u32, u32>> units(library.units.begin(), library.units.end());
    EXPECT_EQ(units.size(), library.units.size()) << "each unit is listed once";
    if (name == "chain_a") {
      EXPECT_EQ(units.size(), 3u);
    }
  }
}

// The compiler prints its own messages; the summary line after them counts its errors and
// warnings, and the failed compile writes no library and fails the batch.
TEST(Compile, ErrorsAndWarningsCountInTheSummaryLine) {
  InstallRoot root{KESTRO_BINARY_DIR, kDataDir};
  ASSERT_TRUE(root.IsReady()) << root.Error();
  root.WriteFile("work/broken.gs", "class Broken {\n  void F() { a = 1; b = 2; }\n};\n");
  root.WriteFile("work/clean.gs", "class Clean {\n  void F() { }\n};\n");
  root.WriteFile("work/compile.txt", "compile broken.gs\ncompile clean.gs\n");
  const ToolRun r = root.Run({"@compile.txt"}, root.Root() + "/work");
  EXPECT_EQ(r.out,
            "broken.gs(2) : variable a not declared, line 2.\n"
            "broken.gs(2) : variable b not declared, line 2.\n"
            ".. while compiling 'broken.gs'\n"
            "OK (2 Errors, 0 Warnings)\n\n"
            "OK (0 Errors, 0 Warnings)\n\n");
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_FALSE(fs::exists(root.Root() + "/work/broken.gsl"));
  EXPECT_TRUE(fs::exists(root.Root() + "/work/clean.gsl"));

  // A warning counts too, but the compile succeeds and writes its library.
  root.WriteFile("work/warned.gs", "class Warned {\n  int F() { return 0x80000000; }\n};\n");
  const ToolRun warned = root.Run({"compile", "warned.gs"}, root.Root() + "/work");
  EXPECT_EQ(warned.out,
            "warned.gs(2) : warning: the integer '0x80000000' is larger than an int holds and is "
            "read as 2147483647, line 2\n"
            "OK (0 Errors, 1 Warnings)\n");
  EXPECT_EQ(warned.exitCode, 0);
  EXPECT_TRUE(fs::exists(root.Root() + "/work/warned.gsl"));
}

// A build log that cannot be written is named with the reason and counts as an error; the
// compile's own messages still reach the screen.
TEST(Compile, ABuildLogThatCannotBeWrittenIsACountedError) {
  InstallRoot root{KESTRO_BINARY_DIR, kDataDir};
  ASSERT_TRUE(root.IsReady()) << root.Error();
  root.WriteFile("work/hello.gs", "class Hello {\n  void F() { }\n};\n");
  root.WriteFile("work/local/notes.txt", "");
  const struct {
    const char* log;
    const char* why;
  } kCases[] = {{"nosuchdir/b.log", "No such file or directory"}, {"local/", "Is a directory"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.log);
    const ToolRun r =
        root.Run({"compile", std::string("-b") + c.log, "hello.gs"}, root.Root() + "/work");
    EXPECT_EQ(r.out, "OK (1 Errors, 0 Warnings)\n");
    EXPECT_EQ(r.err, std::string("Could not write the build log ") + c.log + ": " + c.why + ".\n");
    EXPECT_EQ(r.exitCode, 255);
  }
}

// A library whose final rename fails leaves no temporary file beside it: here the source's
// relative path is one the system takes, but joined to the working folder it exceeds PATH_MAX.
TEST(Compile, AFailedRenameLeavesNoTemporaryFile) {
  scratch::Folder folder;
  const std::string level(200, 'd');
  std::string here = folder.path();
  for (int i = 0; i < 6; ++i) here += "/" + level;
  std::string relative;
  for (int i = 0; i < 15; ++i) relative += level + "/";
  const kestro_test::CommandRun run = kestro_test::RunCommand(
      "mkdir -p '" + here + "' && cd '" + here + "' && mkdir -p '" + relative +
      "' && printf 'class A { };\\n' > '" + relative + "a.gs' && { " KESTRO_BINARY_DIR "/gsc -s '" +
      relative + "a.gs' 2>&1; echo \"exit $?\"; ls -A '" + relative + "'; }");
  // The deep tree is removed from within: its full paths are too long for a removal by name.
  kestro_test::RunCommand("cd '" + folder.path() + "' && rm -rf '" + level + "'");
  const size_t exit = run.out.find("exit ");
  ASSERT_NE(exit, std::string::npos) << run.out;
  EXPECT_EQ(run.out.substr(exit), "exit 1\na.gs\n") << run.out;
}

}  // namespace
