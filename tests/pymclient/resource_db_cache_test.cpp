#include "pymclient/resource_db_cache.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pymclient/install_paths.h"
#include "qel/file.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using Qel::File;
using Qel::PString;

bool Substituted(const PString& name) { return File::LookupSubst(name, nullptr, nullptr); }

// Tests give back every use they take, so the eviction at the end empties the shared cache.
class ResourceDbCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    EvictUnusedResourceDatabases();
    baseline_ = GetCachedResourceDatabaseCount();
  }
  void TearDown() override {
    EvictUnusedResourceDatabases();
    EXPECT_EQ(GetCachedResourceDatabaseCount(), baseline_);
    ClearInstallPaths();
  }

  scratch::Folder scratch_;
  fs::path temp_ = scratch_.path();
  File::Path folder_{temp_.c_str()};
  u32 baseline_ = 0;
};

TEST_F(ResourceDbCacheTest, UsesAreCountedPerName) {
  KestroResourceDatabase* first = AcquireResourceDatabase("rdb-local", folder_);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(AcquireResourceDatabase("rdb-local", "/elsewhere"), first);
  RetainResourceDatabase(first);
  EXPECT_EQ(GetResourceDatabaseUseCount(first), 3u);
  for (int i = 0; i < 4; ++i) ReleaseResourceDatabase(first);
  // Open at count 0 until an eviction, and a stray release cannot take a later use away.
  EXPECT_EQ(GetCachedResourceDatabaseCount(), baseline_ + 1);
  EXPECT_EQ(AcquireResourceDatabase("rdb-local", folder_), first);
  EXPECT_EQ(GetResourceDatabaseUseCount(first), 1u);
  ReleaseResourceDatabase(first);

  // Databases the cache does not hold are left alone; nothing is made for an empty name or
  // folder.
  KestroResourceDatabase* loose = KestroResourceDatabase::Create("rdb-loose", folder_);
  RetainResourceDatabase(loose);
  RetainResourceDatabase(nullptr);
  EXPECT_EQ(GetResourceDatabaseUseCount(loose), 0u);
  ReleaseResourceDatabase(nullptr);
  delete loose;
  EXPECT_EQ(KestroResourceDatabase::Create(PString(), folder_), nullptr);
  EXPECT_EQ(AcquireResourceDatabase("rdb-x", File::Path()), nullptr);
  EXPECT_EQ(GetCachedResourceDatabaseCount(), baseline_ + 1);
}

TEST_F(ResourceDbCacheTest, FullCacheEvictsOnlyUnusedDatabases) {
  std::vector<KestroResourceDatabase*> all;
  for (u32 i = baseline_; i < kResourceDatabaseCacheSize; ++i) {
    all.push_back(AcquireResourceDatabase(("rdb-" + std::to_string(i)).c_str(), folder_));
    ASSERT_NE(all.back(), nullptr);
  }
  EXPECT_EQ(AcquireResourceDatabase("rdb-extra", folder_), nullptr);

  const PString freed = all[all.size() / 2]->GetName();
  ReleaseResourceDatabase(all[all.size() / 2]);
  KestroResourceDatabase* extra = AcquireResourceDatabase("rdb-extra", folder_);
  ASSERT_NE(extra, nullptr);
  EXPECT_FALSE(Substituted(freed));
  EXPECT_EQ(GetCachedResourceDatabaseCount(), kResourceDatabaseCacheSize);

  all[all.size() / 2] = extra;
  for (KestroResourceDatabase* database : all) ReleaseResourceDatabase(database);
}

TEST_F(ResourceDbCacheTest, OneEvictionTakesEveryUnusedEntry) {
  // Unused entries at the front, side by side and at the end, so moved entries are examined too.
  const char* names[] = {"rdb-a", "rdb-b", "rdb-c", "rdb-d", "rdb-e", "rdb-f"};
  const bool keep[] = {false, true, false, false, true, false};
  KestroResourceDatabase* databases[6];
  for (int i = 0; i < 6; ++i) {
    databases[i] = AcquireResourceDatabase(names[i], folder_);
    if (!keep[i]) ReleaseResourceDatabase(databases[i]);
  }
  EvictUnusedResourceDatabases();
  EXPECT_EQ(GetCachedResourceDatabaseCount(), baseline_ + 2);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Substituted(names[i]), keep[i]) << names[i];
    if (!keep[i]) continue;
    EXPECT_EQ(GetResourceDatabaseUseCount(databases[i]), 1u);
    ReleaseResourceDatabase(databases[i]);
  }
}

TEST_F(ResourceDbCacheTest, DatabaseStandsForItsFolderOrItsArchive) {
  fs::create_directories(temp_ / "Plain");
  KestroResourceDatabase* plain =
      KestroResourceDatabase::Create("rdb-plain", (temp_ / "Plain").c_str());
  Qel::String target;
  bool isFolder = false;
  ASSERT_TRUE(File::LookupSubst("rdb-plain", &target, &isFolder));
  EXPECT_TRUE(isFolder && !plain->IsArchive());
  EXPECT_EQ(target.Std(), (temp_ / "Plain").string() + "/");
  std::ofstream(temp_ / "Plain" / "a.txt") << "a";
  EXPECT_TRUE(File::Exists("rdb-plain/a.txt"));

  // A trailing separator on the folder does not hide its archive.
  std::ofstream(temp_ / "Packed.qa") << "archive";
  KestroResourceDatabase* packed =
      KestroResourceDatabase::Create("rdb-packed", ((temp_ / "Packed").string() + "/").c_str());
  ASSERT_TRUE(File::LookupSubst("rdb-packed", &target, &isFolder));
  EXPECT_TRUE(!isFolder && packed->IsArchive());
  EXPECT_EQ(target.Std(), (temp_ / "Packed.qa").string());

  delete plain;
  delete packed;
  EXPECT_FALSE(Substituted("rdb-plain") || Substituted("rdb-packed"));
}

TEST_F(ResourceDbCacheTest, ContentFolderNamesMapToTheirFolders) {
  ASSERT_TRUE(InitInstallPaths(folder_));
  const std::string root = GetInstallPath().GetText().Std();
  KestroResourceDatabase* database = KestroResourceDatabase::Create("rdb-stale", folder_);
  delete database;
  EXPECT_TRUE(OpenContentResourceDatabase(PString(), database));
  EXPECT_EQ(database, nullptr);

  for (const auto& [name, folder] : {std::pair<const char*, std::string>{"base", root + "/Base/"},
                                     {"local", root + "/UserData/local/"}}) {
    ASSERT_TRUE(OpenContentResourceDatabase(name, database)) << name;
    EXPECT_EQ(database->GetSubstTarget().Std(), folder);
    ReleaseResourceDatabase(database);
  }
  ClearInstallPaths();
  EXPECT_FALSE(OpenContentResourceDatabase("original", database));
  EXPECT_EQ(database, nullptr);
}

TEST_F(ResourceDbCacheTest, ConcurrentUsesBalance) {
  KestroResourceDatabase* held = AcquireResourceDatabase("rdb-shared", folder_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      const std::string own = "rdb-own" + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        KestroResourceDatabase* shared = AcquireResourceDatabase("rdb-shared", folder_);
        ReleaseResourceDatabase(AcquireResourceDatabase(own.c_str(), folder_));
        if (i % 50 == 0) EvictUnusedResourceDatabases();
        ReleaseResourceDatabase(shared);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(GetResourceDatabaseUseCount(held), 1u);
  ReleaseResourceDatabase(held);
}

}  // namespace
