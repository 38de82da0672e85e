// The container tree: which definition a configuration is matched against, how its tags and child
// containers find their definitions, what is reported, and the tree's lifetime: children and tags
// released on every path, registries emptied of what is gone, and one asset's load never seen by
// the next.
#include "validation/container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "assetdata/soup_text.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"
#include "pymclient/install_paths.h"
#include "support/scratch_folder.h"
#include "validation/data_manager.h"
#include "validation/definition_facts.h"
#include "validation/error_handler.h"
#include "validation/tag.h"

namespace {

using TETLib::Container;
using TETLib::DataManager;
using TETLib::ErrorHandler;
using TETLib::Tag;

// Definitions written for these cases.
constexpr const char* kInheritance = R"(
base
{
  subpossibilities
  {
    kind
    {
      type "string"
    }
    kestro-build
    {
      type "float"
    }
    description
    {
      type "string"
    }
    username
    {
      type "string"
    }
    kuid
    {
      type "kuid"
    }
    category-era
    {
      type "string"
    }
    category-class
    {
      type "string"
    }
    category-region
    {
      type "string"
    }
    rem
    {
      type "comment"
    }
    flag
    {
      type "bool"
    }
    ab0
    {
      type "int"
      sequence 1
    }
    x10
    {
      type "int"
      sequence 1
    }
    plain0
    {
      type "int"
    }
    required
    {
      type "string"
      default "fallback"
      compulsory 3.0
    }
    items
    {
      kind "element"
      element-type "items"
      compulsory 2.0
    }
    things
    {
      container-type0 "thing"
      container-type1 "other-thing"
    }
    emitter
    {
      icon "smoke"
      subpossibilities
      {
        file
        {
          type "string"
        }
        rate
        {
          type "float"
          compulsory 1
        }
      }
    }
    broken
    {
      kind "element"
      element-type "no-such-definition"
    }
    odd
    {
      kind "strange"
    }
  }
  obsolete-tag
  {
    oldbox
    {
      obsolete-version 2.6
    }
  }
}
)";

constexpr const char* kKinds = R"(
scenery
{
  top-level 1
  inherit
  {
    base ""
  }
}
scenery-trackside
{
  top-level 1
  inherit
  {
    base ""
  }
}
bridge
{
  top-level 1
}
double-track
{
  top-level 1
}
tunnel
{
  top-level 1
}
track
{
  top-level 1
}
chunky-track
{
  top-level 1
}
mesh-reducing-track
{
  top-level 1
}
obsolete-track
{
  top-level 1
}
hidden
{
  subpossibilities
  {
  }
}
)";

constexpr const char* kContainers = R"(
items
{
  array-element
  {
    container-type0 "item"
  }
}
item
{
  subpossibilities
  {
    name
    {
      type "string"
    }
  }
}
thing
{
  subpossibilities
  {
    size
    {
      type "int"
    }
  }
}
other-thing
{
  subpossibilities
  {
  }
}
smoke
{
  icon "smoke"
  subpossibilities
  {
  }
}
)";

Soup ParseConfig(const std::string& text) {
  Soup soup;
  ParseSoupText(soup, text, true);
  return soup;
}

// The tree as lines: containers with their definitions, tags with type codes and values.
void Dump(const Container& container, std::string indent, std::vector<std::string>& out) {
  out.push_back(indent + std::string(container.GetName().View()) + " [" +
                std::string(container.GetDefinitionName().View()) + "]");
  for (const Tag* tag : container.GetTags()) {
    out.push_back(indent + "  " + std::string(tag->name.View()) + " " +
                  std::to_string(tag->typeCode) + " " + std::string(tag->value.View()));
  }
  for (const Container* child : container.GetChildren()) Dump(*child, indent + "  ", out);
}

std::vector<std::string> Findings() {
  std::vector<std::string> out;
  for (const auto& record : ErrorHandler::Instance()->GetRecords()) {
    out.push_back((record->severity == 3 ? "E " : "W ") + std::string(record->key.View()));
  }
  return out;
}

