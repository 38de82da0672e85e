#include "qel/config_parser.h"

#include <gtest/gtest.h>

#include "qel/config_text.h"
#include "support/scratch_folder.h"

namespace {

using Qel::ConfigData;
using Qel::ConfigParser;

// Flattens items to "key=value{...}" so a whole tree compares in one line.
std::string Flatten(const ConfigData& data) {
  std::string out;
  for (u32 i = 0; i < data.GetChildCount(); ++i) {
    const ConfigData& child = data.GetChild(i);
    out += child.GetKey().Std() + "=" + child.GetValue().Std();
    if (child.GetChildCount()) out += "{" + Flatten(child) + "}";
    out += ";";
  }
  return out;
}

TEST(ConfigTextTest, ReadsKeysValuesAndBlocks) {
  struct Case {
    const char* text;
    const char* items;
  };
  const Case cases[] = {
      {"version 1.0\nmesh 50\n{\n  name \"a.im\"\n}\nmesh near\n{\n name b.im\n}\n",
       "version=1.0;mesh=50{name=a.im;};mesh=near{name=b.im;};"},
      {"\xEF\xBB\xBFkey   spaced value  \t\r\nother\n", "key=spaced value;other=;"},
      {"outer\n{\n inner { deep 1 }\n}", "outer={inner={deep=1;};};"},
      {"q \"say \\\"hi\\\" \\\\ {x}\"\n", "q=say \"hi\" \\ {x};"},
      {"same 1\nSAME 2\nsame 3\n", "same=1;SAME=2;same=3;"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ConfigData root;
    Qel::String error;
    ASSERT_TRUE(Qel::ParseConfigText(c.text, root, &error)) << error.Std();
    EXPECT_EQ(c.items, Flatten(root));
  }
}

TEST(ConfigTextTest, RefusesBrokenTextWithALine) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"a 1\n}\n", "line 2: '}' closes no block"},
      {"a\n{\n b 1\n", "line 4: a block is not closed"},
      {"a \"open\nb 2\n", "line 1: a quoted value is not closed"},
      {"{\n", "line 1: '{' without a key"},
      {std::string(200, '{'), "line 1: '{' without a key"},
  };
  for (const Case& c : cases) {
    ConfigData root;
    Qel::String error;
    EXPECT_FALSE(Qel::ParseConfigText(c.text, root, &error));
    EXPECT_EQ(c.error, error.Std());
  }
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "k\n{\n";
  ConfigData root;
  Qel::String error;
  EXPECT_FALSE(Qel::ParseConfigText(deep, root, &error));
  EXPECT_EQ("line 128: blocks nest too deeply", error.Std());
}

TEST(ConfigParserTest, ReportsTheVersionAndTheItems) {
  struct Case {
    const char* text;
    u32 result;
    f32 version;
    bool hasData;
  };
  const Case cases[] = {
      {"mesh 0\nVersion 1.5\n", ConfigParser::kParseOk, 1.5f, true},
      {"mesh 0\n", ConfigParser::kParseOk, 1.0f, true},
      {"version one\n", ConfigParser::kParseOk, 0.0f, true},
      {"block\n{\n version 2\n}\n", ConfigParser::kParseOk, 1.0f, true},
      {"", ConfigParser::kParseOk, 1.0f, false},
      {"}", ConfigParser::kParseFormatError, 1.0f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ConfigParser parser;
    EXPECT_EQ(c.result, parser.ParseText(c.text));
    EXPECT_EQ(c.version, parser.GetVersion());
    EXPECT_EQ(c.hasData, parser.GetData() != nullptr);
  }
}

TEST(ConfigParserTest, ReadsFiles) {
  scratch::Folder folder;
  folder.Put("a.lm.txt", "mesh 50\nmesh near\n");
  ConfigParser parser;
  ASSERT_EQ(ConfigParser::kParseOk, parser.ParseFile(folder.At("a.lm.txt").c_str()));
  EXPECT_EQ(2u, parser.GetData()->CountChildren("MESH"));
  EXPECT_EQ(ConfigParser::kParseOpenError, parser.ParseFile(folder.At("none.txt").c_str()));
  EXPECT_EQ(nullptr, parser.GetData());
}

TEST(ConfigDataTest, TypedReadsFallBackToTheirDefaults) {
  ConfigData root;
  root.AddChild("offset", "2.5");
  root.AddChild("multiplier", "2x");
  root.AddChild("animated", "TRUE");
  root.AddChild("hidden", "0");
  root.AddChild("count", "1e12");
  ConfigData& mesh = root.AddChild("mesh", "50");
  mesh.AddChild("name", "a.im");
  EXPECT_FLOAT_EQ(2.5f, root.GetFloat("Offset", 0.0f));
  EXPECT_FLOAT_EQ(1.0f, root.GetFloat("multiplier", 1.0f));
  EXPECT_FLOAT_EQ(7.0f, root.GetFloat("absent", 7.0f));
  EXPECT_TRUE(root.GetBool("animated", false));
  EXPECT_FALSE(root.GetBool("hidden", true));
  EXPECT_TRUE(root.GetBool("multiplier", true));
  EXPECT_EQ(2147483647, root.GetInt("count", 0));
  EXPECT_EQ("a.im", root.FindChild("mesh")->GetText("name").Std());
  EXPECT_EQ("none", root.GetText("name", "none").Std());
}

}  // namespace
