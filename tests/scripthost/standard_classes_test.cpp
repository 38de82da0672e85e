// The KUID, KUIDList, Soup, HTMLBuffer, StringTable, LinkedList and ConstructorsBase natives and
// message payloads, driven from a compiled script in a set-up script system.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/include_path_list.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "gsruntime/script_run_fixture.h"
#include "scripthost/gso_html_buffer.h"
#include "scripthost/gso_kuid.h"
#include "scripthost/gso_kuid_list.h"
#include "scripthost/gso_soup.h"
#include "scripthost/gso_string_table.h"
#include "scripthost/script_probe.h"
#include "scripthost/script_system.h"
#include "scripthost/standard_natives.h"
#include "support/scratch_folder.h"

namespace {

using GSRuntime::ScriptArgument;

constexpr const char* kProbe = R"(include "Kestro.gs"

class Probe isclass GameObject {
  public string heard = "";
  Soup kept;
  KUIDList keptList;
  KUID keptKUID;
  StringTable table;

  Soup NewSoup() { return ConstructorsBase.NewSoup(); }
  KUID Parse(string text) {
    Soup s = NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }

  public string Names() {
    Soup s = NewSoup();
    s.SetNamedTag("MixedCase", 3);
    s.SetNamedTag("f", 2.5);
    return s.GetIndexedTagName(0) + "," + s.GetNamedTagAsInt("MIXEDCASE") + "," +
           s.GetIndexForNamedTag("mixedCASE") + "," + s.GetIndexForNamedTag("none") + "," +
           s.GetNamedTagAsInt("none", 9) + "," + s.GetNamedTagAsFloat("F") + "," +
           s.GetNamedTagAsFloat("none", 1.25) + "," + s.GetNamedTag("MixedCase") + "," +
           s.GetIndexedTagName(-1) + "," + s.GetIndexedTagName(5);
  }

  public string Children() {
    Soup s = NewSoup();
    Soup absent = s.GetNamedSoup("none");
    s.SetNamedTag("x", 1);
    s.GetNamedSoupAdd("X").SetNamedTag("y", 2);
    Soup shared = NewSoup();
    s.SetNamedSoup("T", shared);
    shared.SetNamedTag("z", 5);
    Soup unique = NewSoup();
    unique.SetNamedSoup("0", NewSoup());
    unique.SetNamedSoup("2", NewSoup());
    unique.AddUniqueNamedSoup(NewSoup());
    Soup locked = s.GetLockedReference();
    s.SetNamedTag("late", 4);
    return (absent != null) + "," + absent.CountTags() + "," + s.GetNamedSoup("x").GetNamedTagAsInt("y") +
           "," + s.GetNamedSoup("t").GetNamedTagAsInt("Z") + "," + unique.GetIndexedTagName(2) + "," +
           locked.IsLocked() + "," + locked.GetNamedSoup("x").IsLocked() + "," +
           locked.GetNamedSoup("none").IsLocked() + "," + (locked.GetLockedReference() == locked) +
           "," + locked.GetNamedTagAsInt("late") + "," + s.IsLocked();
  }

  public string KUIDs() {
    Soup s = NewSoup();
    KUID none = null;
    s.SetNamedTag("n", none);
    s.SetNamedTag("k", "<kuid:1:2>");
    KUIDList list = ConstructorsBase.NewKUIDList();
    list.AddKUID(s.GetNamedTagAsKUID("k"));
    return (s.GetNamedTagAsKUID("absent") == null) + "," + (s.GetNamedTagAsKUID("n") == null) +
           "," + (list.GetIndexedKUID(0) == list.GetIndexedKUID(0)) + "," +
           (list.GetIndexedKUID(0) == s.GetNamedTagAsKUID("K"));
  }

  public string Texts(string text) {
    KUID k = Parse(text);
    KUID base = k.GetBaseKUID();
    return k.GetHTMLString() + "|" + k.GetLogString() + "|" + k.GetBaseString() + "|" +
           base.GetHTMLString() + "|" + k.GetName();
  }

