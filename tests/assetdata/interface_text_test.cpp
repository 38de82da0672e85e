#include "assetdata/interface_text.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/soup.h"
#include "core/read_write_lock.h"
#include "core/thread_watchdog.h"
#include "qel/file.h"
#include "qel/file_volume.h"
#include "qel/log.h"

namespace {

namespace fs = std::filesystem;

constexpr char kCompiledFailed[] = "InterfaceTextDB> failed to load compiled interfacetext file";
constexpr char kUnreadable[] = "InterfaceTextDB> Unable to read interface file";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t CountOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// A "data" volume in a temporary folder, English chosen and the tables marked for reloading,
// with the log going to a file of the folder.
class InterfaceTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/itext_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ + "/data");
    Qel::SetVolume("data", (root_ + "/data").c_str());
    log_ = root_ + "/test.log";
    ASSERT_TRUE(Qel::Log::SetToFile(log_.c_str()));
    InterfaceTextDB::SetLanguage("US");
    InterfaceTextDB::Invalidate();
  }

  void TearDown() override {
    Qel::Log::SetToStdOut(false);
    InterfaceTextDB::SetLanguage(nullptr);
    InterfaceTextDB::Invalidate();
    Qel::SetVolume("data", nullptr);
    fs::remove_all(root_);
  }

  void PutText(const std::string& name, const std::string& text) {
    std::ofstream(root_ + "/data/" + name, std::ios::binary) << text;
  }

  void PutCompiled(const std::string& name, const std::map<std::string, std::string>& texts) {
    Soup soup;
    soup.EnsureContainer();
    for (const auto& [key, text] : texts) soup.SetNamedTag(Qel::PString(key), text.c_str());
    ASSERT_TRUE(soup.SaveFile(nullptr, (root_ + "/data/" + name).c_str(), nullptr));
  }

  std::string Log() const { return ReadAll(log_); }

  std::string root_;
  std::string log_;
};

TEST_F(InterfaceTextTest, FallsBackToTheTextTableWhenTheCompiledOneIsMissing) {
  PutText("InterfaceText.txt", "$greeting \"Hello, $(NAME).\"\n$other \"x\"\n");
  EXPECT_EQ(GetInterfaceString("$greeting"), "Hello, $(NAME).");
  EXPECT_EQ(GetInterfaceString("$other"), "x");
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, kCompiledFailed), 1u);
  EXPECT_EQ(CountOf(log, kUnreadable), 0u);
}

TEST_F(InterfaceTextTest, PrefersTheCompiledTable) {
  PutCompiled("InterfaceText.chump", {{"$greeting", "compiled"}});
  PutText("InterfaceText.txt", "$greeting \"text\"\n");
  EXPECT_EQ(GetInterfaceString("$greeting"), "compiled");
  EXPECT_EQ(CountOf(Log(), kCompiledFailed), 0u);
}

TEST_F(InterfaceTextTest, WithoutAnyTableEveryKeyStandsForItself) {
  EXPECT_EQ(GetInterfaceString("$misc_noname"), "$misc_noname");
  EXPECT_EQ(InterfaceTextDB::Instance().GetString("$misc_noname", false), Qel::PString());
  std::string log = Log();
  EXPECT_EQ(CountOf(log, kCompiledFailed), 1u);
  EXPECT_EQ(CountOf(log, "InterfaceTextDB> Unable to read interface file 'InterfaceText.chump'"),
            1u);
  // Once per load: a second load logs both again.
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(GetInterfaceString("$misc_noname"), "$misc_noname");
  log = Log();
  EXPECT_EQ(CountOf(log, kCompiledFailed), 2u);
  EXPECT_EQ(CountOf(log, kUnreadable), 2u);
}

