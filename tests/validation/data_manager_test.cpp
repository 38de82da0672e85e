// The data manager: how the three definition files merge, the named lists, the personal details
// and when they are written, and the registries.
#include "validation/data_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "pymclient/install_paths.h"
#include "support/scratch_folder.h"
#include "validation/node_arena.h"

namespace {

using TETLib::DataManager;

class DataManagerTest : public ::testing::Test {
 protected:
  // Held as a validation holds it: the data manager and the definitions' facts are used under it.
  const Qel::SingleLock validationLock_{GetValidationMutex()};
  void TearDown() override { DataManager::DestroyInstance(); }

  DataManager& Create() {
    EXPECT_TRUE(DataManager::CreateInstance(dir_.path().c_str()));
    return DataManager::Instance();
  }

  // The names of the merged definitions and the "from" tag of each, in order.
  static std::vector<std::string> Merged(const DataManager& manager) {
    std::vector<std::string> out;
    const Soup& definitions = manager.GetDefinitions();
    for (u32 i = 0; i < definitions.CountTags(); ++i) {
      const Qel::PString name = definitions.GetIndexedTagName(i);
      out.push_back(std::string(name.View()) + "=" +
                    std::string(definitions.GetNamedSoup(name).GetNamedTag("from").View()));
    }
    return out;
  }