  public string Lists() {
    KUIDList a = ConstructorsBase.NewKUIDList();
    a.AddKUID(Parse("<kuid:1:1>"));
    a.AddKUID(Parse("<kuid:1:2>"));
    a.AddKUID(Parse("<kuid:1:1>"));
    a.AddKUID(Parse("<kuid2:1:1:3>"));
    a.RemoveKUID(Parse("<kuid:9:9>"));
    a.RemoveKUID(Parse("<kuid:1:2>"));
    a.Copy(a);
    KUIDList b = ConstructorsBase.NewKUIDList();
    b.AddKUID(Parse("<kuid:5:5>"));
    b.Copy(a);
    return a.CountKUIDs() + "," + a.GetIndexedKUID(1).GetHTMLString() + "," + b.CountKUIDs() + "," +
           b.HasKUID(Parse("<kuid2:1:1:3>")) + "," + b.HasKUID(Parse("<kuid:5:5>")) + "," +
           a.IsLocked();
  }
  // Results handed straight on as arguments, through slots other classes fill differently.
  public string Passed() {
    KUIDList a = ConstructorsBase.NewKUIDList();
    a.AddKUID(Parse("<kuid:1:1>"));
    KUIDList b = ConstructorsBase.NewKUIDList();
    b.Copy(ConstructorsBase.NewKUIDList());
    b.Copy(a);
    return b.CountKUIDs() + "," + b.HasKUID(a.GetIndexedKUID(0));
  }
  public void Index(int count, int index) {
    KUIDList a = ConstructorsBase.NewKUIDList();
    if (count > 0) a.AddKUID(Parse("<kuid:1:1>"));
    a.GetIndexedKUID(index);
  }

  public void Keep() {
    kept = NewSoup();
    kept.SetNamedTag("a", 1);
    kept.GetNamedSoupAdd("child").SetNamedTag("b", 2);
  }
  public string Kept() { return kept.AsString(); }
  // Each mutating native on a locked view of `kept`, and the refused sub-soups.
  public void Mutate(int which) {
    Soup l = kept.GetLockedReference();
    KUID k = Parse("<kuid:1:2>");
    Soup other = NewSoup();
    if (which == 0) l.GetNamedSoupAdd("x");
    if (which == 1) l.SetNamedTag("x", "text");
    if (which == 2) l.SetNamedTag("x", 1.5);
    if (which == 3) l.SetNamedTag("x", 1);
    if (which == 4) l.SetNamedTag("x", k);
    if (which == 5) l.SetNamedSoup("x", other);
    if (which == 6) l.RemoveNamedTag("a");
    if (which == 7) l.Copy(other);
    if (which == 8) l.Clear();
    if (which == 9) l.AddUniqueNamedSoup(other);
    if (which == 10) l.GetNamedSoup("child").SetNamedTag("b", 3);
    if (which == 11) kept.SetNamedSoup("x", l);
    if (which == 12) kept.AddUniqueNamedSoup(l);
    if (which == 13) kept.SetNamedSoup("x", kept);
    if (which == 14) kept.GetNamedSoup("child").SetNamedSoup("up", kept);
    if (which == 15) kept.AddUniqueNamedSoup(kept);
    if (which == 16) kept.SetNamedTag("", 1);
  }

  public void UseList(KUIDList l) { keptList = l; }
  public string ListState() {
    return keptList.IsLocked() + "," + keptList.CountKUIDs() + "," +
           keptList.HasKUID(Parse("<kuid:7:7>")) + "," + keptList.GetIndexedKUID(0).GetHTMLString();
  }
  public void MutateList(int which) {
    KUIDList empty = ConstructorsBase.NewKUIDList();
    if (which == 0) keptList.AddKUID(Parse("<kuid:8:8>"));
    if (which == 1) keptList.RemoveKUID(Parse("<kuid:7:7>"));
    if (which == 2) keptList.Copy(empty);
    if (which == 3) keptList.Clear();
  }

  public string Html() {
    HTMLBuffer h = HTMLBufferStatic.Construct();
    string before = "" + h.IsEmpty();
    h.Print("<b>");
    string printed = "" + h.IsEmpty();
    h.Escape("");
    string empty = "" + h.IsEmpty();
    h.Escape("x & y");
    string result = before + "," + printed + "," + empty + "," + h.IsEmpty() + "," + h.AsString();
    h.Clear();
    return result + "," + h.IsEmpty() + "," + h.AsString();
  }

  public void UseTable(StringTable t) { table = t; }
  public string Strings(int index, string value, string name) {
    table.SetParam(index, value);
    return table.GetString(name);
  }
  public string Language() { return table.GetLanguage(); }
  public string Cleared(string name) {
    table.ClearParams();
    return table.GetString(name);
  }

