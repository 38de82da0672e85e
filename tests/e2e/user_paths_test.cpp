// The paths a user types are the user's: a relative path whose first folder has the name of one of
// the installation's substitutions ("scripts", "local", ...) names that folder where the tool was
// started, on a batch line as on gsrun's command line, and the installation is left as it was.
// backupkeywords is the one command whose paths start in the program folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/install_root.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
constexpr const char* kClass = "class Mine {\n  public int F() { return 7; }\n};\n";

// Where a command's paths start: the folder the user started in, or the program folder.
enum class From { kUser, kProgram };

// One path a command takes. In every text "{}" stands for the substitution name. The batch line,
// itself read from "{}/lines.txt", (or, for gsrun, its options) runs once per name with every other
// case's and must succeed; `files` are laid out in the user's folder first, and `made` must exist
// afterwards, below the user's folder or the program folder. A read from the installation would
// find nothing there.
struct PathCase {
  const char* line;
  std::map<std::string, std::string> files;
  const char* made;
  From from;
};

const std::vector<PathCase> kBatchCases = {
    {"compile {}/Mine.gs", {{"{}/Mine.gs", kClass}}, "{}/Mine.gsl", From::kUser},
    {"compile -p{}/ Top.gs", {{"Top.gs", kClass}}, "{}/Top.gsl", From::kUser},
    {"compile -i{} Uses.gs",
     {{"Uses.gs",
       "include \"inc.gs\"\nclass Uses isclass Inc {\n  public int G() { return H(); }\n};\n"},
      {"{}/inc.gs", "class Inc {\n  public int H() { return 1; }\n};\n"}},
     "Uses.gsl",
     From::kUser},
    {"compile -p{}/../ {}/Plain.gs", {}, "Plain.gsl", From::kUser},
    {"compile -b{}/build.log Top.gs", {}, "{}/build.log", From::kUser},
    {"encrypt {}/Plain.gs", {{"{}/Plain.gs", kClass}}, "{}/Plain.gse", From::kUser},
    {"encrypt Top.gs {}/Target.gse", {}, "{}/Target.gse", From::kUser},
    {"importconsists {}/consists.txt",
     {{"{}/consists.txt", "train-0\n{\n  name \"no list\"\n}\n"}},
     "",
     From::kUser},
    {"listbuilds {}/builds.txt", {}, "{}/builds.txt", From::kUser},
    {"createcdp {}/empty.cdp", {}, "{}/empty.cdp", From::kUser},
    {"installcdp {}/empty.cdp", {}, "", From::kUser},
    {"vnyparse {}/empty.cdp", {}, "", From::kUser},
    {"vnyparsefolder {}/tree", {}, "", From::kUser},
    {"installfrompath {}/tree", {{"{}/tree/notes.txt", ""}}, "", From::kUser},
    {"compresstexture {}/textures", {{"{}/textures/notes.txt", ""}}, "", From::kUser},
    {"backupkeywords {}/kw.dat", {}, "{}/kw.dat", From::kProgram},
};

// gsrun's path options: --lib takes the library the first batch line compiled.
const std::vector<PathCase> kGsrunCases = {
    {"--lib {}", {}, "", From::kUser},
    {"--world {}/world.bin", {}, "{}/world.bin", From::kUser},
    {"--dump-images {}/images", {}, "{}/images", From::kUser},
};

std::string Named(std::string text, const std::string& name) {
  for (size_t at; (at = text.find("{}")) != std::string::npos;) text.replace(at, 2, name);
  return text;
}

// Every entry below the folder, with each file's size and modification time.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string name = e.path().string().substr(folder.size());
    // The daemon's own stores and logs change with the requests it serves.
    if (name.find(".tdx") != std::string::npos || e.path().extension() == ".log") continue;
    std::string stamp;
    if (e.is_regular_file()) {
      stamp = std::to_string(e.file_size()) + " " +
              std::to_string(e.last_write_time().time_since_epoch().count());
    }
    entries[name] = stamp;
  }
  return entries;
}

// The entries that differ between two snapshots.
std::vector<std::string> Changes(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after) {
  std::vector<std::string> changed;
  for (const auto& [name, stamp] : after) {
    if (!before.contains(name) || before.at(name) != stamp) changed.push_back(name);
  }
  for (const auto& [name, stamp] : before) {
    if (!after.contains(name)) changed.push_back(name + " (gone)");
  }
  return changed;
}

// A batch's output cut into each line's part, which ends with its summary line.
std::vector<std::string> LineOutputs(const std::string& out) {
  std::vector<std::string> parts(1);
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    if (line.empty()) continue;
    parts.back() += line + "\n";
    if (line.rfind("OK (", 0) == 0) parts.emplace_back();
  }
  parts.pop_back();
  return parts;
}