  scratch::Folder dir_;
};

TEST_F(DataManagerTest, LaterEntriesReplaceEarlierOnesAndMoveToTheEnd) {
  dir_.Put("inheritance.txt",
           "base\n{\n  from \"inheritance\"\n}\nshared\n{\n  from \"inheritance\"\n}\n");
  dir_.Put("kind.txt",
           "scenery\n{\n  from \"kind\"\n  top-level 1\n}\nshared\n{\n  from \"kind\"\n}\n"
           "scenery\n{\n  from \"kind, again\"\n}\n");
  dir_.Put("container.txt",
           "base\n{\n  from \"container\"\n}\nmesh-table\n{\n  from \"container\"\n}\n");
  DataManager& manager = Create();
  EXPECT_FALSE(manager.AreDefinitionsLoaded());
  ASSERT_TRUE(manager.LoadDefinitions());
  EXPECT_EQ(Merged(manager), (std::vector<std::string>{"shared=kind", "scenery=kind, again",
                                                       "base=container", "mesh-table=container"}));
  // Once only: a changed file is not read again.
  dir_.Put("kind.txt", "other\n{\n}\n");
  EXPECT_TRUE(manager.LoadDefinitions());
  EXPECT_EQ(manager.GetDefinitions().CountTags(), 4u);
}

TEST_F(DataManagerTest, MissingDefinitionsGiveFalseAndNoLists) {
  dir_.Put("lists/eras", "1900s\n");
  DataManager& manager = Create();
  EXPECT_FALSE(manager.LoadDefinitions());
  EXPECT_TRUE(manager.AreDefinitionsLoaded());
  EXPECT_EQ(manager.GetDefinitions().CountTags(), 0u);
  EXPECT_EQ(manager.GetList("eras"), nullptr);
}

TEST_F(DataManagerTest, OneFileAloneIsEnough) {
  dir_.Put("container.txt", "mesh-table\n{\n  from \"container\"\n}\n");
  dir_.Put("kind.txt", "not a soup {{{ but read as far as it goes");
  DataManager& manager = Create();
  EXPECT_TRUE(manager.LoadDefinitions());
  EXPECT_EQ(Merged(manager).back(), "mesh-table=container");
}

TEST_F(DataManagerTest, ListsHoldWholeLinesWithoutLineEnds) {
  dir_.Put("kind.txt", "scenery\n{\n}\n");
  const std::string longLine(10000, 'x');
  dir_.Put("lists/three", "a\r\nb b\n" + longLine + "\n");
  dir_.Put("lists/empty", "");
  dir_.Put("lists/no end", "one\n\nlast");
  dir_.Put("lists/nested/ignored", "folders are not lists\n");
  DataManager& manager = Create();
  ASSERT_TRUE(manager.LoadDefinitions());
  ASSERT_NE(manager.GetList("three"), nullptr);
  EXPECT_EQ(*manager.GetList("three"),
            (std::vector<Qel::PString>{"a", "b b", Qel::PString(longLine)}));
  EXPECT_TRUE(manager.GetList("empty")->empty());
  EXPECT_EQ(*manager.GetList("no end"), (std::vector<Qel::PString>{"one", "", "last"}));
  EXPECT_EQ(manager.GetList("nested"), nullptr);
  EXPECT_EQ(manager.GetLists().size(), 3u);

  // Reloading replaces a list rather than adding to it.
  dir_.Put("lists/three", "c\n");
  EXPECT_TRUE(manager.LoadLists());
  EXPECT_EQ(*manager.GetList("three"), (std::vector<Qel::PString>{"c"}));
}

// The index a list is asked through follows the list: each reading of the lists replaces it.
TEST_F(DataManagerTest, ListsAreAskedIgnoringCaseAndAnsweredFromTheirLatestReading) {
  dir_.Put("kind.txt", "scenery\n{\n}\n");
  dir_.Put("lists/eras", "1900s\nEra Two\n\n");
  dir_.Put("lists/other", "Elsewhere\n");
  DataManager& manager = Create();
  ASSERT_TRUE(manager.LoadDefinitions());
  const std::vector<Qel::PString>& eras = *manager.GetList("eras");
  const std::vector<Qel::PString>& other = *manager.GetList("other");
  const struct {
    const char* text;
    bool inEras;
    bool inOther;
  } cases[] = {{"1900S", true, false}, {"era two", true, false}, {"", true, false},
               {"era", false, false},  {"elsewhere", false, true}, {"1900s ", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(manager.ListHolds(eras, c.text), c.inEras) << c.text;
    EXPECT_EQ(manager.ListHolds(other, c.text), c.inOther) << c.text;
  }
  dir_.Put("lists/eras", "2000s\n");
  ASSERT_TRUE(manager.LoadLists());
  const std::vector<Qel::PString>& read = *manager.GetList("eras");
  EXPECT_FALSE(manager.ListHolds(read, "1900s"));
  EXPECT_TRUE(manager.ListHolds(read, "2000S"));
}

TEST_F(DataManagerTest, MeshFileNamesAreToldByTheirExtensionInAnyCase) {
  const struct {
    const char* path;
    bool mesh;
  } cases[] = {{"a.im", true},       {"A.IM", true},        {"dir/b.lm", true},
               {"c.Lm.TxT", true},   {"d.pm", true},        {"e.kin", true},
               {"f.txt", false},     {"thumb.jpg", false},  {"im", false},
               {"g.", false},        {"", false},           {"h.im/x", false},
               {"x.im\\y", false}, {"sub\\i.im", true}, {".lm.txt", true},
               {"j.lmx.txt", false}, {"k.imx", false}};
  for (const auto& c : cases) EXPECT_EQ(DataManager::IsMeshFileName(c.path), c.mesh) << c.path;
}

TEST_F(DataManagerTest, PersonalDetailsLoadAndSaveInTheirOwnForm) {
  dir_.Put("personalDetails.txt",
           "author \"Ann\"\nemail \"ann@example.org\"\nwebsite \"example.org\"\nisinputboxon 5\n");
  DataManager& manager = Create();
  const TETLib::PersonalDetails& details = manager.GetPersonalDetails();
  EXPECT_EQ(details.author, Qel::PString("Ann"));
  EXPECT_EQ(details.email, Qel::PString("ann@example.org"));
  EXPECT_TRUE(details.organisation.IsEmpty());
  EXPECT_TRUE(details.isInputBoxOn);
  EXPECT_FALSE(manager.PersonalDetailsChanged());

  ASSERT_TRUE(manager.SavePersonalDetails());
  EXPECT_EQ(dir_.Read("personalDetails.txt").find("isinputboxon") != std::string::npos, true);
  Soup saved;
  ASSERT_TRUE(saved.LoadFile(nullptr, dir_.At("personalDetails.txt").c_str(), nullptr));
  EXPECT_EQ(saved.GetNamedTagAsInt("isinputboxon", -1), 1);
  const char* order[] = {"author", "organisation", "email", "website", "license", "isinputboxon"};
  ASSERT_EQ(saved.CountTags(), 6u);
  for (u32 i = 0; i < 6; ++i) EXPECT_EQ(saved.GetIndexedTagName(i).View(), order[i]);
}

TEST_F(DataManagerTest, PersonalDetailsAreWrittenOnlyWhenTheyChanged) {
  // No file and no change: shutting down writes nothing.
  Create();
  DataManager::DestroyInstance();
  EXPECT_FALSE(std::filesystem::exists(dir_.At("personalDetails.txt")));

  // A file left as it was is not rewritten (its text keeps the user's own layout).
  const std::string text = "author   \"Bo\"   // the user's own file\nisinputboxon 0\n";
  dir_.Put("personalDetails.txt", text);
  Create();
  DataManager::DestroyInstance();
  EXPECT_EQ(dir_.Read("personalDetails.txt"), text);

  // A change is saved at shutdown.
  DataManager& manager = Create();
  TETLib::PersonalDetails changed = manager.GetPersonalDetails();
  changed.organisation = "Railway Works";
  manager.SetPersonalDetails(changed);
  EXPECT_TRUE(manager.PersonalDetailsChanged());
  DataManager::DestroyInstance();
  Soup saved;
  ASSERT_TRUE(saved.LoadFile(nullptr, dir_.At("personalDetails.txt").c_str(), nullptr));
  EXPECT_EQ(saved.GetNamedTag("organisation"), Qel::PString("Railway Works"));
  EXPECT_EQ(saved.GetNamedTag("author"), Qel::PString("Bo"));
}

TEST_F(DataManagerTest, RegistriesAnswerByNameAndForgetAnObjectThatGoes) {
  DataManager& manager = Create();
  int container = 0;
  int tag = 0;
  manager.RegisterByName("mesh-table", &container, "default");
  manager.RegisterByKey("mesh-table", &tag, "att-parent");
  manager.AddLoadedObject(&tag);
  manager.AddLoadedObject(&tag);
  manager.AddSharedObject(&tag);
  EXPECT_TRUE(manager.IsRegisteredName("default", "mesh-table"));
  EXPECT_FALSE(manager.IsRegisteredName("att-parent", "mesh-table"));
  EXPECT_FALSE(manager.IsRegisteredName("default", "queues"));
  manager.Unregister(&tag);
  manager.ClearNamedRegistry("mesh-table");
  EXPECT_FALSE(manager.IsRegisteredName("default", "mesh-table"));

  // Lists of other names are left as they are.
  int other = 0;
  manager.RegisterByName("bogeys", &other, "front");
  manager.RegisterByName("mesh-table", &other, "again");
  manager.ClearNamedRegistry("mesh-table");
  EXPECT_TRUE(manager.IsRegisteredName("front", "bogeys"));
  EXPECT_FALSE(manager.IsRegisteredName("again", "mesh-table"));
  manager.Unregister(&other);
  EXPECT_FALSE(manager.IsRegisteredName("front", "bogeys"));
}

// A tree that goes whole leaves every list at once; what another tree or the heap listed stays.
TEST_F(DataManagerTest, AWholeArenaLeavesEveryListInOneSweep) {
  DataManager& manager = Create();
  TETLib::NodeArena arena;
  void* inArena = nullptr;
  {
    const TETLib::NodeArena::Scope scope(arena);
    inArena = TETLib::AllocateNode(16);
  }
  void* onHeap = TETLib::AllocateNode(16);
  manager.RegisterByName("mesh-table", inArena, "gone");
  manager.RegisterByName("mesh-table", onHeap, "kept");
  manager.RegisterByKey("mesh-table", inArena, "att-parent");
  manager.AddLoadedObject(inArena);
  manager.AddSharedObject(inArena);
  manager.AddLoadedObject(onHeap);
  manager.UnregisterAllIn(arena);
  EXPECT_FALSE(manager.IsRegisteredName("gone", "mesh-table"));
  EXPECT_TRUE(manager.IsRegisteredName("kept", "mesh-table"));
  // Once more changes nothing, and the heap object still goes on its own.
  manager.UnregisterAllIn(arena);
  EXPECT_TRUE(manager.IsRegisteredName("kept", "mesh-table"));
  manager.Unregister(onHeap);
  EXPECT_FALSE(manager.IsRegisteredName("kept", "mesh-table"));
  TETLib::FreeNode(inArena);
  TETLib::FreeNode(onHeap);
}

TEST_F(DataManagerTest, CreationNeedsAnExistingFolderAndHappensOnce) {
  EXPECT_FALSE(DataManager::CreateInstance(dir_.At("missing").c_str()));
  EXPECT_FALSE(DataManager::CreateInstance(""));
  EXPECT_FALSE(DataManager::Exists());
  ASSERT_TRUE(DataManager::CreateInstance(dir_.path().c_str()));
  EXPECT_FALSE(DataManager::CreateInstance(dir_.path().c_str()));
  EXPECT_EQ(DataManager::Instance().GetDataFolder().View(), dir_.path() + "/");
}

TEST(DataManagerDeathTest, InstanceWithoutCreationIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(DataManager::Instance(), ::testing::ExitedWithCode(1),
              "DataManager::Instance> datamanger not initialised");
}

}  // namespace