  // Records named by the letters of `names` ("-" for no name), numbered in order, sorted.
  public string Sort(string names) {
    LinkedData[] records = new LinkedData[0];
    LinkedList list = new LinkedList();
    int i;
    for (i = 0; i < names.size(); i++) {
      LinkedData d = new LinkedData();
      if (names[i] != '-') d.name = names[i, i + 1];
      d.number = i;
      list.AddInternal(records, d, false);
    }
    list.SortInternal(records);
    string order = "";
    for (i = 0; i < records.size(); i++) order = order + records[i].number;
    return order;
  }
  public int Add() {
    LinkedData[] records = new LinkedData[0];
    LinkedList list = new LinkedList();
    LinkedData a = new LinkedData();
    a.name = "a";
    a.item = me;
    LinkedData same = new LinkedData();
    same.name = "a";
    same.item = me;
    LinkedData other = new LinkedData();
    other.name = "a";
    other.number = 1;
    other.item = me;
    list.AddInternal(records, a, true);
    list.AddInternal(records, same, true);
    list.AddInternal(records, other, true);
    list.AddInternal(records, null, false);
    list.AddInternal(records, a, false);
    return records.size();
  }

  void OnPing(Message m) {
    Soup p = cast<Soup> m.payload;
    if (p == null) {
      heard = heard + m.minor + ":none;";
      return;
    }
    heard = heard + m.minor + ":" + p.CountTags() + ":" + p.GetNamedTagAsInt("v") + ":" +
            p.GetIndexForNamedTag("__secret") + ":" + p.IsLocked() + ";";
  }
  // On a thread of its own: a handler or a call from outside runs on the static thread, which
  // may not send.
  public thread void Send() {
    AddHandler(me, "Ping", "", "OnPing");
    kept = NewSoup();
    kept.SetNamedTag("v", 5);
    kept.SetNamedTag("__secret", 1);
    kept.SetNamedTag("w", 6);
    SendMessage(me, "Ping", "sent", kept);
    PostMessage(me, "Ping", "posted", kept, 0.0);
    PostMessage(me, "Ping", "plain", 0.0);
    KUIDList notASoup = ConstructorsBase.NewKUIDList();
    PostMessage(me, "Ping", "list", notASoup, 0.0);
    heard = heard + "kept:" + kept.CountTags() + ";";
  }

  public string Heard() { return heard; }

  public void KeepKUID(string text) { keptKUID = Parse(text); }
  public string KeptKUID() { return keptKUID.GetHTMLString(); }
};
)";

// The probe library, compiled once for the suite.
const scratch::Folder& ProbeFolder() {
  // Compiled once for the process; removed as it ends.
  static const std::unique_ptr<scratch::Folder> folder = script_probe::Compile("probe.gs", kProbe);
  return *folder;
}

class StandardClassesTest : public ::testing::Test, public script_probe::ProbeCalls {
 protected:
  void SetUp() override {
    gs_test::LogLines().clear();
    GSMachine::SetLogHook(gs_test::CaptureLine);
    probeClass_ = script_probe::SetUp(ProbeFolder(), "probe.gsl");
    ASSERT_TRUE(probe_.Create(probeClass_));
  }
  void TearDown() override {
    probe_.Destroy();
    script_probe::TearDown();
    GSMachine::SetLogHook(nullptr);
  }
  // Hands a host-made object (a counted reference) to a method taking one object.
  void Give(const std::string& signature, GSRuntime::GSHandle object) {
    ASSERT_NE(object, 0u);
    ASSERT_TRUE(GSRuntime::CallScriptMethod(probe_.Reference(), signature, nullptr, {object}));
  }
  void Tick() {
    for (int i = 0; i < 3; ++i) probe_.Context()->router->Tick(0.1f);
  }
};

TEST_F(StandardClassesTest, SoupNamesAreCaseInsensitiveAndMissingTagsGiveTheDefaults) {
  EXPECT_EQ(Text("Names"), "mixedcase,3,0,-1,9,2.500000,1.250000,3,,");
}

TEST_F(StandardClassesTest, SoupChildrenAreSharedTreesAndLockedViewsLockTheirChildren) {
  EXPECT_EQ(Text("Children"), "true,0,2,5,1,true,true,true,true,4,false");
}

TEST_F(StandardClassesTest, KUIDObjectsAreOnePerValueAndTheNullKUIDReadsAsNull) {
  EXPECT_EQ(Text("KUIDs"), "true,true,true,true");
}