TEST(UserPaths, PathsNamedLikeTheInstallationsFoldersStayTheUsers) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  // One run makes the daemon's folders, so that what the runs below change is theirs alone.
  ASSERT_EQ(root.Run({"echo"}).exitCode, 0);
  for (const std::string name : {"scripts", "libraries", "data", "local", "original", "backups",
                                 "editing", "cache", "settings", "LoCaL"}) {
    SCOPED_TRACE(name);
    scratch::Folder user;
    std::string batch;
    for (const std::vector<PathCase>* cases : {&kBatchCases, &kGsrunCases}) {
      for (const PathCase& c : *cases) {
        for (const auto& [file, content] : c.files) user.Put(Named(file, name), content);
      }
    }
    for (const PathCase& c : kBatchCases) batch += Named(c.line, name) + "\n";
    user.Put(name + "/lines.txt", batch);
    // backupkeywords writes only into a folder that is there.
    fs::create_directories(root.Bin() + "/" + name);
    const std::map<std::string, std::string> before = Snapshot(root.Root());

    const ToolRun run = root.Run({"@" + name + "/lines.txt"}, user.path());
    const std::vector<std::string> outputs = LineOutputs(run.out);
    ASSERT_EQ(outputs.size(), kBatchCases.size()) << run.out << run.err;
    std::vector<std::string> gsrunArgs = {"--root", root.Root(), "--host", "--class",
                                          "Mine",   "--call",    "F"};
    for (const PathCase& c : kGsrunCases) {
      std::string option = Named(c.line, name);
      gsrunArgs.push_back(option.substr(0, option.find(' ')));
      gsrunArgs.push_back(option.substr(option.find(' ') + 1));
    }
    const ToolRun gsrun = root.RunProgram(KESTRO_BINARY_DIR "/gsrun", gsrunArgs, user.path());
    EXPECT_EQ(gsrun.exitCode, 0) << gsrun.out << gsrun.err;

    std::vector<std::string> made;
    for (size_t i = 0; i < kBatchCases.size() + kGsrunCases.size(); ++i) {
      const bool inBatch = i < kBatchCases.size();
      const PathCase& c = inBatch ? kBatchCases[i] : kGsrunCases[i - kBatchCases.size()];
      SCOPED_TRACE(Named(c.line, name));
      const std::string& out = inBatch ? outputs[i] : gsrun.out;
      EXPECT_NE(out.find(inBatch ? "OK (0 Errors, 0 Warnings)" : "result: 7"), std::string::npos)
          << out;
      if (*c.made == '\0') continue;
      const std::string at =
          (c.from == From::kUser ? user.path() : root.Bin()) + "/" + Named(c.made, name);
      EXPECT_TRUE(fs::exists(at)) << at;
      if (c.from == From::kProgram) made.push_back(at);
    }
    // What the program folder was meant to get is the only change to the installation.
    for (const std::string& at : made) fs::remove(at);
    EXPECT_EQ(Changes(before, Snapshot(root.Root())), std::vector<std::string>());
  }
}

// Runs the program in a folder that is removed before the program starts.
ToolRun RunFromGoneFolder(const InstallRoot& root, const std::string& program,
                          const std::vector<std::string>& args, const std::string& parent) {
  std::vector<std::string> shell = {
      "-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" \"$@\"", program};
  shell.insert(shell.end(), args.begin(), args.end());
  return root.RunProgram("/bin/sh", shell, parent);
}

// From a start folder that no longer exists, each relative path the user types is refused with the
// reason, as a counted error (gsrun exits 2), and the installation, where the file layer would
// find such a path, is left as it was though it holds every file the commands would read. An
// absolute path is still taken.
TEST(UserPaths, ARelativePathFromAStartFolderThatIsGoneIsRefused) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  ASSERT_EQ(root.Run({"echo"}).exitCode, 0);
  const std::string name = "local";
  const std::string refusal = "the folder you started in no longer exists.";
  scratch::Folder user;
  // What the commands read is in the installation, where a path left relative would find it.
  for (const std::vector<PathCase>* cases : {&kBatchCases, &kGsrunCases}) {
    for (const PathCase& c : *cases) {
      for (const auto& [file, content] : c.files) {
        root.WriteFile("UserData/" + Named(file, name), content);
      }
    }
  }
  std::string batch;
  size_t lines = 0;
  for (const PathCase& c : kBatchCases) {
    if (c.from != From::kUser) continue;
    batch += Named(c.line, name) + "\n";
    ++lines;
  }
  user.Put("lines.txt", batch);
  user.Put(name + "/lines.txt", batch);
  const std::map<std::string, std::string> before = Snapshot(root.Root());

  const ToolRun run = RunFromGoneFolder(root, root.Bin() + "/KestroUtil",
                                        {"@" + user.At("lines.txt")}, user.path());
  const std::vector<std::string> outputs = LineOutputs(run.out);
  ASSERT_EQ(outputs.size(), lines) << run.out << run.err;
  for (const std::string& out : outputs) {
    EXPECT_NE(out.find(": " + refusal), std::string::npos) << out;
    EXPECT_EQ(out.find("OK (0 Errors"), std::string::npos) << out;
  }
  const ToolRun relative =
      RunFromGoneFolder(root, root.Bin() + "/KestroUtil", {"@" + name + "/lines.txt"}, user.path());
  EXPECT_EQ(relative.out, "- <NULL> : Cannot use the relative path " + name +
                              "/lines.txt: " + refusal + "\nOK (1 Errors, 0 Warnings)\n");
  EXPECT_NE(relative.exitCode, 0);
  for (const PathCase& c : kGsrunCases) {
    const std::string option = Named(c.line, name);
    const ToolRun gsrun =
        RunFromGoneFolder(root, KESTRO_BINARY_DIR "/gsrun",
                          {"--root", root.Root(), "--host", "--class", "Mine", "--call", "F",
                           option.substr(0, option.find(' ')), option.substr(option.find(' ') + 1)},
                          user.path());
    EXPECT_EQ(gsrun.exitCode, 2) << option;
    EXPECT_EQ(gsrun.err, "gsrun: Cannot use the relative path " +
                             option.substr(option.find(' ') + 1) + ": " + refusal + "\n");
  }
  EXPECT_EQ(Changes(before, Snapshot(root.Root())), std::vector<std::string>());

  const ToolRun absolute = RunFromGoneFolder(root, root.Bin() + "/KestroUtil",
                                             {"listbuilds", user.At("builds.txt")}, user.path());
  EXPECT_EQ(absolute.exitCode, 0) << absolute.out;
  EXPECT_TRUE(fs::exists(user.At("builds.txt")));
}

}  // namespace