bool Has(const std::vector<std::string>& lines, const std::string& want) {
  for (const std::string& line : lines) {
    if (line == want) return true;
  }
  return false;
}

class ContainerTest : public ::testing::Test {
 protected:
  // Held as a validation holds it: the data manager and the definitions' facts are used under it.
  const Qel::SingleLock validationLock_{GetValidationMutex()};
  void SetUp() override {
    Write(kInheritance, kKinds, kContainers);
    containersBefore_ = Container::LiveCount();
    tagsBefore_ = Tag::LiveCount();
  }
  void TearDown() override {
    DataManager::DestroyInstance();
    ErrorHandler::DestroyInstance();
    EXPECT_EQ(Container::LiveCount(), containersBefore_);
    EXPECT_EQ(Tag::LiveCount(), tagsBefore_);
  }

  void Write(const char* inheritance, const char* kinds, const char* containers) {
    DataManager::DestroyInstance();
    ErrorHandler::DestroyInstance();
    dir_.Put("tet/inheritance.txt", inheritance);
    dir_.Put("tet/kind.txt", kinds);
    dir_.Put("tet/container.txt", containers);
    ErrorHandler::CreateInstance();
    ASSERT_TRUE(DataManager::CreateInstance(dir_.At("tet").c_str()));
    ASSERT_TRUE(DataManager::Instance().LoadDefinitions());
  }

  // Loads the configuration into root and gives the tree's lines.
  std::vector<std::string> Load(Container& root, const std::string& config,
                                bool* result = nullptr) {
    ErrorHandler::Instance()->ClearRecords();
    const bool loaded = root.Load(ParseConfig(config));
    if (result != nullptr) *result = loaded;
    std::vector<std::string> lines;
    if (root.IsTopLevel()) Dump(root, "", lines);
    return lines;
  }

  scratch::Folder dir_;
  i64 containersBefore_ = 0;
  i64 tagsBefore_ = 0;
};

TEST_F(ContainerTest, TheKindChoosesTheDefinition) {
  const struct {
    const char* config;
    const char* definition;
  } cases[] = {
      {"kind \"bridge\"\nheight -0.0005\n", "double-track"},
      {"kind \"bridge\"\n", "double-track"},
      {"kind \"bridge\"\nheight 0.5\n", "tunnel"},
      {"kind \"bridge\"\nheight -0.5\n", "bridge"},
      {"kind \"track\"\nkestro-build 2.8\nunit_mesh \"a.im\"\n", "mesh-reducing-track"},
      {"kind \"track\"\nkestro-build 2.8\nchunky_mesh \"a.im\"\n", "chunky-track"},
      {"kind \"track\"\nkestro-build 2.8\n", "obsolete-track"},
      {"kind \"track\"\nkestro-build 2.9\nunit_mesh \"a.im\"\n", "track"},
      {"kind \"scenery\"\ntrackside 1\n", "scenery-trackside"},
      {"kind \"Scenery\"\nkestro-build 3.5\n", "Scenery"},
  };
  for (const auto& c : cases) {
    Container root;
    bool loaded = false;
    const std::vector<std::string> lines = Load(root, c.config, &loaded);
    EXPECT_TRUE(loaded) << c.config;
    EXPECT_EQ(root.GetDefinitionName().View(), c.definition) << c.config;
    EXPECT_EQ(root.GetSiblingIndex(), 0);
  }
}

TEST_F(ContainerTest, AMissingOrUnknownKindBuildsNothing) {
  const struct {
    const char* config;
    const char* finding;
  } cases[] = {
      {"kestro-build 3.5\n", "E $tet_container_nokindtag"},
      {"kind \"nosuch\"\nkestro-build 3.5\n", "E $tet_container_nokindspecification"},
      // A definition that is not marked as a kind is none.
      {"kind \"hidden\"\nkestro-build 3.5\n", "E $tet_container_nokindspecification"},
  };
  for (const auto& c : cases) {
    Container root;
    bool loaded = true;
    EXPECT_TRUE(Load(root, c.config, &loaded).empty());
    EXPECT_FALSE(loaded);
    EXPECT_EQ(Findings(), std::vector<std::string>{c.finding}) << c.config;
  }
}

