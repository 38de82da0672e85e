#include "assetdata/interface_text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "core/app_globals.h"
#include "core/read_write_lock.h"
#include "qel/file.h"
#include "qel/file_volume.h"
#include "qel/log.h"
#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

constexpr char kCompiledFailed[] = "InterfaceTextDB> failed to load compiled interfacetext file";
constexpr char kUnreadable[] = "InterfaceTextDB> Unable to read interface file";

size_t CountOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// A "data" volume in a scratch folder, English chosen and the tables marked for reloading,
// with the log going to a file of the folder.
class InterfaceTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Qel::SetVolume("data", dir_.At("data").c_str());
    ASSERT_TRUE(Qel::Log::SetToFile(dir_.At("test.log").c_str()));
    InterfaceTextDB::SetLanguage("US");
    InterfaceTextDB::Invalidate();
  }

  void TearDown() override {
    Qel::Log::SetToStdOut(false);
    InterfaceTextDB::SetLanguage(nullptr);
    InterfaceTextDB::Invalidate();
    Qel::SetVolume("data", nullptr);
  }

  void PutText(const std::string& name, const std::string& text) { dir_.Put("data/" + name, text); }

  void PutCompiled(const std::string& name, const std::map<std::string, std::string>& texts) {
    Soup soup;
    soup.EnsureContainer();
    for (const auto& [key, text] : texts) soup.SetNamedTag(Qel::PString(key), text.c_str());
    ASSERT_TRUE(soup.SaveFile(nullptr, dir_.At("data/" + name).c_str(), nullptr));
  }

  std::string Log() const { return dir_.Read("test.log"); }

  scratch::Folder dir_;
};

TEST_F(InterfaceTextTest, CompiledTableFirstThenTextThenTheKeyItself) {
  EXPECT_EQ(GetInterfaceString("$misc_noname"), "$misc_noname");
  EXPECT_EQ(InterfaceTextDB::Instance().GetString("$misc_noname", false), Qel::PString());
  EXPECT_EQ(CountOf(Log(), kCompiledFailed), 1u);
  EXPECT_EQ(CountOf(Log(), "InterfaceTextDB> Unable to read interface file 'InterfaceText.chump'"),
            1u);

  PutText("InterfaceText.txt", "$greeting \"Hello, $(NAME).\"\n");
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(GetInterfaceString("$greeting"), "Hello, $(NAME).");
  EXPECT_EQ(CountOf(Log(), kCompiledFailed), 2u);  // once per load
  EXPECT_EQ(CountOf(Log(), kUnreadable), 1u);

  PutCompiled("InterfaceText.chump", {{"$greeting", "compiled"}});
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(GetInterfaceString("$greeting"), "compiled");
  EXPECT_EQ(CountOf(Log(), kCompiledFailed), 2u);
}