TEST_F(StandardClassesTest, KUIDTextsInEveryForm) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"<kuid2:123:456:3>", "<kuid2:123:456:3>|<kuid2:123:456:3>|<kuid:123:456>|<kuid:123:456>|"},
      {"<kuid:123:456>", "<kuid:123:456>|<kuid:123:456>|<kuid:123:456>|<kuid:123:456>|"},
      {"<kuid:-5:7>", "<kuid:-5:7>|<kuid:-5:7>|<kuid:-5:7>|<kuid:-5:7>|"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Text("Texts", {ScriptArgument::String(c.text)}), c.expected);

  const struct {
    KUID kuid;
    KUID base;
  } bases[] = {
      {{123, 456, 3}, {123, 456, 0}},
      {{-5, 7, 127}, {-5, 7, 127}},
      {{KUID::kMaxUserId + 1, 1, 2}, KUID::Null()},
      {{KUID::kMinUserId - 1, 1, 127}, KUID::Null()},
      {{KUID::kMinUserId, 1, 127}, {KUID::kMinUserId, 1, 127}},
  };
  for (const auto& b : bases)
    EXPECT_EQ(GSOKUID::BaseOf(b.kuid), b.base) << b.kuid.ToString().CStr();
}

TEST_F(StandardClassesTest, KUIDListsStayDistinctAndACopyOntoItselfKeepsTheList) {
  EXPECT_EQ(Text("Lists"), "2,<kuid2:1:1:3>,2,true,false,false");
  EXPECT_EQ(Text("Passed"), "1,true");
  for (const auto& [count, index] : {std::pair{0, 0}, {1, -1}, {1, 1}}) {
    EXPECT_EQ(Failure("Index", {ScriptArgument::Int(count), ScriptArgument::Int(index)}),
              "KUIDList.GetIndexedKUID> index out of range")
        << count << " " << index;
  }
}

TEST_F(StandardClassesTest, EveryMutatingSoupNativeOnALockedSoupRaisesItsTextAndChangesNothing) {
  ASSERT_NE(Text("Keep"), "<failed>");
  const std::string before = Text("Kept");
  ASSERT_EQ(before.substr(0, 3), "\xEF\xBB\xBF");
  const char* const expected[] = {
      "Soup.GetNamedSoupAdd> parent soup is locked",
      "Soup.SetNamedTag> parent soup is locked",
      "Soup.SetNamedTag> parent soup is locked",
      "Soup.SetNamedTag> parent soup is locked",
      "Soup.SetNamedKUID> parent soup is locked",
      "Soup.SetNamedTag> parent soup is locked",
      "Soup.RemoveNamedTag> parent soup is locked",
      "Soup.Copy> parent soup is locked",
      "Soup.Clear> parent soup is locked",
      "Soup.AddUniqueNamedSoup> parent soup is locked",
      "Soup.SetNamedTag> parent soup is locked",
      "Soup.SetNamedTag> sub-soup parameter is locked",
      "Soup.AddUniqueNamedSoup> sub-soup parameter is locked",
      "Soup.SetNamedSoup> sub-soup would contain its parent",
      "Soup.SetNamedSoup> sub-soup would contain its parent",
      "Soup.AddUniqueNamedSoup> sub-soup would contain its parent",
      "Soup.SetNamedTag> empty string at parameter 1",
  };
  for (int which = 0; which < int(std::size(expected)); ++which) {
    EXPECT_EQ(Failure("Mutate", {ScriptArgument::Int(which)}), expected[which]) << which;
    EXPECT_EQ(Text("Kept"), before) << which;
  }
}

TEST_F(StandardClassesTest, ALockedKUIDListRefusesEveryChangeAndStillReads) {
  GSOKUIDList::List source;
  source.PushBack(KUID(7, 7, 0));
  source.PushBack(KUID(8, 8, 1));
  Give("$void@Probe::UseList(KUIDList)", GSOKUIDList::New(probe_.Context(), &source));
  const std::string state = "true,2,true,<kuid:7:7>";
  EXPECT_EQ(Text("ListState"), state);
  const char* const expected[] = {"KUIDList.Copy> list is locked", "KUIDList.Copy> list is locked",
                                  "KUIDList.Copy> list is locked",
                                  "KUIDList.Clear> list is locked"};
  for (int which = 0; which < 4; ++which) {
    EXPECT_EQ(Failure("MutateList", {ScriptArgument::Int(which)}), expected[which]) << which;
    EXPECT_EQ(Text("ListState"), state) << which;
  }
}

TEST_F(StandardClassesTest, HTMLBufferEscapesMarkupAndLineEnds) {
  EXPECT_EQ(Text("Html"), "true,true,true,false,<b>x &amp; y,true,");
  const struct {
    const char* text;
    const char* escaped;
  } cases[] = {
      {"a<b & c>d", "a&lt;b &amp; c&gt;d"},
      {"x\r\ny", "x<br>y"},
      {"x\n\ry", "x<br>y"},
      {"x\r\ry", "x<br><br>y"},
      {"x\n\ny", "x<br><br>y"},
      {"\"q\"'", "\"q\"'"},
  };
  for (const auto& c : cases) {
    HTMLBuffer buffer;
    buffer.Escape(c.text);
    EXPECT_EQ(buffer.Text(), c.escaped) << c.text;
  }
}