TEST_F(ContainerTest, OldBuildsAreWarnedAbout) {
  Container old;
  Load(old, "kind \"scenery\"\nkestro-build 2.69\n");
  EXPECT_TRUE(Has(Findings(), "W $tet_obsolete_asset"));
  Container current;
  Load(current, "kind \"scenery\"\nkestro-build 2.7\n");
  EXPECT_FALSE(Has(Findings(), "W $tet_obsolete_asset"));
  // Builds beyond every whole number are newer than the newest, never older than 2.7.
  const struct {
    const char* build;
    bool old;
  } far[] = {{"2147483647", false}, {"99999999999", false}, {"-2147483649", true}};
  for (const auto& c : far) {
    Container root;
    Load(root, std::string("kind \"track\"\nkestro-build ") + c.build + "\nunit_mesh \"a.im\"\n");
    EXPECT_EQ(Has(Findings(), "W $tet_obsolete_asset"), c.old) << c.build;
  }
}

// A tag's value is read straight from its node: it must read as the soup's own text conversion,
// for every kind of number a configuration holds.
TEST_F(ContainerTest, ValuesReadAsTheSoupWritesThem) {
  const std::string text =
      "kind \"scenery\"\nkestro-build 3.5\nrequired \"r\"\nbig 123456789.0\nsmall 0.0000001\n"
      "floats 1.25,-0.5,4\nwholes 1,-2,3\nlong <kuid2:400100:77:3>\nnegative <kuid:-3:12>\n";
  Container root;
  const std::vector<std::string> lines = Load(root, text);
  Soup config;
  ParseSoupText(config, text, false);
  EXPECT_TRUE(Has(lines, "  kestro-build 0 3.5"));
  EXPECT_TRUE(Has(lines, "  big 20 1.23457e+08"));
  for (const char* name : {"big", "small", "floats", "wholes", "long", "negative"}) {
    EXPECT_TRUE(Has(lines, std::string("  ") + name + " 20 " + config.GetNamedTag(name).CStr()))
        << name;
  }
}

TEST_F(ContainerTest, ValueTagsFindTheirDefinitions) {
  Container root;
  const std::vector<std::string> lines =
      Load(root,
           "kind \"scenery\"\nkestro-build 3.5\nrequired \"r\"\nitems\n{\n}\n"
           "description-de \"text\"\nusername-fr \"nom\"\nab12 5\nx12 6\na1 7\nplain12 8\n"
           "username \"u\"\nkuid <kuid:1:2>\n");
  // Head tags first; then the configuration's order.
  ASSERT_GE(lines.size(), 12u);
  EXPECT_EQ(lines[1], "  username 1 u");
  EXPECT_EQ(lines[2], "  kuid 14 <kuid:1:2>");
  EXPECT_TRUE(Has(lines, "  description-de 1 text"));
  EXPECT_TRUE(Has(lines, "  username-fr 1 nom"));
  EXPECT_TRUE(Has(lines, "  ab12 3 5"));      // "ab0" stands for it
  EXPECT_TRUE(Has(lines, "  x12 3 6"));       // "x10"
  EXPECT_TRUE(Has(lines, "  a1 20 7"));       // too short for a number
  EXPECT_TRUE(Has(lines, "  plain12 20 8"));  // "plain0" is no sequence
  const std::vector<std::string> findings = Findings();
  EXPECT_TRUE(Has(findings, "E $tet_container_nodefinition 'a1' 'scenery'"));
  EXPECT_TRUE(Has(findings, "E $tet_container_nodefinition 'plain12' 'scenery'"));
  EXPECT_EQ(findings.size(), 2u);
}