TEST_F(InterfaceTextTest, LooksUpKeysAndSections) {
  PutText("InterfaceText.txt",
          "$top \"top text\"\n"
          "$number 12\n"
          "scenario_text\n{\n  $scene \"scene text\"\n}\n"
          "olbek_map_text\n{\n  $map \"map text\"\n}\n");
  InterfaceTextDB& db = InterfaceTextDB::Instance();
  EXPECT_EQ(db.GetString("$top", true), Qel::PString("top text"));
  EXPECT_EQ(db.GetString("$number", true), Qel::PString("12"));
  EXPECT_EQ(db.GetString(Qel::PString(), true), Qel::PString());
  EXPECT_EQ(db.GetString("$absent", false), Qel::PString());
  EXPECT_EQ(db.GetString("$absent", true), Qel::PString("$absent"));
  // A section key is not a top-level key, and only the scenario section is searched by
  // GetScenarioString.
  EXPECT_EQ(db.GetString("$scene", false), Qel::PString());
  EXPECT_EQ(db.GetScenarioString("$scene"), Qel::PString("scene text"));
  EXPECT_EQ(db.GetScenarioString("$top"), Qel::PString());
  EXPECT_EQ(db.GetScenarioString("$map"), Qel::PString());
  EXPECT_EQ(db.GetScenarioString(Qel::PString()), Qel::PString());

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

TEST_F(InterfaceTextTest, SetLanguageAloneDoesNotReload) {
  PutText("InterfaceText.txt", "$which \"english\"\n");
  PutText("InterfaceGerman.txt", "$which \"german\"\n");
  EXPECT_EQ(GetInterfaceString("$which"), "english");
  InterfaceTextDB::SetLanguage("DE");
  EXPECT_EQ(GetInterfaceString("$which"), "english");
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(GetInterfaceString("$which"), "german");
}

TEST_F(InterfaceTextTest, ConcurrentFirstUseLoadsOnce) {
  // A large table keeps the first load going while the other threads arrive.
  std::string table = "$k \"value\"\n";
  for (int i = 0; i < 20000; ++i) table += "$filler_" + std::to_string(i) + " \"text\"\n";
  PutText("InterfaceText.txt", table);
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<int> right{0};
  {
    std::vector<std::unique_ptr<watchdog::Task>> tasks;
    for (int i = 0; i < kThreads; ++i) {
      tasks.push_back(std::make_unique<watchdog::Task>([&] {
        ++ready;
        // The threads start their first use together; the limit is only a watchdog.
        const auto limit = std::chrono::steady_clock::now() + watchdog::kLimit;
        while (ready.load() < kThreads && std::chrono::steady_clock::now() < limit) {
          std::this_thread::yield();
        }
        for (int n = 0; n < 50; ++n) right += GetInterfaceString("$k") == "value";
      }));
    }
  }
  EXPECT_EQ(right.load(), kThreads * 50);
  // Every load of a table without a compiled form logs this line once.
  EXPECT_EQ(CountOf(Log(), kCompiledFailed), 1u);
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
  fs::create_directories(root_ + "/Data");
  std::ofstream(root_ + "/Data/InterfaceText.txt") << "$k \"substitution\"\n";
  PutText("InterfaceText.txt", "$k \"volume\"\n");
  Qel::File::Subst("data", (root_ + "/Data").c_str());
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
    int faults = 0;
    auto check = [&](bool ok, const char* what) {
      if (!ok) {
        std::fprintf(stderr, "failed: %s\n", what);
        ++faults;
      }
    };
    InterfaceTextDB& db = InterfaceTextDB::Instance();
    // Misses without the warning are neither counted nor logged.
    for (int i = 0; i < 5; ++i) check(db.GetString("$quiet", false).IsEmpty(), "quiet miss");
    check(GetInterfaceString("$known") == "yes", "known key");
    for (int i = 0; i < 15; ++i) {
      const std::string key = "$missing_" + std::to_string(i);
      check(GetInterfaceString(Qel::PString(key)) == key.c_str(), "miss returns the key");
    }
    const std::string log = Log();
    check(CountOf(log, "InterfaceTextDB::GetString> Tag '") == 10, "ten lines");
    check(CountOf(log, "Tag '$missing_9' not found in 'InterfaceText.chump'") == 1, "tenth");
    check(CountOf(log, "$missing_10'") == 0, "eleventh");
    check(CountOf(log, "$quiet") == 0, "quiet");
    std::fflush(stderr);
    // The fixture's tear-down does not run after an exit.
    Qel::Log::SetToStdOut(false);
    fs::remove_all(root_);
    std::_Exit(faults == 0 ? 0 : 1);
  };
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

// The shipped English table: every text is there, and the validation texts, which are printf
// formats, take exactly the arguments their reports pass.
TEST(ShippedInterfaceTextTest, HoldsTheTextsTheToolReports) {
  const std::string path = std::string(KESTRO_TEST_DATA_DIR) + "/../../data/data/InterfaceText.txt";
  Soup table;
  ASSERT_TRUE(table.LoadFile(nullptr, path.c_str(), nullptr)) << path;

  // Conversions after '%', in order ("%%" would be none).
  auto conversions = [](const std::string& text) {
    std::string found;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '%') continue;
      if (i + 1 < text.size() && text[i + 1] == '%') {
        ++i;
        continue;
      }
      found += i + 1 < text.size() ? text[i + 1] : '?';
    }
    return found;
  };
  // clang-format off
  const std::map<std::string, std::string> formats = {
      {"$tet_container_nosmoke", "s"}, {"$tet_container_notboolean", "ss"},
      {"$tet_container_obsoletetag", "ss"}, {"$tet_container_nodefinition", "ss"},
      {"$tet_container_nocontainerdefinition", "s"}, {"$tet_container_errorintemplate", "s"},
      {"$tet_container_missingtag", "s"}, {"$tet_container_missingcontainer", "s"},
      {"$tet_container_emptycombobox", "ss"}, {"$tet_container_emptylistbox", "ss"},
      {"$tet_container_emptyname", "ss"}, {"$tet_container_emptystringwarn", "ss"},
      {"$tet_container_emptystringerr", "ss"}, {"$tet_container_nomeshext", "ss"},
      {"$tet_container_nopictureext", "ss"}, {"$tet_container_noanimationext", "ss"},
      {"$tet_container_notavalidpossibility", "sss"}, {"$tet_container_noattparent", "s"},
      {"$tet_container_notavalidpossibility2", "sss"}, {"$tet_val_emptyfield", "s"},
      {"$tet_val_notzero", "s"}, {"$tet_val_notpositive", "s"}, {"$tet_val_notwithinrange", "sgg"},
      {"$tet_val_arraywrongsize", "sdd"}, {"$tet_val_mustbepaired", "ss"},
      {"$tet_val_nocollatemeshes", "ss"}, {"$tet_val_not_type", "ss"}, {"$tet_val_notype", "sss"},
      {"$tet_val_wrongtype", "sss"}, {"$tet_val_file_dne", "s"}, {"$tet_val_scriptfiledne", "s"},
      {"$tet_val_duplicatecontainername", "ss"}, {"$tet_val_duplicatetagname", "ss"},
      {"$tet_val_texturefilewrongformat", "s"}, {"$tet_val_texturefiledne", "s"},
      {"$tet_val_nullkuidwarn", "s"}, {"$tet_val_mustbeownparent", "ss"},
      {"$tet_val_mustbeinlightcontainer", "d"}, {"$tet_mesh_load_mesh", "s"},
      {"$tet_mesh_failedmaterial", "s"}, {"$tet_mesh_load_texture", "s"},
      {"$tet_dm_unsupportedformat", "s"}, {"$tet_dm_animationfailed", "s"},
      {"$tet_lm_performance_no_attachments", "s"}, {"$tet_lm_performance_single_lod", "s"},
      {"$tet_lm_performance_low_poly", "s"}, {"$tet_duplicatetexture", "s"},
      {"$tet_texture_failedload", "s"}, {"$tet_non_ansi_texture", "s"},
      {"$tet_texture_missing_primary", "ss"}, {"$tet_texture_missing_alpha", "ss"},
      {"$tet_texture_notpower2", "s"}, {"$tet_primaryalpha_notsamesize", "s"},
      {"$tet_binary_texture_conversion_failed", "s"},
  };
  // Results-log texts name their parameters as macros.
  const std::map<std::string, std::vector<std::string>> macros = {
      {"$pym_write_error", {"$(ASSET_KUID)"}}, {"$pym_overwrite_error", {"$(ASSET_KUID)"}},
      {"$pym_failed_install", {"$(ASSET_KUID)"}}, {"$pym_installed", {"$(ASSET_KUID)"}},
      {"$pym_prompt_openforedit_log", {"$(ASSET_NAME)", "$(ACTION)"}},
      {"$pym_prompt_builtin_log", {"$(ASSET_NAME)", "$(ACTION)"}},
      {"$pym_prompt_vny_item_log", {"$(ASSET_NAME)", "$(ACTION)"}},
      {"$pym_prompt_alreadyinstalled_log", {"$(ASSET_NAME)", "$(ACTION)"}},
      {"$pym_unreadable_cdp", {"$(FILE_PATH)"}}, {"$pym_archive_version", {"$(VERSION)"}},
      {"$pym_upload_asset_obsolete", {"$(ASSET_KUID)", "$(LOWEST_KESTROBUILD)"}},
      {"$pym_unable_read_config_at", {"$(FILE_PATH)"}},
      {"$pymtexture_invalid_subst", {"$(ARCHIVE)"}},
      {"$pymtexture_open_error", {"$(FILE_NAME)", "$(ARCHIVE)"}},
      {"$pymtexture_incorrect_resource", {"$(FILE_NAME)", "$(ARCHIVE)"}},
      {"$pymtexture_load_error", {"$(FILE_NAME)", "$(ARCHIVE)"}},
      {"$pymtexture_lock_error", {"$(FILE_NAME)", "$(ARCHIVE)"}},
      {"$tet_obsolete_asset", {"$(LOWEST_KESTROBUILD)"}},
  };
  // clang-format on
  u32 texts = 0;
  for (u32 i = 0; i < table.CountTags(); ++i) {
    const Qel::PString key = table.GetIndexedTagName(i);
    if (key.View().substr(0, 1) != "$") continue;
    SCOPED_TRACE(key.CStr());
    ++texts;
    const std::string text(table.GetNamedTag(key).View());
    EXPECT_FALSE(text.empty());
    // A text that no report formats holds no conversion at all.
    const auto format = formats.find(std::string(key.View()));
    EXPECT_EQ(conversions(text), format == formats.end() ? "" : format->second);
  }
  EXPECT_GE(texts, formats.size() + macros.size());
  for (const auto& [key, unused] : formats)
    EXPECT_TRUE(table.HasNamedTag(Qel::PString(key))) << key;
  for (const auto& [key, names] : macros) {
    const std::string text(table.GetNamedTag(Qel::PString(key)).View());
    for (const std::string& name : names) EXPECT_NE(text.find(name), std::string::npos) << key;
  }
  for (const char* section : {"olbek_map_text", "olbek_spec_text", "scenario_text"}) {
    EXPECT_FALSE(table.GetNamedSoup(section).IsNull()) << section;
  }
}

}  // namespace