TEST_F(StandardClassesTest, StringTableParametersAreNotExpandedAgain) {
  const Qel::PString params[GSOStringTable::kParamCount] = {"A$1", "B"};
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"x$0y", "xA$1y"}, {"$1$0", "BA$1"}, {"100$$", "100$"}, {"a$", "a$"},
      {"$a", "$a"},      {"$$0", "$0"},    {"$9.", "."},      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GSOStringTable::Substitute(c.text, params), c.expected);
}

TEST_F(StandardClassesTest, AStringTableKeepsItsConfigurationsTablesAndChecksItsIndex) {
  {
    Soup config;
    config.SetNamedTag("name", Qel::PString("thing"));
    Soup strings = config.GetNamedSoup("string-table");
    strings.EnsureContainer();
    strings.SetNamedTag("greeting", Qel::PString("Hello $0, $$5"));
    config.SetNamedSoup("string-table", strings);
    Give("$void@Probe::UseTable(StringTable)",
         GSOStringTable::New(probe_.Context(), nullptr, config));
    // The configuration goes, as it would with its asset; the table still reads its strings.
  }
  EXPECT_EQ(Text("Strings", {ScriptArgument::Int(0), ScriptArgument::String("World"),
                             ScriptArgument::String("GREETING")}),
            "Hello World, $5");
  EXPECT_EQ(Text("Strings", {ScriptArgument::Int(9), ScriptArgument::NullString(),
                             ScriptArgument::String("missing")}),
            "");
  EXPECT_EQ(Text("Cleared", {ScriptArgument::String("greeting")}), "Hello , $5");
  EXPECT_EQ(Text("Language"), "english");
  for (int index : {10, -1}) {
    EXPECT_EQ(Failure("Strings", {ScriptArgument::Int(index), ScriptArgument::String("x"),
                                  ScriptArgument::String("greeting")}),
              "StringTable.SetParam> index (" + std::to_string(index) + ") out of range (0..9)");
  }
}

TEST_F(StandardClassesTest, LinkedListSortsByNameAndAddsOnlyRecordsThatDiffer) {
  const struct {
    const char* names;
    const char* order;
  } cases[] = {
      {"cab", "120"},
      {"aaaa", "0123"},  // equal names keep their order
      {"b-a-", "1320"},  // no name sorts first
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Text("Sort", {ScriptArgument::String(c.names)}), c.order);
  i32 added = 0;
  ASSERT_TRUE(probe_.Call("Add", {}, &added));
  EXPECT_EQ(added, 3);
}

TEST_F(StandardClassesTest, AHandlerReceivesACopyOfThePayloadWithoutPrivateTags) {
  ASSERT_TRUE(GSRuntime::CallScriptMethod(probe_.Reference(), "$void@Probe::Send()", nullptr, {}));
  Tick();
  // Unlocked copies; the sender's soup keeps its private tag; a payload that is no soup sends
  // no payload.
  EXPECT_EQ(Text("Heard"), "sent:2:5:-1:false;kept:3;posted:2:5:-1:false;plain:none;list:none;");
  EXPECT_TRUE(script_probe::Errors().empty()) << script_probe::Errors().front();
}

// Two contexts each hold the object of one KUID; either may go first.
TEST_F(StandardClassesTest, TwoContextsShareAKUIDValueAndEndInEitherOrder) {
  const auto prepare = [](GSRuntime::ScriptObjectHolder& first,
                          GSRuntime::ScriptObjectHolder& second) {
    for (GSRuntime::ScriptObjectHolder* holder : {&first, &second}) {
      ASSERT_EQ(Text(*holder, "KeepKUID", {ScriptArgument::String("<kuid2:3:4:5>")}), "<null>");
    }
    const GSRuntime::GSHandle a = GSOKUID::Wrap(first.Context(), KUID(3, 4, 5));
    const GSRuntime::GSHandle b = GSOKUID::Wrap(second.Context(), KUID(3, 4, 5));
    EXPECT_FALSE(GSRuntime::ObjectBridge::SameObject(a, b));
    GSRuntime::ObjectBridge::ReleaseIfSet(a);
    GSRuntime::ObjectBridge::ReleaseIfSet(b);
  };
  script_probe::EndInEitherOrder(probeClass_, nullptr, prepare,
                                 [](GSRuntime::ScriptObjectHolder& late) {
                                   EXPECT_EQ(Text(late, "KeptKUID"), "<kuid2:3:4:5>");
                                 });
}

}  // namespace