TEST_F(ContainerTest, TagTypesAndTheirFindings) {
  const struct {
    const char* config;
    const char* line;
    const char* finding;  // the one finding beside the missing "required" and "items"
  } cases[] = {
      // The legacy upgrade takes the comment out of an old configuration.
      {"kestro-build 2.4\nrem \"note\"\n", "  kestro-build 0 2.9", nullptr},
      {"kestro-build 3.0\nrem \"note\"\n", "  rem 20 note",
       "E $tet_container_nodefinition 'rem' 'scenery'"},
      {"kestro-build 2.8\ncategory-region-x \"a\"\n", "  category-region-x 20 a",
       "W $tet_container_obsoletetag 'category-region-x' 'scenery'"},
      {"kestro-build 3.5\ncategory-era-x \"a\"\n", "  category-era-x 20 a",
       "E $tet_container_obsoletetag 'category-era-x' 'scenery'"},
      {"kestro-build 3.5\nflag \"yes\"\n", "  flag 4 yes",
       "W $tet_container_notboolean 'flag' 'scenery'"},
      {"kestro-build 3.5\nflag \"\"\n", "  flag 4 ", nullptr},
      {"kestro-build 3.5\nkuid \"\"\n", "  kuid 14 <NULL>", nullptr},
  };
  for (const auto& c : cases) {
    Container root;
    const std::vector<std::string> lines =
        Load(root, std::string("kind \"scenery\"\nrequired \"r\"\nitems\n{\n}\n") + c.config);
    EXPECT_TRUE(Has(lines, c.line)) << c.config << testing::PrintToString(lines);
    std::vector<std::string> findings = Findings();
    std::erase_if(findings,
                  [](const std::string& f) { return f.find("obsolete_asset") != f.npos; });
    EXPECT_EQ(findings,
              c.finding ? std::vector<std::string>{c.finding} : std::vector<std::string>{})
        << c.config;
  }
}

TEST_F(ContainerTest, CompulsoryEntriesFromTheirBuildOn) {
  Container atBuild;
  const std::vector<std::string> lines = Load(atBuild, "kind \"scenery\"\nkestro-build 3.0\n");
  // Made with its default and reported on the tag.
  EXPECT_TRUE(Has(lines, "  required 1 fallback"));
  EXPECT_TRUE(Has(Findings(), "E $tet_container_missingtag 'required'"));
  EXPECT_TRUE(Has(Findings(), "E $tet_container_missingcontainer 'items'"));

  Container before;
  EXPECT_FALSE(Has(Load(before, "kind \"scenery\"\nkestro-build 1.99\n"), "  required 1 fallback"));
  EXPECT_TRUE(Has(Findings(), "W $tet_container_missingtag 'required'"));
  EXPECT_TRUE(Has(Findings(), "W $tet_container_missingcontainer 'items'"));

  // A smoke emitter that names a file needs no rate.
  Container smoke;
  Load(smoke,
       "kind \"scenery\"\nkestro-build 3.5\nrequired \"r\"\nitems\n{\n}\n"
       "emitter\n{\nfile \"a.pfx\"\n}\nsmoke2\n{\n}\nemitter\n{\n}\n");
  EXPECT_EQ(Findings(), std::vector<std::string>{"E $tet_container_missingtag 'rate'"});
}

TEST_F(ContainerTest, ChildContainersByTheirEntries) {
  Container root;
  bool loaded = false;
  const std::vector<std::string> lines =
      Load(root,
           "kind \"scenery\"\nkestro-build 3.5\nrequired \"r\"\n"
           "items\n{\n  first\n  {\n    name \"a\"\n  }\n  second\n  {\n    name \"b\"\n  }\n}\n"
           "things\n{\n  kind \"other-thing\"\n}\nemitter\n{\n  file \"f\"\n}\n"
           "odd\n{\n}\nunknownbox\n{\n}\n.cache\n{\n}\n",
           &loaded);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "scenery [scenery]", "  kind 1 scenery", "  kestro-build 0 3.5",
                       "  required 1 r", "  items [items]", "    first [item]", "      name 1 a",
                       "    second [item]", "      name 1 b", "  things [other-thing]",
                       "    kind 20 other-thing", "  emitter [smoke]", "    file 1 f"}));
  // Sibling indexes count every child made, in order.
  ASSERT_EQ(root.GetChildren().size(), 3u);
  EXPECT_EQ(root.GetChildren()[2]->GetSiblingIndex(), 2);
  EXPECT_EQ(Findings(),
            (std::vector<std::string>{"E $tet_container_nodefinition 'kind' 'things'",
                                      "E $tet_container_errorintemplate 'strange'",
                                      "E $tet_container_nodefinition 'unknownbox' 'scenery'",
                                      "E $tet_container_nodefinition '.cache' 'scenery'",
                                      "E $tet_container_oldcontainer"}));
  // The polymorphic child is listed under its parent's name.
  EXPECT_TRUE(DataManager::Instance().IsRegisteredName("things", "scenery"));
}