TEST_F(InterfaceTextTest, LooksUpKeysAndSections) {
  PutText("InterfaceText.txt",
          "$top \"top text\"\n"
          "$number 12\n"
          "scenario_text\n{\n  $scene \"scene text\"\n}\n"
          "olbek_map_text\n{\n  $map \"map text\"\n}\n");
  InterfaceTextDB& db = InterfaceTextDB::Instance();
  // A section key is not a top-level key, and only the scenario section is searched by
  // GetScenarioString. Columns: key, GetString with and without the key as fallback, scenario.
  const char* const cases[][4] = {
      {"$top", "top text", "top text", ""},
      {"$number", "12", "12", ""},
      {"", "", "", ""},
      {"$absent", "$absent", "", ""},
      {"$scene", "$scene", "", "scene text"},
      {"$map", "$map", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(db.GetString(c[0], true).View(), c[1]) << c[0];
    EXPECT_EQ(db.GetString(c[0], false).View(), c[2]) << c[0];
    EXPECT_EQ(db.GetScenarioString(c[0]).View(), c[3]) << c[0];
  }

  // A reload replaces the sections as well: a table without them leaves them empty.
  PutText("InterfaceText.txt", "$top \"new top\"\n");
  db.Load();
  EXPECT_EQ(db.GetString("$top", true), Qel::PString("new top"));
  EXPECT_EQ(db.GetScenarioString("$scene"), Qel::PString());
}

TEST_F(InterfaceTextTest, ChoosesTheTableByLanguageCode) {
  for (const char* file : {"InterfaceText", "InterfaceGerman", "InterfaceCzech", "InterfacePolish",
                           "InterfaceNorwegian"}) {
    PutText(std::string(file) + ".txt", "$which \"" + std::string(file) + "\"\n");
  }
  struct Case {
    const char* code;
    const char* expected;  // the table read afterwards
  };
  const Case cases[] = {
      {"de", "InterfaceGerman"},  {"zz", "InterfaceGerman"},  // unknown: unchanged
      {"uk", "InterfaceText"},    {"CZ", "InterfaceCzech"},   {"D", "InterfaceCzech"},
      {"PL", "InterfacePolish"},  {"DEU", "InterfacePolish"}, {"NO", "InterfaceNorwegian"},
      {nullptr, "InterfaceText"}, {"de", "InterfaceGerman"},  {"", "InterfaceText"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code ? c.code : "(null)");
    InterfaceTextDB::SetLanguage(c.code);
    InterfaceTextDB::Invalidate();
    EXPECT_EQ(GetInterfaceString("$which"), c.expected);
  }
}

// The language named at start-up is asked for by the main thread's first use, once; a table
// another thread loaded before that is read again in the language asked for.
TEST_F(InterfaceTextTest, TheLanguageSourceIsAskedOnceByTheMainThreadsFirstUse) {
  PutText("InterfaceText.txt", "$which \"InterfaceText\"\n");
  PutText("InterfaceGerman.txt", "$which \"InterfaceGerman\"\n");
  static std::atomic<int> asked{0};
  asked = 0;
  SetMainThread();
  InterfaceTextDB::SetLanguageSource([] {
    ++asked;
    return Qel::PString("DE");
  });
  {
    watchdog::Task other([] { EXPECT_EQ(GetInterfaceString("$which"), "InterfaceText"); });
  }
  EXPECT_EQ(asked.load(), 0) << "only the main thread asks";
  EXPECT_EQ(GetInterfaceString("$which"), "InterfaceGerman");
  EXPECT_EQ(GetInterfaceString("$which"), "InterfaceGerman");
  EXPECT_EQ(asked.load(), 1);
  InterfaceTextDB::SetLanguageSource(nullptr);
}

TEST_F(InterfaceTextTest, ReloadWhileOtherThreadsLookUp) {
  PutText("InterfaceText.txt", "$k \"value\"\n");
  PutCompiled("InterfaceText.chump", {{"$k", "value"}, {"$j", "other"}});
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  {
    std::vector<std::unique_ptr<watchdog::Task>> readers;
    for (int i = 0; i < 4; ++i) {
      readers.push_back(std::make_unique<watchdog::Task>([&] {
        while (!stop.load()) {
          const Qel::String text = GetInterfaceString("$k");
          // A reload must never show a half-built table.
          wrong += !(text == "value");
        }
      }));
    }
    for (int n = 0; n < 30; ++n) {
      InterfaceTextDB::Invalidate();
      InterfaceTextDB::Instance();
    }
    stop = true;
  }
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(InterfaceTextTest, AThreadHoldingTheLockSharedLooksUpWithoutLoading) {
  PutText("InterfaceText.txt", "$k \"old\"\n");
  EXPECT_EQ(GetInterfaceString("$k"), "old");
  PutText("InterfaceText.txt", "$k \"new\"\n");
  InterfaceTextDB::Invalidate();
  // It cannot take the lock exclusively, so it must neither wait for ever nor load.
  ASSERT_TRUE(GetReadWriteLock().Acquire(false));
  EXPECT_EQ(GetInterfaceString("$k"), "old");
  GetReadWriteLock().Release();
  EXPECT_EQ(GetInterfaceString("$k"), "new");
}

TEST_F(InterfaceTextTest, TheDataVolumeWinsOverTheDataSubstitution) {
  dir_.Put("Data/InterfaceText.txt", "$k \"substitution\"\n");
  PutText("InterfaceText.txt", "$k \"volume\"\n");
  Qel::File::Subst("data", dir_.At("Data").c_str());
  EXPECT_EQ(GetInterfaceString("$k"), "volume");
  // Without the volume, the name means what it meant before: the substitution.
  Qel::SetVolume("data", nullptr);
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(GetInterfaceString("$k"), "substitution");
  Qel::File::Subst("data", nullptr);
}

// The miss counter lives for the whole process, so this runs in a fresh one.
TEST_F(InterfaceTextTest, OnlyTheFirstTenMissesAreLogged) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  PutText("InterfaceText.txt", "$known \"yes\"\n");
  auto body = [this] {
    InterfaceTextDB& db = InterfaceTextDB::Instance();
    bool ok = GetInterfaceString("$known") == "yes";
    // Misses without the warning are neither counted nor logged.
    for (int i = 0; i < 5; ++i) ok &= db.GetString("$quiet", false).IsEmpty();
    for (int i = 0; i < 15; ++i) {
      const std::string key = "$missing_" + std::to_string(i);
      ok &= GetInterfaceString(Qel::PString(key)) == key.c_str();
    }
    const std::string log = Log();
    ok &= CountOf(log, "InterfaceTextDB::GetString> Tag '") == 10 &&
          CountOf(log, "Tag '$missing_9' not found in 'InterfaceText.chump'") == 1 &&
          CountOf(log, "$missing_10'") == 0 && CountOf(log, "$quiet") == 0;
    if (!ok) std::fputs(log.c_str(), stderr);
    // The fixture's tear-down does not run after an exit.
    Qel::Log::SetToStdOut(false);
    std::filesystem::remove_all(dir_.path());
    std::_Exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

// The shipped English table: the validation texts are printf formats, so a conversion in any
// other text, or a format the reports do not pass, would read arguments that are not there.
TEST(ShippedInterfaceTextTest, OnlyValidationTextsHoldConversions) {
  const std::string path = std::string(KESTRO_TEST_DATA_DIR) + "/../../data/data/InterfaceText.txt";
  Soup table;
  ASSERT_TRUE(table.LoadFile(nullptr, path.c_str(), nullptr)) << path;
  u32 texts = 0;
  for (u32 i = 0; i < table.CountTags(); ++i) {
    const Qel::PString key = table.GetIndexedTagName(i);
    if (key.View().substr(0, 1) != "$") continue;
    ++texts;
    const std::string text(table.GetNamedTag(key).View());
    EXPECT_FALSE(text.empty()) << key.CStr();
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 2)) {
      EXPECT_EQ(key.View().substr(0, 5), "$tet_") << key.CStr();
      EXPECT_NE(std::string("sdg").find(text[at + 1]), std::string::npos) << key.CStr();
    }
  }
  EXPECT_GT(texts, 70u);
  EXPECT_NE(table.GetNamedTag("$tet_val_notwithinrange").View().find("%g"), std::string_view::npos);
  EXPECT_FALSE(table.GetNamedSoup("scenario_text").IsNull());
}

}  // namespace
