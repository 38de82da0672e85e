// vnyparsefolder over a generated tree against the stand-in daemon: batches of 1001 records, a
// package and thumbnail per asset, and statement files that load into a real database as plain
// text whatever the assets' texts hold, read with backslash escapes (MySQL) or without (SQLite).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "assetdata/cdp_package.h"
#include "support/install_root.h"

namespace {

namespace fs = std::filesystem;

constexpr int kAssets = 2503;
const std::string kHostile = "O'Brien \"big\"; \\ '); DROP TABLE Asset; -- \\";

std::string Query(sqlite3* db, const std::string& sql) {
  std::string out;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* text, int, char** values, char**) {
        *static_cast<std::string*>(text) += values[0] ? values[0] : "NULL";
        return 0;
      },
      &out, nullptr);
  return out;
}

// The statements as MySQL reads their strings, where a backslash escapes, each written again in the
// standard form.
std::string AsMySqlReadsIt(const std::string& sql) {
  std::string out;
  for (size_t i = 0; i < sql.size(); ++i) {
    out += sql[i];
    for (bool quoted = sql[i] == '\''; quoted && ++i < sql.size();) {
      char c = sql[i];
      if (c == '\'' && (quoted = i + 1 < sql.size() && sql[i + 1] == '\'')) ++i;
      if (c == '\\' && ++i < sql.size()) {
        c = sql[i] == 'n' ? '\n' : sql[i] == 't' ? '\t' : sql[i] == 'r' ? '\r' : sql[i];
        if (c == '%' || c == '_') out += '\\';
      }
      out += c == '\'' && quoted ? "''" : std::string(1, c);
    }
  }
  return out;
}