TEST_F(ContainerTest, ObsoleteContainersByTheAssetsBuild) {
  // From build 2.6 on the entry is obsolete; before, it is an allowed entry (here of no kind).
  Container current;
  Load(current, "kind \"scenery\"\nkestro-build 2.6\noldbox\n{\n}\n");
  EXPECT_TRUE(Has(Findings(), "W $tet_container_obsoletetag 'oldbox' 'scenery'"));
  Container old;
  Load(old, "kind \"scenery\"\nkestro-build 2.5\noldbox\n{\n}\n");
  EXPECT_TRUE(Has(Findings(), "E $tet_container_errorintemplate ''"));
  EXPECT_FALSE(Has(Findings(), "W $tet_container_obsoletetag 'oldbox' 'scenery'"));
}

// What the definitions look like as text, to see that a load left them as they were.
std::string DefinitionsText() {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  WriteSoupText(stream, DataManager::Instance().GetDefinitions());
  const Qel::DynamicBuffer* buffer = stream.GetBuffer();
  return std::string(reinterpret_cast<const char*>(buffer->GetData()), buffer->GetDataSize());
}

TEST_F(ContainerTest, OneAssetsLoadIsNotSeenByTheNext) {
  // A: an old asset, for which the obsolete entry becomes an allowed one. B: a current asset
  // with the same container, which must find it obsolete, as it does in a fresh process.
  const std::string assetA = "kind \"scenery\"\nkestro-build 2.4\noldbox\n{\n}\n";
  const std::string assetB = "kind \"scenery\"\nkestro-build 3.5\noldbox\n{\n}\nthings\n{\n}\n";
  std::vector<std::string> fresh;
  std::vector<std::string> freshFindings;
  {
    Container b;
    fresh = Load(b, assetB);
    freshFindings = Findings();
  }
  Write(kInheritance, kKinds, kContainers);
  const std::string before = DefinitionsText();
  {
    Container a;
    Load(a, assetA);
    EXPECT_GT(a.Definitions().CopyCount(), 0u);
  }
  EXPECT_EQ(DefinitionsText(), before);
  Container b;
  EXPECT_EQ(Load(b, assetB), fresh);
  EXPECT_EQ(Findings(), freshFindings);
  EXPECT_TRUE(Has(freshFindings, "W $tet_container_obsoletetag 'oldbox' 'scenery'"));
}

TEST_F(ContainerTest, InheritanceCyclesAreReportedAndEnd) {
  Write(R"(
a
{
  inherit
  {
    b ""
  }
  subpossibilities
  {
    froma
    {
      type "int"
    }
  }
  validation
  {
    somerule ""
  }
}
b
{
  inherit
  {
    a ""
    b ""
  }
  subpossibilities
  {
    fromb
    {
      type "int"
    }
  }
}
top
{
  top-level 1
  inherit
  {
    a ""
    b ""
  }
}
)",
        "", "");
  Container root;
  bool loaded = false;
  Load(root, "kind \"top\"\nkestro-build 3.5\nfroma 1\nfromb 2\n", &loaded);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(Findings(),
            (std::vector<std::string>{"E $tet_container_inheritcycle 'a' 'a > b > a'",
                                      "E $tet_container_inheritcycle 'b' 'b > b'",
                                      "E $tet_container_nodefinition 'kind' 'top'",
                                      "E $tet_container_nodefinition 'kestro-build' 'top'"}));
  // Each definition merged once, the grandparent before the parent.
  EXPECT_EQ(root.GetInheritedDefinitionNames(), (std::vector<Qel::PString>{"a", "b"}));
}

