// Runs the built tettool over the shipped validation data and over asset folders made for the
// test, and checks what it prints and how it exits.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "mesh/mesh_fixture.h"
#include "qelgfx/animation_definition.h"
#include "support/command_run.h"
#include "support/scratch_folder.h"
#include "validation/legacy_upgrade.h"

namespace {

constexpr const char* kRepoData = KESTRO_TEST_DATA_DIR "/../../data";

using Words = std::vector<std::string>;

// Each word is one argument, whatever it holds.
kestro_test::CommandRun RunTettool(const Words& words, const Words& more = {}) {
  std::string line = std::string(KESTRO_BINARY_DIR) + "/tettool";
  for (const Words& part : {words, more}) {
    for (const std::string& word : part) line += " " + kestro_test::ShellWord(word);
  }
  return kestro_test::RunCommand(line + " 2>/dev/null");
}

// The command with the shipped definitions and data.
Words Shipped(const char* command) {
  return {command, "--tetdata", std::string(kRepoData) + "/TETData", "--data",
          std::string(kRepoData) + "/data"};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& want) {
  for (const std::string& line : lines) {
    if (line == want) return true;
  }
  return false;
}

TEST(Tettool, PrintsTheShippedDefinitionsAndLists) {
  const kestro_test::CommandRun r = RunTettool({"defs", std::string(kRepoData) + "/TETData"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind("definitions: ", 0), 0u);
  // Every kind the demo and the tests use, each a definition of its own at the top level, in
  // merge order: the inherited bases first, the containers last.
  size_t previous = 0;
  for (const char* name :
       {"asset-base", "mesh-base", "scenery", "mesh", "texture", "library", "traincar", "bogey",
        "interior", "track", "bridge", "mesh-table", "bogey-entry"}) {
    size_t at = 0;
    while (at < lines.size() && lines[at] != name) ++at;
    ASSERT_LT(at, lines.size()) << name;
    EXPECT_GT(at, previous) << name;
    previous = at;
  }
  EXPECT_TRUE(HasLine(lines, "lists: 2"));
  EXPECT_TRUE(HasLine(lines, "list category-era: 24"));
  EXPECT_TRUE(HasLine(lines, "  1800s"));
}

TEST(Tettool, DefinitionsOfAnEmptyOrMissingFolderFail) {
  scratch::Folder dir;
  EXPECT_EQ(RunTettool({"defs", dir.path()}).exitCode, 1);
  EXPECT_EQ(RunTettool({"defs", dir.At("missing")}).exitCode, 1);
  EXPECT_EQ(RunTettool({"defs"}).exitCode, 2);
  EXPECT_EQ(RunTettool({"textures", "--outside"}).exitCode, 2);
}

TEST(Tettool, PrintsTheTextureFindingsOfAnAsset) {
  scratch::Folder dir;
  // A 4 x 4 and a 4 x 2 grey TGA.
  auto tga = [](int w, int h) {
    std::string bytes(18, '\0');
    bytes[2] = 3;
    bytes[12] = char(w);
    bytes[14] = char(h);
    bytes[16] = 8;
    return bytes + std::string(size_t(w * h), '\x7f');
  };
  dir.Put("asset/config.txt", "kind \"texture\"\nkestro-build 2.8\n");
  dir.Put("asset/good.tga", tga(4, 4));
  dir.Put("asset/half.tga", tga(4, 2));
  dir.Put("asset/good.texture.txt", "Primary=good.tga\r\nAlpha=half.tga\r\n");
  dir.Put("asset/textures/escape.texture.txt", "Primary=../../outside.tga\n");
  dir.Put("outside.tga", tga(4, 4));
  dir.Put("asset/old.texture", "");

  kestro_test::CommandRun r =
      RunTettool({"textures", "--data", std::string(kRepoData) + "/data", dir.At("asset")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            "error: The images of 'good.texture.txt' differ in size.\n"
            "warning: The compiled texture 'old.texture' has no texture description beside it.\n"
            "error: The image 'textures/../../outside.tga' named by "
            "'textures/escape.texture.txt' does not exist.\n"
            "2 errors, 1 warnings\n");

  // The build given outright, checked as outside the editing and base folders.
  r = RunTettool({"textures", "--build", "3.5", "--outside", dir.At("asset")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("error: $tet_duplicatetexture 'old.texture'\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("error: $tet_binary_texture_conversion_failed 'good.texture.txt'\n"),
            std::string::npos)
      << r.out;

  dir.Put("clean/a.texture.txt", "Primary=a.tga\n");
  dir.Put("clean/a.tga", tga(4, 4));
  r = RunTettool({"textures", dir.At("clean")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "0 errors, 0 warnings\n");
}

TEST(Tettool, PrintsTheContainerTreeOfAnAsset) {
  scratch::Folder dir;
  dir.Put("signal/config.txt",
          "kuid <kuid:400100:1001>\nusername \"Demo signal\"\nkind \"scenery\"\n"
          "kestro-build 3.5\ncategory-era \"1800s;1810s\"\nmesh-table\n{\n  default\n  {\n"
          "    mesh \"signal.im\"\n    auto-create 1\n  }\n}\nlamp 5\n");
  const kestro_test::CommandRun r = RunTettool(Shipped("tree"), {dir.At("signal")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            "container scenery [scenery]\n"
            "  tag kuid [14] \"<kuid:400100:1001>\"\n"
            "  tag username [1] \"Demo signal\"\n"
            "  tag kind [1] \"scenery\"\n"
            "  tag kestro-build [0] \"3.5\"\n"
            "  tag category-era [12] \"1800s;1810s\"\n"
            "  tag lamp [20] \"5\"\n"
            "  container mesh-table [mesh-table]\n"
            "    container default [mesh-table-entry]\n"
            "      tag mesh [15] \"signal.im\"\n"
            "      tag auto-create [4] \"1\"\n"
            "error: Unable to load the mesh 'signal.im'.\n"
            "error: 'lamp' in 'scenery' is not a known tag.\n"
            "2 errors, 0 warnings\n");
}

// Names and values from an asset, and the folders' names, are printed as the result lines
// print them: none can end its line or reach the terminal as a control sequence.
TEST(Tettool, WhatAnAssetHoldsCannotBreakItsLine) {
  scratch::Folder dir;
  const std::string folder = "a\n- <kuid:999:999> : FORGED";
  Soup config;
  config.SetNamedKUID(Qel::PString("kuid"), KUID::Parse("<kuid:400100:1>", true));
  config.SetNamedTag(Qel::PString("username"), Qel::PString("n\r\n- <kuid:999:999> : FORGED"));
  config.SetNamedTag(Qel::PString("kind"), Qel::PString("scenery"));
  config.SetNamedTag(Qel::PString("description"), Qel::PString("\x1b[2J \xC2\x9B \xFF"));
  // Two folders, so that each is headed by its name.
  for (const std::string& name : {std::string("plain"), folder}) {
    dir.Put(name + "/x.txt");
    ASSERT_TRUE(config.SaveFile("", dir.At(name + "/config.chump").c_str(), nullptr));
  }
  for (const std::string command : {"tree", "validate"}) {
    const std::string out =
        RunTettool(Shipped(command.c_str()), {dir.At("plain"), dir.At(folder)}).out;
    EXPECT_NE(out.find("== " + dir.At("a\\n- <kuid:999:999> : FORGED") + "\n"), std::string::npos)
        << out;
    if (command == "tree") {
      EXPECT_NE(out.find("  tag username [1] \"n\\n- <kuid:999:999> : FORGED\"\n"),
                std::string::npos)
          << out;
    }
    for (const std::string& line : Lines(out)) {
      EXPECT_EQ(line.rfind("- <kuid:999:999>", 0), std::string::npos) << command << out;
      for (const char* raw : {"\r", "\x1b", "\xC2\x9B", "\xFF"}) {
        EXPECT_EQ(line.find(raw), std::string::npos) << command << line;
      }
    }
  }
}

// Hostile definitions and configurations: the tree and its findings are printed and the tool
// ends normally, within the test's time.
TEST(Tettool, HostileConfigurationsEndCleanly) {
  scratch::Folder dir;
  dir.Put("tet/kind.txt",
          "node\n{\n  top-level 1\n  inherit\n  {\n    loopa \"\"\n  }\n"
          "  subpossibilities\n  {\n    node\n    {\n      kind \"element\"\n"
          "      element-type \"node\"\n    }\n    kind\n    {\n      type \"string\"\n    }\n"
          "    tag-0\n    {\n      type \"int\"\n      sequence 1\n    }\n  }\n}\n"
          "loopa\n{\n  inherit\n  {\n    loopb \"\"\n  }\n}\n"
          "loopb\n{\n  inherit\n  {\n    loopa \"\"\n  }\n}\n");
  std::string many = "kind \"node\"\n";
  for (int i = 0; i < 10000; ++i)
    many += "tag-" + std::to_string(i) + " " + std::to_string(i) + "\n";
  dir.Put("many/config.txt", many);
  std::string deep = "kind \"node\"\n";
  for (int i = 0; i < 1200; ++i) deep += "node\n{\n";
  deep += "tag-1 1\n";
  for (int i = 0; i < 1200; ++i) deep += "}\n";
  dir.Put("deep/config.txt", deep);
  dir.Put("unknown/config.txt", "kind \"nosuchkind\"\nkestro-build 3.5\n");
  dir.Put("empty/config.txt", "");

  const Words tool = {"tree", "--tetdata", dir.At("tet")};
  kestro_test::CommandRun r = RunTettool(tool, {dir.At("many")});
  EXPECT_EQ(r.exitCode, 1);
  std::vector<std::string> lines = Lines(r.out);
  // Two-digit numbers stand for "tag-0"; longer ones are unknown.
  EXPECT_TRUE(HasLine(lines, "  tag tag-99 [3] \"99\""));
  EXPECT_TRUE(HasLine(lines, "  tag tag-9999 [20] \"9999\""));
  EXPECT_TRUE(HasLine(lines, "error: $tet_container_inheritcycle 'loopa' 'loopa > loopb > loopa'"));
  // 9,900 unknown tags, the cycle, and the four tags the legacy upgrade writes into a
  // configuration without a build (the category defaults and the build), which "node" lacks.
  EXPECT_TRUE(HasLine(lines, "9905 errors, 1 warnings")) << lines.back();

  r = RunTettool(tool, {dir.At("deep")});
  EXPECT_EQ(r.exitCode, 1);
  lines = Lines(r.out);
  size_t containers = 0;
  for (const std::string& line : lines)
    containers += line.find("container node") != std::string::npos;
  EXPECT_EQ(containers, 1001u);

  r = RunTettool(tool, {dir.At("unknown"), dir.At("empty"), dir.At("missing")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "== " + dir.At("unknown") +
                       "\n"
                       "the tree is incomplete\n"
                       "error: $tet_container_nokindspecification\n"
                       "1 errors, 0 warnings\n"
                       "== " +
                       dir.At("empty") +
                       "\n"
                       "the tree is incomplete\n"
                       "warning: $tet_obsolete_asset\n"
                       "error: $tet_container_nokindtag\n"
                       "1 errors, 1 warnings\n"
                       "== " +
                       dir.At("missing") +
                       "\n"
                       "no readable config.chump or config.txt\n");
  EXPECT_EQ(RunTettool({"tree", "--tetdata", dir.At("tet")}).exitCode, 2);
}

// One process matches one asset after another: an old asset's load, which turns an obsolete
// entry into an allowed one, is not seen by the current asset after it.
TEST(Tettool, AnAssetAfterAnotherIsMatchedAsAlone) {
  scratch::Folder dir;
  dir.Put("old/config.txt", "kind \"scenery\"\nkestro-build 2.4\nregion\n{\n}\n");
  dir.Put("new/config.txt", "kind \"scenery\"\nkestro-build 3.5\nregion\n{\n}\n");
  const Words tool = {"tree", "--tetdata", std::string(kRepoData) + "/TETData"};
  const std::string alone = RunTettool(tool, {dir.At("new")}).out;
  const std::string both = RunTettool(tool, {dir.At("old"), dir.At("new")}).out;
  const std::string header = "== " + dir.At("new") + "\n";
  ASSERT_NE(both.find(header), std::string::npos);
  EXPECT_EQ(both.substr(both.find(header) + header.size()), alone);
  EXPECT_NE(alone.find("warning: $tet_container_obsoletetag 'region' 'scenery'"), std::string::npos)
      << alone;
}

// The command host's validation without a daemon, over the shipped definitions and texts: a good
// asset passes, a faulty one gets each finding with its KUID and the count line, and a folder that
// is not there counts as an error.
TEST(Tettool, ValidatesAssetFoldersWithTheShippedDefinitions) {
  scratch::Folder dir;
  const std::string head =
      "username \"Lamp\"\nkind \"scenery\"\nkestro-build 3.5\nscript \"lamp\"\n"
      "mesh-table\n{\n  default\n  {\n    mesh \"lamp.im\"\n    auto-create 1\n  }\n}\n";
  dir.Put("good/config.txt", "kuid <kuid:400100:1>\n" + head);
  dir.Put("good/LAMP.GS", "class Lamp {};\n");
  fixture::MeshSpec mesh;
  mesh.chunks = {fixture::Quad(0)};
  dir.Put("good/lamp.im", fixture::WriteMesh(mesh));
  dir.Put("bad/config.txt", "kuid <kuid:400100:2>\n" + head);
  dir.Put("lamp.gs", "class Lamp {};\n");
  dir.Put("bad/Lamp.im", fixture::WriteMesh(mesh));
  dir.Put("bad/lamp", "");
  // A configuration that is there but cannot be read.
  dir.Put("txt-folder/config.txt/x", "");
  dir.Put("chump-folder/config.chump/x", "");
  dir.Put("chump-folder/config.txt", "kuid <kuid:400100:3>\n" + head);
  const std::string kUnreadable = "- <NULL> : Unable to read the asset configuration in '";
  const struct {
    const char* folder;
    int exitCode;
    std::string out;
  } cases[] = {
      {"good", 0, "OK (0 Errors, 0 Warnings)\n"},
      {"bad", 1,
       "- <kuid:400100:2> : The script file 'lamp' does not exist.\n"
       "OK (1 Errors, 0 Warnings)\n"},
      {"missing", 1, "no folder " + dir.At("missing") + "\nOK (1 Errors, 0 Warnings)\n"},
      {"txt-folder", 1, kUnreadable + dir.At("txt-folder") + "'.\nOK (1 Errors, 0 Warnings)\n"},
      {"chump-folder", 1,
       kUnreadable + dir.At("chump-folder") + "'.\nOK (1 Errors, 0 Warnings)\n"},
  };
  for (const auto& c : cases) {
    const kestro_test::CommandRun run = RunTettool(Shipped("validate"), {dir.At(c.folder)});
    EXPECT_EQ(run.exitCode, c.exitCode) << c.folder << ": " << run.out;
    EXPECT_EQ(run.out, c.out) << c.folder;
  }
}

// The animation a mesh-table entry names (with its loop speed, as the legacy upgrade writes it) is
// loaded onto the entry's mesh: each kind of file gives its finding, in the shipped text.
TEST(Tettool, ValidatesTheAnimationOfAMeshTableEntry) {
  scratch::Folder dir;
  fixture::MeshSpec mesh;
  mesh.chunks = {fixture::Quad(0)};
  mesh.bones = {{"root", "", {}}, {"arm", "root", {}}};
  // An animation of two frames moving `bone`; without a bone, one with nothing to play.
  const auto kin = [&](const std::string& bone) {
    const std::string text = bone.empty() ? "frames 0\n"
                                          : "frames 2\nbones\n{\n  bone \"" + bone +
                                                "\"\n  {\n    key 1, 0,0,0, 0,0,0,1\n  }\n}\n";
    Qel::AnimationDefinition definition;
    Qel::String error;
    EXPECT_TRUE(definition.ReadText(text.c_str(), error)) << error.Std();
    EXPECT_TRUE(definition.Write(dir.At("made.kin").c_str()));
    return dir.Read("made.kin");
  };
  const std::string arm = kin("arm");
  const struct {
    const char* what;
    const char* bytes;  // null: no file
    std::string file;
    const char* finding;
  } cases[] = {
      {"good", "", arm, nullptr},
      {"a bone the mesh lacks", "", kin("leg"),
       "- <kuid:400100:11> : The animation 'walk.kin' does not fit the skeleton of the mesh.\n"},
      {"damaged", "", arm.substr(0, 40),
       "- <kuid:400100:12> : Unable to load the animation 'walk.kin'.\n"},
      {"empty", "", kin(""),
       "- <kuid:400100:13> : The animation 'walk.kin' has nothing to play: no frames or no "
       "bones.\n"},
      {"missing", nullptr, "", "- <kuid:400100:14> : Unable to load the animation 'walk.kin'.\n"},
  };
  int n = 10;
  for (const auto& c : cases) {
    const std::string folder = "a" + std::to_string(n);
    dir.Put(folder + "/config.txt",
            "kuid <kuid:400100:" + std::to_string(n++) +
                ">\nusername \"Lamp\"\nkind \"scenery\"\n"
                "kestro-build 3.5\nmesh-table\n{\n  default\n  {\n    mesh \"lamp.im\"\n"
                "    anim \"Walk.kin\"\n    animation-loop-speed 1.0\n    auto-create 1\n  }\n}\n");
    dir.Put(folder + "/lamp.im", fixture::WriteMesh(mesh));
    if (c.bytes != nullptr) dir.Put(folder + "/walk.kin", c.file);
    const kestro_test::CommandRun run = RunTettool(Shipped("validate"), {dir.At(folder)});
    EXPECT_EQ(run.out, std::string(c.finding != nullptr ? c.finding : "") + "OK (" +
                           (c.finding != nullptr ? "1" : "0") + " Errors, 0 Warnings)\n")
        << c.what;
  }
}

// A library that includes other assets' scripts and names its own with the extension passes with
// the shipped definitions; so does a mesh effect placed on a point of its entry's mesh.
TEST(Tettool, ScriptIncludesAndEffectPointsPassWithTheShippedDefinitions) {
  scratch::Folder dir;
  dir.Put("lib/config.txt",
          "kuid <kuid:400100:3>\nusername \"Lib\"\nkind \"library\"\nkestro-build 3.5\n"
          "script \"lib.gs\"\nclass \"Lib\"\nscript-include-table\n{\n  0 <kuid:400100:4>\n}\n");
  dir.Put("lib/lib.gs", "class Lib {};\n");
  fixture::MeshSpec mesh;
  mesh.chunks = {fixture::Quad(0)};
  mesh.attachments = {"a.lamp"};
  dir.Put("lamp/lamp.im", fixture::WriteMesh(mesh));
  dir.Put("lamp/config.txt",
          "kuid <kuid:400100:5>\nusername \"Lamp\"\nkind \"scenery\"\nkestro-build 3.5\n"
          "mesh-table\n{\n  default\n  {\n    mesh \"lamp.im\"\n    auto-create 1\n"
          "    effects\n    {\n      glow\n      {\n        kind \"name\"\n"
          "        att \"a.lamp\"\n      }\n    }\n  }\n}\n");
  for (const char* asset : {"lib", "lamp"}) {
    const kestro_test::CommandRun r = RunTettool(Shipped("validate"), {dir.At(asset)});
    EXPECT_EQ(r.exitCode, 0) << asset << ": " << r.out;
    EXPECT_EQ(r.out, "OK (0 Errors, 0 Warnings)\n") << asset;
  }
}

// The shipped definitions refuse nothing that the tool itself writes into a configuration: each
// category default of the legacy upgrade, taken from the upgrade's own table, the keywords, and
// old assets that the upgrade rewrites pass without a finding.
TEST(Tettool, ShippedDefinitionsAcceptWhatTheToolItselfWrites) {
  scratch::Folder dir;
  fixture::MeshSpec mesh;
  mesh.chunks = {fixture::Quad(0)};
  const std::string im = fixture::WriteMesh(mesh);
  struct Case {
    std::string what;
    std::string config;
    std::vector<std::string> meshes;  // also a script: validation only looks for its file
  };
  std::vector<Case> cases;
  for (const TETLib::CategoryDefault& category : TETLib::CategoryDefaults()) {
    cases.push_back({"the upgrade's " + std::string(category.tag.View()),
                     "kind \"library\"\nkestro-build 3.5\n" + std::string(category.tag.View()) +
                         " \"" + std::string(category.value.View()) + "\"\n",
                     {}});
  }
  cases.push_back({"keywords, as the keyword commands carry them",
                   "kind \"library\"\nkestro-build 3.5\nkeywords \"bench;park\"\n",
                   {}});
  cases.push_back({"a library's script, class and plug-in by their other names, and type words",
                   "kind \"library\"\nkestro-build 3.5\nscriptlibrary \"lib\"\n"
                   "scriptclass \"Lib\"\nnativelibrary \"echo\"\ntype \"tool\"\n",
                   {"lib.gs"}});
  const std::string old = "kind \"scenery\"\nkestro-build 2.8\nasset-filename \"shed\"\n";
  cases.push_back({"an old asset naming no category", old, {"shed.im"}});
  cases.push_back({"an old asset of the whole world with numbered eras",
                   old + "category-region \"EU\"\ncategory-era-0 \"1950\"\n"
                         "category-era-1 \"1960s\"\n",
                   {"shed.im"}});
  cases.push_back({"an old asset with numbered region codes",
                   old + "category-region-0 \"au\"\ncategory-region-1 \"nz\"\n",
                   {"shed.im"}});
  cases.push_back(
      {"an old asset with a night mesh", old + "night \"night\"\n", {"shed.im", "night/night.im"}});
  cases.push_back({"an old interior with a camera",
                   "kind \"interior\"\nkestro-build 2.8\nasset-filename \"cab\"\n"
                   "mesh \"cab.im\"\ncamera 1,2,3\n",
                   {"cab.im"}});
  int n = 20;
  for (const Case& c : cases) {
    const std::string folder = "a" + std::to_string(n);
    dir.Put(folder + "/config.txt",
            "kuid <kuid:400100:" + std::to_string(n++) + ">\nusername \"Asset\"\n" + c.config);
    for (const std::string& name : c.meshes) dir.Put(folder + "/" + name, im);
    const kestro_test::CommandRun r = RunTettool(Shipped("validate"), {dir.At(folder)});
    EXPECT_EQ(r.out, "OK (0 Errors, 0 Warnings)\n") << c.what;
    EXPECT_EQ(r.exitCode, 0) << c.what;
  }
}

}  // namespace

// The upgrade of an old configuration, printed as the golden written from the upgrade's rules.
TEST(Tettool, UpgradePrintsTheUpgradedConfiguration) {
  const std::string data = std::string(KESTRO_TEST_DATA_DIR) + "/upgrade/";
  const kestro_test::CommandRun r =
      RunTettool({"upgrade", "--tetdata", data + "tet", data + "traincar.txt"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, scratch::ReadAll(data + "traincar.expected"));
  EXPECT_EQ(RunTettool({"upgrade", data + "missing.txt"}).exitCode, 1);
}