TEST(RepositoryExport, BatchesOfAWholeTreeLoadIntoADatabaseAsPlainText) {
  // Each install, delete and package is flushed to disk; in memory the 2,503 of them take seconds
  // instead of minutes on a busy disk.
  if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  kestro_test::InstallRoot root(KESTRO_BINARY_DIR, KESTRO_TEST_DATA_DIR "/../../data/data");
  ASSERT_TRUE(root.IsReady()) << root.Error();
  // MySQL's reading (its default and ANSI mode) of the statements goes to a second database.
  sqlite3 *db = nullptr, *mysql = nullptr;
  const std::string asset =
      "CREATE TABLE Asset (AssetID INTEGER PRIMARY KEY, KUID, AssetTypeID, ProductID, "
      "Title, Description, DownloadPath, FileSize, Version, AssetStatusID, "
      "AssetDownloadID, LastUpdated, ProductVersion);";
  for (sqlite3** each : {&db, &mysql}) {
    ASSERT_EQ(sqlite3_open(":memory:", each), SQLITE_OK);
    sqlite3_create_function(
        *each, "NOW", 0, SQLITE_UTF8, nullptr,
        [](sqlite3_context* c, int, sqlite3_value**) {
          sqlite3_result_text(c, "now", -1, nullptr);
        },
        nullptr, nullptr);
  }
  Query(mysql, asset + "INSERT INTO Asset (KUID, AssetDownloadID) VALUES ('4100:0:1', 'FAK');");
  ASSERT_EQ(
      Query(db, asset + "CREATE TABLE AssetChild (AssetID, ChildID);"
                        "CREATE TABLE AssetKUIDDependency (AssetID, KUID);"
                        "CREATE TABLE Asset_AssetCategory_Rels (AssetID, AssetCategoryID);"
                        "CREATE TABLE Asset_CategoryElement_Rels (AssetID, CategoryElementID);"
                        "INSERT INTO Asset (KUID, AssetDownloadID) VALUES ('4100:0:1', 'FAK');"),
      "");
  for (int i = 1; i < kAssets; ++i) {
    const std::string version = std::to_string(i % 3);
    root.WriteFile("tree/g" + std::to_string(i % 7) + "/a" + std::to_string(i) + "/config.txt",
                   "kuid <kuid2:4100:" + std::to_string(i) + ":" + version +
                       ">\nkind \"scenery\"\nusername \"A\"\ncategory-class \"BD;BI\"\n"
                       "category-era \"1950\"\ncategory-region \"GB\"\nkuid-table {\n  0 "
                       "<kuid:4100:0>\n}\n");
    const std::string k = "4100:" + std::to_string(i) + (i % 3 ? ":" + version : "");
    Query(db, "INSERT INTO Asset (KUID, AssetDownloadID) VALUES ('" + k + "', 'FAK');");
  }
  // The text form cannot hold every character; the binary one can.
  Soup config;
  config.SetNamedKUID("kuid", KUID(4100, 0, 1));
  config.SetNamedTag("kind", "scenery");
  for (const char* tag : {"username", "description"}) config.SetNamedTag(tag, kHostile.c_str());
  config.SetNamedTag("category-class", ("BD;" + kHostile).c_str());
  fs::create_directories(root.Root() + "/tree/hostile");
  ASSERT_TRUE(config.SaveFile(nullptr, (root.Root() + "/tree/hostile/config.chump").c_str(), ""));
  root.WriteFile("tree/hostile/thumbnail.jpg", "jpeg");
  const auto chumpSize = fs::file_size(root.Root() + "/tree/hostile/config.chump");
  root.WriteFile("tree/broken/config.txt", "kind \"scenery\"\n");
  fs::create_directory_symlink(root.Root() + "/tree/g1", root.Root() + "/tree/link");

  const kestro_test::ToolRun run = root.Run({"vnyparsefolder", "tree"});
  EXPECT_EQ(run.exitCode, 255);
  EXPECT_NE(run.out.find("Failed to install asset from: " + root.Root() + "/tree/broken"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("OK (1 Errors"), std::string::npos) << run.out;

  const std::string out = root.Root() + "/Kestro Asset Parse/";
  EXPECT_FALSE(fs::exists(out + "SQL_Asset_3.txt"));
  for (const int n : {0, 1, 2}) {
    for (const char* name : {"SQL_Asset_", "SQL_AssetChild_", "SQL_AssetDependencies_",
                             "SQL_AssetCategories_", "SQL_AssetCategoryElements_"}) {
      const std::string file = name + std::to_string(n) + ".txt";
      std::string sql = scratch::ReadAll(out + file);
      // As the repository's loader closes the last row.
      if (sql.rfind("INSERT", 0) == 0) sql.replace(sql.rfind(", \r\n"), 4, ";");
      char* error = nullptr;
      EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
          << file << ": " << (error ? error : "");
      sqlite3_free(error);
      if (sql.rfind("UPDATE", 0) == 0) {
        EXPECT_EQ(sqlite3_exec(mysql, AsMySqlReadsIt(sql).c_str(), nullptr, nullptr, nullptr),
                  SQLITE_OK);
      }
    }
  }
  EXPECT_EQ(Query(mysql, "SELECT Title || Description FROM Asset"), kHostile + kHostile);
  sqlite3_close(mysql);
  EXPECT_EQ(Query(db, "SELECT COUNT(*) FROM Asset WHERE AssetDownloadID = 'T10'"), "2503");
  EXPECT_EQ(Query(db,
                  "SELECT group_concat(AssetCategoryID) FROM Asset_AssetCategory_Rels WHERE "
                  "AssetID = 2"),
            "519,851,156,572");
  EXPECT_EQ(Query(db, "SELECT Title || Description FROM Asset WHERE AssetID = 1"),
            kHostile + kHostile);
  // The asset's own bytes: its configuration and its thumbnail.
  EXPECT_EQ(Query(db, "SELECT FileSize FROM Asset WHERE AssetID = 1"),
            std::to_string(chumpSize + 4));
  EXPECT_EQ(Query(db,
                  "SELECT group_concat(CategoryElementID, ';') FROM Asset_CategoryElement_Rels "
                  "WHERE AssetID = 1"),
            "SY;SCEN;BD;" + kHostile);
  EXPECT_EQ(Query(db, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"), "5");
  sqlite3_close(db);

  const std::string kuids = scratch::ReadAll(out + "kuids.txt");
  EXPECT_EQ(std::count(kuids.begin(), kuids.end(), '\n'), kAssets);
  const std::string stem = out + "KESTRO2010-Builtin/buildingsstructures/kuid2 4100 0 1";
  Soup package;
  EXPECT_EQ(
      std::string(OpenContentPackage(package, Qel::PString(), (stem + ".cdp").c_str()).CStr()), "");
  EXPECT_EQ(FindPackageAsset(package, KUID(4100, 0, 1)), 0);
  EXPECT_EQ(scratch::ReadAll(stem + ".jpg"), "jpeg");
}

// A folder whose package no install would take is refused before it is installed: the install
// alone would copy it for minutes. The other folders of the tree are exported all the same.
TEST(RepositoryExport, AFolderTooLargeForAPackageIsRefusedBeforeItIsInstalled) {
  kestro_test::InstallRoot root(KESTRO_BINARY_DIR, KESTRO_TEST_DATA_DIR "/../../data/data");
  ASSERT_TRUE(root.IsReady()) << root.Error();
  root.WriteFile("tree/big/config.txt", "kuid <kuid:400000:7>\nkind \"scenery\"\n");
  root.WriteFile("tree/small/config.txt", "kuid <kuid:400000:8>\nkind \"scenery\"\n");
  const std::string big = root.Root() + "/tree/big";
  for (int i = 0; i <= 65536; ++i) std::ofstream(big + "/" + std::to_string(i) + ".txt");
  const kestro_test::ToolRun run = root.Run({"vnyparsefolder", "tree"});
  EXPECT_EQ(run.exitCode, 255) << run.out;
  const std::string refusal = "- <kuid:400000:7> : Not installed: " + big +
                              ": the package would hold more than 65536 files, the most an "
                              "install takes\n";
  EXPECT_NE(run.out.find(refusal), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Exported 1 assets"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(root.Root() + "/UserData/local/kuid 400000 7 0"));
}

// An asset the user installed and edited stays as they left it when a folder holding another copy
// of it is exported: it is exported as installed, with a warning. What the export installed only
// for itself goes again without a backup.
TEST(RepositoryExport, AnInstalledAssetIsLeftAsFoundAndExportedOnesLeaveNoBackup) {
  kestro_test::InstallRoot root(KESTRO_BINARY_DIR, KESTRO_TEST_DATA_DIR "/../../data/data");
  ASSERT_TRUE(root.IsReady()) << root.Error();
  const std::string mine = "kuid <kuid:400000:4>\nkind \"scenery\"\nusername \"Mine\"\n";
  root.WriteFile("source/mine/config.txt", mine);
  root.WriteFile("tree/mine/config.txt", mine);
  root.WriteFile("tree/other/config.txt",
                 "kuid <kuid:400000:5>\nkind \"scenery\"\nusername \"Other\"\n");
  ASSERT_EQ(root.Run({"installfrompath", "source/mine"}).exitCode, 0);
  const kestro_test::ToolRun edit = root.Run({"edit", "<kuid:400000:4>"});
  ASSERT_EQ(edit.exitCode, 0) << edit.out;
  const std::string prefix = "+ <kuid:400000:4> : ";
  ASSERT_EQ(edit.out.rfind(prefix, 0), 0u) << edit.out;
  const std::string editing = edit.out.substr(prefix.size(), edit.out.find('\n') - prefix.size());
  std::ofstream(editing + "/config.txt") << mine << "description \"edited\"\n";
  ASSERT_EQ(root.Run({"commit", "<kuid:400000:4>"}).exitCode, 0);

  const kestro_test::ToolRun run = root.Run({"vnyparsefolder", "tree"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  const std::string out = root.Root() + "/Kestro Asset Parse";
  EXPECT_EQ(run.out, "! <kuid:400000:4> : Already installed: exported as installed, not from " +
                         root.Root() +
                         "/tree/mine, and left installed.\n"
                         "; <NULL> : Exported 2 assets into " +
                         out +
                         "\n"
                         "OK (0 Errors, 1 Warnings)\n");
  EXPECT_NE(root.Run({"printconfig", "<kuid:400000:4>"}).out.find("\"edited\""), std::string::npos);
  EXPECT_EQ(root.Run({"status", "<kuid:400000:5>"}).exitCode, 255);
  const std::string backups = root.Root() + "/UserData/backups";
  if (fs::exists(backups)) {
    for (const auto& e : fs::recursive_directory_iterator(backups)) {
      EXPECT_FALSE(e.is_regular_file()) << e.path();
    }
  }
  // The package holds the asset as the user left it.
  std::string package;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (e.path().filename() == "kuid 400000 4.cdp") package = e.path().string();
  }
  Soup loaded;
  ASSERT_EQ(std::string(OpenContentPackage(loaded, Qel::PString(), package.c_str()).CStr()), "");
  EXPECT_EQ(std::string(GetPackageAsset(loaded, 0).soup.GetNamedTag("description").CStr()),
            "edited");
}

// A folder whose text configuration names one asset and whose binary one another is the text
// form's asset: left as installed when the user has it, exported when the user has only the other.
TEST(RepositoryExport, AFolderIsTheAssetOfTheConfigurationItsInstallKeeps) {
  for (const std::string installed : {"1", "2"}) {
    SCOPED_TRACE(installed);
    kestro_test::InstallRoot root(KESTRO_BINARY_DIR, KESTRO_TEST_DATA_DIR "/../../data/data");
    ASSERT_TRUE(root.IsReady()) << root.Error();
    const std::string kuid = "<kuid:400330:" + installed + ">";
    root.WriteFile("mine/config.txt", "kuid " + kuid + "\nkind \"scenery\"\n");
    root.WriteFile("mine/precious.txt", "precious");
    ASSERT_EQ(root.Run({"installfrompath", "mine"}).exitCode, 0);
    root.WriteFile("tree/upload/config.txt", "kuid <kuid:400330:1>\nkind \"scenery\"\n");
    Soup chump;
    chump.SetNamedKUID("kuid", KUID(400330, 2, 0));
    chump.SetNamedTag("kind", "scenery");
    ASSERT_TRUE(chump.SaveFile(nullptr, (root.Root() + "/tree/upload/config.chump").c_str(), ""));

    const kestro_test::ToolRun run = root.Run({"vnyparsefolder", "tree"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("! <kuid:400330:1> : Already installed") != std::string::npos,
              installed == "1")
        << run.out;
    EXPECT_EQ(root.Run({"status", kuid}).exitCode, 0) << run.out;
    const std::string local = root.Root() + "/UserData/local/kuid 400330 ";
    EXPECT_TRUE(fs::exists(local + installed + " 0/precious.txt"));
    std::vector<std::string> packages;
    for (const auto& e : fs::recursive_directory_iterator(root.Root() + "/Kestro Asset Parse")) {
      if (e.path().extension() == ".cdp") packages.push_back(e.path().filename().string());
    }
    EXPECT_EQ(packages, std::vector<std::string>{"kuid 400330 1.cdp"});
  }
}

}  // namespace