TEST_F(ContainerTest, DeletingContainersLeavesNoListHoldingThem) {
  Container root;
  Load(root,
       "kind \"scenery\"\nkestro-build 3.5\nrequired \"r\"\n"
       "things\n{\n  kind \"thing\"\n  size 1\n}\nitems\n{\n  a\n  {\n  }\n  b\n  {\n  }\n}\n");
  DataManager& manager = DataManager::Instance();
  ASSERT_TRUE(manager.IsRegisteredName("things", "scenery"));
  ASSERT_TRUE(manager.IsRegisteredName("a", "items"));
  ASSERT_EQ(root.GetChildren().size(), 2u);

  // A child deleted alone leaves its parent's list and the registry.
  Container* things = root.GetChildren()[0];
  delete things;
  ASSERT_EQ(root.GetChildren().size(), 1u);
  EXPECT_EQ(root.GetChildren()[0]->GetName().View(), "items");
  EXPECT_FALSE(manager.IsRegisteredName("things", "scenery"));

  // A container deleted with its children: they leave while the list is not being walked.
  Container* items = root.GetChildren()[0];
  const i64 alive = Container::LiveCount();
  delete items;
  EXPECT_EQ(Container::LiveCount(), alive - 3);
  EXPECT_TRUE(root.GetChildren().empty());
  EXPECT_FALSE(manager.IsRegisteredName("a", "items"));
  EXPECT_FALSE(manager.IsRegisteredName("b", "items"));
}

TEST_F(ContainerTest, FailedLoadsReleaseEverything) {
  const char* configs[] = {
      // A child whose definition does not exist ends the load.
      "kind \"scenery\"\nkestro-build 3.5\nflag 1\nitems\n{\n  a\n  {\n  }\n}\nbroken\n{\n}\n",
      // A load that succeeds with a finding deep in the tree.
      "kind \"scenery\"\nkestro-build 3.5\nitems\n{\n  a\n  {\n    name \"n\"\n    inner\n    {\n"
      "    }\n  }\n}\nthings\n{\n  kind \"thing\"\n}\n",
  };
  for (const char* config : configs) {
    const i64 containers = Container::LiveCount();
    const i64 tags = Tag::LiveCount();
    {
      Container root;
      bool loaded = true;
      Load(root, config, &loaded);
      const bool broken = std::string(config).find("broken") != std::string::npos;
      EXPECT_EQ(loaded, !broken) << config;
      EXPECT_TRUE(
          Has(Findings(), broken ? "E $tet_container_nocontainerdefinition 'no-such-definition'"
                                 : "E $tet_container_nodefinition 'inner' 'a'"));
    }
    EXPECT_EQ(Container::LiveCount(), containers);
    EXPECT_EQ(Tag::LiveCount(), tags);
    // A container's first finding goes with it.
    EXPECT_FALSE(Has(Findings(), "E $tet_container_nodefinition 'inner' 'a'"));
  }
}

TEST_F(ContainerTest, NestingDeeperThanASoupMayBeIsNotFollowed) {
  Write(R"(
node
{
  top-level 1
  subpossibilities
  {
    node
    {
      kind "element"
      element-type "node"
    }
  }
}
)",
        "", "");
  // Built in memory: the text reader would stop at its own limit first.
  Soup config;
  config.EnsureContainer();
  config.SetNamedTag("kind", "node");
  Soup level = config;
  for (u32 i = 0; i < kMaxSoupDepth + 200; ++i) {
    Soup inner;
    inner.EnsureContainer();
    level.SetNamedSoup("node", inner);
    level = inner;
  }
  ErrorHandler::Instance()->ClearRecords();
  {
    Container root;
    EXPECT_TRUE(root.Load(config));
    u32 depth = 0;
    for (const Container* at = &root; !at->GetChildren().empty(); at = at->GetChildren()[0])
      ++depth;
    EXPECT_EQ(depth, kMaxSoupDepth);
    EXPECT_TRUE(Has(Findings(), "E $tet_container_nodefinition 'node' 'node'"));
  }
}

TEST(TagTest, FloatListsSplitAtEverySpaceAndComma) {
  const struct {
    const char* text;
    std::vector<f32> values;
  } cases[] = {
      {"", {0.0f}},
      {"1 2 3", {1, 2, 3}},
      {"1 2 3 ", {1, 2, 3, 0}},
      {"0.5,0.25", {0.5f, 0.25f}},
      {"0.5, 0.25", {0.5f, 0.0f, 0.25f}},
  };
  for (const auto& c : cases) EXPECT_EQ(TETLib::ParseFloatList(c.text), c.values) << c.text;
}

bool Fails(Tag* tag, Soup*) {
  tag->index += 100;
  return false;
}
bool Passes(Tag* tag, Soup*) {
  tag->index += 1;
  return true;
}

TEST(TagTest, EveryRuleRunsAndAllMustPass) {
  Tag tag(0, nullptr, "t");
  EXPECT_TRUE(tag.RunTagRules());
  tag.ruleFunctions = {Fails, Passes};
  tag.ruleParameters.resize(2);
  EXPECT_FALSE(tag.RunTagRules());
  EXPECT_EQ(tag.index, 101);
}

TEST(TagTest, DeletingATagTakesOnlyItsFirstFinding) {
  ErrorHandler::CreateInstance();
  auto* tag = new Tag(0, nullptr, "t");
  ErrorHandler::Instance()->AddError("first", tag);
  ErrorHandler::Instance()->AddWarning("second", tag);
  delete tag;
  ASSERT_EQ(ErrorHandler::Instance()->GetRecords().size(), 1u);
  EXPECT_EQ(ErrorHandler::Instance()->GetRecords()[0]->key.View(), "second");
  ErrorHandler::DestroyInstance();
}

}  // namespace


TEST(CompulsoryEntriesTest, ManyNamesKeepTheirLastBuildAndLeaveInAnyOrder) {
  // More than a level holds in place: the entries move to the heap, all of them together.
  for (const int count : {3, 8, 9, 20}) {
    SCOPED_TRACE(count);
    TETLib::CompulsoryEntries entries;
    std::vector<std::pair<Qel::PString, f32>> want;
    for (int i = count - 1; i >= 0; --i) {
      const Qel::PString name("n" + std::to_string(100 + i));
      entries.Set(name, 1.0f);
      entries.Set(name, f32(i));
      want.emplace_back(name, f32(i));
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(entries.Sorted(), want);
    // Erased from the front, the back and the middle, and once more when gone.
    for (const size_t at : {size_t(0), want.size() - 1, want.size() / 2}) {
      if (at >= want.size()) continue;
      entries.Erase(want[at].first);
      entries.Erase(want[at].first);
      want.erase(want.begin() + long(at));
      EXPECT_EQ(entries.Sorted(), want);
    }
    for (const auto& [name, build] : want) entries.Erase(name);
    EXPECT_TRUE(entries.Sorted().empty());
    entries.Set("again", 2.0f);
    EXPECT_EQ(entries.Sorted(), (std::vector<std::pair<Qel::PString, f32>>{{"again", 2.0f}}));
  }
}

TEST(TagLookupTest, TheFirstOfANameAnswersAndOthersGetTheFallback) {
  TETLib::TagLookup lookup;
  const TETLib::EntryFacts first;
  const TETLib::EntryFacts second;
  const TETLib::EntryFacts fallback;
  Soup definition;
  definition.EnsureContainer();
  Soup other;
  other.EnsureContainer();
  // Nothing added: the facts of no entry.
  EXPECT_EQ(lookup.Find("a").facts, &TETLib::NoEntryFacts());
  lookup.SetFallback(other, fallback);
  for (int i = 0; i < 200; ++i) lookup.Add(Qel::PString("n" + std::to_string(i)), definition, first);
  lookup.Add("n7", other, second);
  lookup.Add("", other, second);
  lookup.Add("", definition, first);
  EXPECT_EQ(lookup.Size(), 201u);
  for (int i = 0; i < 200; ++i) {
    const auto& found = lookup.Find(Qel::PString("n" + std::to_string(i)));
    EXPECT_EQ(found.facts, &first) << i;
    EXPECT_EQ(found.definition.GetRoot(), definition.GetRoot()) << i;
  }
  EXPECT_EQ(lookup.Find("").facts, &second);
  EXPECT_EQ(lookup.Find("n200").facts, &fallback);
  EXPECT_EQ(lookup.Find("n200").definition.GetRoot(), other.GetRoot());
}

// Containers share what their definition's facts hold until one of them changes it; the change
// is that container's alone.
TEST_F(ContainerTest, SharedChildListsAndRulesChangeOnlyForTheirContainer) {
  const std::string containers = std::string(kContainers) +
                                 "ruled\n{\n  validation\n  {\n    uniquenames \"\"\n  }\n}\n";
  Write(kInheritance, kKinds, containers.c_str());
  const std::vector<std::string> allowed = {"items", "broken"};
  const auto names = [](const Container& c) {
    std::vector<std::string> out;
    for (const Qel::PString& name : c.GetAllowedChildNames()) out.emplace_back(name.View());
    return out;
  };
  Container first;
  Container second;
  Load(first, "kind \"scenery\"\nkestro-build 3.5\n");
  Load(second, "kind \"scenery\"\nkestro-build 3.5\n");
  EXPECT_EQ(names(first), allowed);
  EXPECT_EQ(first.GetAllowedChildDefinitions().size(), 2u);

  first.RegisterAllowedChild("extra", "thing");
  first.RegisterAllowedChild("items", "thing");
  EXPECT_EQ(names(first), (std::vector<std::string>{"items", "broken", "extra"}));
  EXPECT_EQ(first.GetAllowedChildDefinitions().size(), 3u);
  EXPECT_EQ(names(second), allowed);
  // Building again from the same definition adds nothing already allowed.
  second.BuildChildren(DataManager::Instance().GetDefinitions().GetNamedSoup("scenery"), true);
  EXPECT_EQ(names(second), allowed);
  Container third;
  Load(third, "kind \"scenery\"\nkestro-build 3.5\n");
  EXPECT_EQ(names(third), allowed);
  // Inherited names are added once more by each build.
  EXPECT_EQ(second.GetInheritedDefinitionNames(), (std::vector<Qel::PString>{"base", "base"}));
  EXPECT_EQ(third.GetInheritedDefinitionNames(), (std::vector<Qel::PString>{"base"}));

  const Soup ruled = DataManager::Instance().GetDefinitions().GetNamedSoup("ruled");
  first.AttachContainerRules(ruled, &first);
  second.AttachContainerRules(ruled, &second);
  EXPECT_EQ(first.GetRuleCount(), 1u);
  first.AttachContainerRules(ruled, &first);
  EXPECT_EQ(first.GetRuleCount(), 2u);
  EXPECT_EQ(second.GetRuleCount(), 1u);
  EXPECT_TRUE(second.RunContainerRules());
  EXPECT_TRUE(first.RunContainerRules());
}

TEST_F(ContainerTest, ListValuesAreFoundInTheirSourceIgnoringCase) {
  dir_.Put("tet/lists/eras", "1900s\nEra Two\n");
  Write(kInheritance, kKinds, kContainers);
  Soup eras;
  ParseSoupText(eras, "source \"eras\"\n", false);
  Soup unknown;
  ParseSoupText(unknown, "source \"none\"\n", false);
  const struct {
    const char* value;
    bool combo;
    bool list;
  } cases[] = {{"1900S", true, true},  {"era two", true, true},   {"era", false, false},
               {"x;1900s", false, true}, {";;era TWO;", false, true}, {";;", false, false},
               {"1900s ", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(TETLib::IsComboBoxValueInSource(c.value, eras), c.combo) << c.value;
    EXPECT_EQ(TETLib::IsListBoxValueInSource(c.value, eras), c.list) << c.value;
    EXPECT_FALSE(TETLib::IsListBoxValueInSource(c.value, unknown)) << c.value;
  }
}
