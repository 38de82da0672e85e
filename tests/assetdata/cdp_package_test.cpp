#include "assetdata/cdp_package.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>

#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_extract.h"
#include "assetdata/soup_bytes.h"
#include "assetdata/soup_text.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using soupbytes::Bytes;

const char kDecodeFailed[] = "Failed to decompress data. Content package may be damaged";
const char kUnknownFormat[] = "Unknown compression format.";
const char kNotCdp[] = "Content could not be read, as the file is not a valid CDP";

Soup Parse(const std::string& text) {
  Soup soup;
  ParseSoupText(soup, text, true);
  return soup;
}

// Each tag's name, with "=" and the KUID text for KUID tags.
std::string Describe(const Soup& soup) {
  std::string text;
  for (u32 i = 0; i < soup.CountTags(); ++i) {
    const Qel::PString name = soup.GetIndexedTagName(i);
    text += name.CStr();
    if (soup.GetNamedTagKind(name) == kKindKUID)
      text += std::string("=") + soup.GetNamedTagAsKUID(name, KUID()).ToString().CStr();
    text += " ";
  }
  return text;
}

// Raw bytes at a path whose folders are separated by '|', so that names may hold '/'.
void Put(Soup& files, const std::string& path, const Bytes& bytes) {
  const size_t bar = path.find('|');
  files.EnsureContainer();
  if (bar != std::string::npos) {
    Soup folder = files.GetNamedSoup(Qel::PString(path.substr(0, bar)));
    if (folder.IsNull()) files.SetNamedSoup(Qel::PString(path.substr(0, bar)), folder);
    return Put(folder, path.substr(bar + 1), bytes);
  }
  files.GetRoot()->AddChild(
      Qel::PString(path),
      files.GetRoot()->CreateTag(kKindRaw,
                                 ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()))));
}

Bytes Lzss(const Bytes& plain) {
  Bytes out(Qel::LZSSCompress::MaxCompressedSize(u32(plain.size())), '\0');
  out.resize(Qel::LZSSCompress().CompressBlock(plain.data(), u32(plain.size()), out.data(),
                                               u32(out.size()), 5));
  return soupbytes::U32(u32(plain.size())) + out;
}

// A driven traincar with every kind of reference and exclusion, an asset that it refers to and
// that refers back, and one that obsoletes itself among others.

// `rebuildOnce`: every asset inserted, the tables rebuilt after the last.
Soup ThreeAssetPackage(bool rebuildOnce = false) {
  Soup package;
  package.SetNamedTag("thumbnail", "jpg");
  for (const char* text :
       {"kuid <kuid:1:1>\nkind traincar\nengine 1\nbogey <kuid:1:10>\nnote \"<kuid:9:9>\"\n"
        "kuid-table {\n0 <kuid:1:1>\n1 <kuid:1:2>\n2 <kuid:1:20>\n3 <kuid:1:30>\n}\n"
        "obsolete-table {\n0 <kuid:1:10>\n1 <kuid:1:40>\n}\n"
        "optional-kuid-table {\n0 <kuid:1:30>\n}\nobsoletes-kuid <kuid:1:41>\n",
        "kuid <kuid:1:2>\nalias <kuid:1:1>\nkuid-table {\n0 <kuid:1:1>\n}\n",
        "kuid <kuid:1:3>\nobsolete-table {\n0 <kuid:1:3>\n1 <kuid:1:20>\n2 <kuid:1:50>\n}\n"}) {
    Soup asset = Parse(text);
    EXPECT_EQ(rebuildOnce ? InsertArchivedAsset(package, asset) : AddArchivedAsset(package, asset),
              Qel::PString());
  }
  if (rebuildOnce) RebuildPackageTables(package);
  return package;
}

TEST(CdpPackageTest, TablesFollowTheAssets) {
  Soup package = ThreeAssetPackage();
  EXPECT_EQ(Describe(package),
            "thumbnail assets contents-table kuid-table obsolete-table kind package-version ");
  EXPECT_EQ(Describe(package.GetNamedSoup("contents-table")),
            "0=<kuid:1:1> 1=<kuid:1:2> 2=<kuid:1:3> ");
  // The bogey is named twice and excluded once; a text KUID counts; the default interior is needed.
  EXPECT_EQ(Describe(package.GetNamedSoup("kuid-table")),
            "0=<kuid:9:9> 1=<kuid:1:20> 2=<kuid:1:41> 3=<kuid:1:10> 4=<kuid:-10:172> ");
  // The own KUID leaves by moving its block's last entry into its place.
  EXPECT_EQ(Describe(package.GetNamedSoup("obsolete-table")),
            "0=<kuid:1:10> 1=<kuid:1:40> 2=<kuid:1:41> 3=<kuid:1:50> 4=<kuid:1:20> ");
  EXPECT_EQ(FindPackageAsset(package, KUID(1, 3, 0)), 2);
  EXPECT_EQ(FindPackageAsset(package, KUID(1, 4, 0)), -1);
  EXPECT_TRUE(GetPackageAsset(package, 3).soup.IsNull());
  Soup again = Parse("kuid <kuid2:1:2:0>\n");
  EXPECT_EQ(
      AddArchivedAsset(package, again),
      Qel::PString("Unable to add content as an item with KUID <kuid:1:2> is already present"));
  Soup failedReply = ArchivedAsset().soup;
  EXPECT_EQ(AddArchivedAsset(package, failedReply),
            Qel::PString("Unable to add content as it doesnt not contain a valid KUID"));
  EXPECT_EQ(CountPackageAssets(package), 3u);
  scratch::Folder folder;
  const std::string added = folder.path() + "/added.cdp";
  const std::string inserted = folder.path() + "/inserted.cdp";
  ASSERT_EQ(SaveContentPackage(ThreeAssetPackage(), added.c_str()), Qel::PString());
  ASSERT_EQ(SaveContentPackage(ThreeAssetPackage(true), inserted.c_str()), Qel::PString());
  EXPECT_EQ(scratch::ReadAll(added), scratch::ReadAll(inserted));
}

TEST(CdpPackageTest, OpenRefusesAndClears) {
  scratch::Folder folder;
  const char* newer = "This content requires a newer Kestro version";
  const struct {
    void (*change)(Soup&);
    const char* message;
  } rows[] = {
      {[](Soup& p) { p.SetNamedTag("kind", "ARCHIVE"); }, ""},
      {[](Soup& p) { p.SetNamedTag("kind", "zip"); }, kNotCdp},
      {[](Soup& p) { p.SetNamedInt("package-version", 2); }, newer},
      {[](Soup& p) { p.RemoveNamedTag("package-version"); }, newer},
      {[](Soup& p) { p.GetNamedSoup("contents-table").RemoveNamedTag("2"); },
       "Content could not be read, as the CDP file is damaged"},
  };
  const std::string path = folder.At("p.cdp");
  for (const auto& row : rows) {
    Soup package = ThreeAssetPackage();
    row.change(package);
    ASSERT_EQ(SaveContentPackage(package, path.c_str()), Qel::PString());
    Soup opened;
    EXPECT_EQ(OpenContentPackage(opened, Qel::PString(), path.c_str()), Qel::PString(row.message));
    EXPECT_EQ(opened.IsNull(), *row.message != '\0') << row.message;
  }
  EXPECT_EQ(SaveContentPackage(ThreeAssetPackage(), folder.At("p.zip").c_str()),
            Qel::PString("Unable to write archive file. Needs to be .cdp file extension"));
  // Any other failure gives its reason, not the extension hint.
  const std::string taken = folder.At("taken.cdp");
  fs::create_directory(taken);
  EXPECT_EQ(SaveContentPackage(ThreeAssetPackage(), taken.c_str()),
            Qel::PString(("Unable to write archive file " + taken + ": Is a directory.").c_str()));
  EXPECT_EQ(SaveContentPackage(ThreeAssetPackage(), folder.At("none/p.cdp").c_str()),
            Qel::PString(("Unable to write archive file " + folder.At("none/p.cdp") +
                          ": No such file or directory.").c_str()));
}

TEST(CdpPackageTest, DsidOverFiles) {
  const Bytes words("\1\0\0\0\2\0\0\0", 8);
  const struct {
    std::initializer_list<std::pair<const char*, Bytes>> files;
    const char* dsid;
  } rows[] = {
      {{}, "0:0"},
      {{{"a.txt", "abc"}}, "0:1"},
      {{{"a.txt", words}}, "8:8"},
      {{{"a.txt", Bytes("\0\0\0\xC0\0\0\0\0", 8)}}, "8:6"},
      // The empty sum of the first file becomes (1, 0) before the folder's is added.
      {{{"a.txt", "abcd"}, {"s|b.txt", words}, {"s|c.txt", words}}, "16:17"},
  };
  for (const auto& row : rows) {
    Soup asset;
    Soup files;
    files.EnsureContainer();
    for (const auto& [path, bytes] : row.files) Put(files, path, bytes);
    asset.SetNamedSoup("files", files);
    EXPECT_FALSE(CheckAssetDsid(asset));
    SetAssetDsid(asset);
    EXPECT_EQ(asset.GetNamedTag("dsid"), Qel::PString(row.dsid));
    EXPECT_TRUE(CheckAssetDsid(asset));
  }
}

TEST(CdpPackageTest, StripKeepsTheConfiguration) {
  ArchivedAsset asset;
  asset.soup = Parse(
      "kuid <kuid:1:1>\nkind TrainCar\nengine 1\nfiles {\n}\ndsid 0:0\ncompression LZSS\n"
      "folder-icon 1\n.cache 1\nkuid-table {\n0 <kuid:1:10>\n7 <kuid:1:11>\n1 <kuid:1:12>\n}\nname "
      "x\n");
  EXPECT_EQ(Describe(StripPackageTags(asset)), "kuid=<kuid:1:1> engine name kind kuid-table ");
  EXPECT_EQ(Describe(StripPackageTags(asset).GetNamedSoup("kuid-table")),
            "0=<kuid:1:10> 7=<kuid:1:11> 1=<kuid:1:12> 8=<kuid:-10:172> ");
  EXPECT_TRUE(asset.modified);
  EXPECT_TRUE(asset.soup.HasNamedTag("files"));
  ArchivedAsset clean;
  clean.soup = Parse("kuid <kuid:1:1>\nkuid-table {\n0 <kuid:1:2>\n}\nkind scenery\n");
  EXPECT_EQ(Describe(StripPackageTags(clean)), "kuid=<kuid:1:1> kind kuid-table ");
  EXPECT_FALSE(clean.modified);
}

// Every path below the folder, sorted.
std::string Listing(const std::string& folder) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    paths.insert(fs::relative(entry.path(), folder).string());
  std::string text;
  for (const std::string& p : paths) text += p + " ";
  return text;
}

// An empty package beside containers nested `depth` deep, built from the outside in.
Bytes Nested(u32 depth) {
  const Bytes inner = soupbytes::Chunk("a.txt", kChunkRaw, "x");
  Bytes body = soupbytes::Chunk("kind", kChunkText, Bytes("archive", 8)) +
               soupbytes::Chunk("package-version", kChunkInt, soupbytes::U32(1));
  for (u32 level = depth; level > 0; --level)
    body += soupbytes::U32(u32(inner.size()) + 8 * level - 4) + Bytes("\2d\0\0", 4);
  return soupbytes::WithHeader(body + inner);
}

TEST(CdpPackageTest, HostilePackagesStayInside) {
  const Bytes evil = "evil";
  const Bytes fine(100000, 'f');
  const struct {
    const char* compression;
    const char* entry;  // a path for Put, or null for a whole package file in `bytes`
    Bytes bytes;
    const char* message;
    const char* listing;  // below the destination; null when nothing is extracted
  } rows[] = {
      {"", "..|evil.txt", evil, "", "ok.txt "},
      {"", "a\\..\\b|evil.txt", evil, "", "ok.txt "},
      {"", "/abs|evil.txt", evil, "", "ok.txt "},
      {"", "x:y|evil.txt", evil, "", "ok.txt "},
      {"", ".hidden|evil.txt", evil, "", "ok.txt "},
      {"", "blank |evil.txt", evil, "", "ok.txt "},
      {"", "x:y.txt", evil, "", "ok.txt "},
      {"", "trail.txt ", evil, "", "ok.txt "},
      {"", "evil.exe", evil, "", "ok.txt "},
      {"", "note.txt", Bytes(), "Unknown data type encountered. Content package may be damaged",
       "ok.txt "},
      {"", "sub|deeper|empty.txt", "", "", "ok.txt sub sub/deeper sub/deeper/empty.txt "},
      {"LZSS", "bad.txt", "abc", kDecodeFailed, "ok.txt "},
      {"LZSS", "sub|bad.txt", soupbytes::U32(8) + Bytes(3, '\0'), kDecodeFailed, "ok.txt sub "},
      {"LZSS", "long.txt", soupbytes::U32(2) + Bytes("\xFF") + "abcdefgh", kDecodeFailed,
       "ok.txt "},
      {"LZSS", "short.txt", soupbytes::U32(9) + Bytes("\xFF") + "abcdefgh", kDecodeFailed,
       "ok.txt "},
      {"LZSS", "big.txt", soupbytes::U32(0xFFFFFFFFu) + "\x01x", kDecodeFailed, "ok.txt "},
      {"filepath", "x.txt", "", kUnknownFormat, ""},
      {"lzss", "x.txt", "", kUnknownFormat, ""},
      {"", nullptr, Nested(1000), "", ""},
      {"", nullptr, Nested(10000), kNotCdp, nullptr},
      {"", nullptr, Nested(1000).substr(0, 60), kNotCdp, nullptr},
  };
  for (const auto& row : rows) {
    scratch::Folder folder;
    const std::string package = folder.At("pkg.cdp");
    Soup asset = Parse("kuid <kuid:1:1>\n");
    asset.SetNamedTag("compression", row.compression);
    Soup files = asset.GetNamedSoup("files");
    Put(files, "ok.txt", row.compression == std::string("LZSS") ? Lzss(fine) : fine);
    if (row.entry && row.bytes.empty() && *row.entry == 'n') {
      files.SetNamedTag(row.entry, "text");
    } else if (row.entry) {
      Put(files, row.entry, row.bytes);
    }
    asset.SetNamedSoup("files", files);
    Soup built;
    AddArchivedAsset(built, asset);
    folder.Put("pkg.cdp", row.entry ? soupbytes::Write(built) : row.bytes);

    Soup opened;
    Qel::PString message = OpenContentPackage(opened, Qel::PString(), package.c_str());
    if (message.IsEmpty()) {
      const Soup stored = GetPackageAsset(opened, 0).soup;
      message = ExtractPackageFiles(GetFilesContainer(stored), "", folder.At("inner/dest").c_str(),
                                    GetCompressionName(stored));
    }
    EXPECT_EQ(message, Qel::PString(row.message)) << row.entry << row.compression;
    std::string listing = row.listing ? "inner inner/dest " : "";
    for (std::string rest = row.listing ? row.listing : ""; !rest.empty();
         rest.erase(0, rest.find(' ') + 1)) {
      listing += "inner/dest/" + rest.substr(0, rest.find(' ') + 1);
    }
    EXPECT_EQ(Listing(folder.path()), listing + "pkg.cdp ") << row.entry << row.compression;
    if (listing.find("ok.txt") != std::string::npos) {
      EXPECT_EQ(folder.Read("inner/dest/ok.txt"), fine);
    }
  }
}

TEST(CdpPackageTest, SafePathsAndLocalReferences) {
  for (const char* path : {"/a", "a//b", "a/../b", "a\\..\\b", "a/.../b"})
    EXPECT_FALSE(IsSafeFolderPath(path)) << path;
  // The last component is not a folder that anything is written through.
  for (const char* path : {"a", "a/b c/d", "a/..", "a.b/c"})
    EXPECT_TRUE(IsSafeFolderPath(path)) << path;
  EXPECT_EQ(ExtractPackageFiles(Soup(), "", "", ""),
            Qel::PString("Unable to write content files to disk"));
  scratch::Folder folder;
  const Bytes big(100000, 'q');
  // A local reference only where the caller allows it, never through a link.
  folder.Put("source.bin", big);
  const std::string source = folder.At("source.bin");
  const Bytes reference = soupbytes::U32(0) + soupbytes::U32(u32(source.size())) + source;
  const std::span<const u8> view(reinterpret_cast<const u8*>(reference.data()), reference.size());
  const auto write = [&](std::span<const u8> bytes, const char* name) {
    return WritePackageFile(bytes, "", folder.At(name).c_str(), kCompressionFilePath,
                            LocalFileReferences::kAllow);
  };
  EXPECT_EQ(write(view, "copy.txt"), Qel::PString());
  EXPECT_EQ(folder.Read("copy.txt"), big);
  EXPECT_EQ(write(view.first(6), "copy.txt"),
            Qel::PString("Internal error while copying local file."));
  fs::create_symlink(source, folder.At("link.txt"));
  EXPECT_EQ(write(view, "link.txt"), Qel::PString("Failed to copy local file."));
  EXPECT_FALSE(WriteStoredFile(view, "", folder.At("link.txt").c_str()));
  EXPECT_FALSE(WriteStoredFile(view, "", folder.At("no/folder.jpg").c_str()));
  EXPECT_EQ(folder.Read("source.bin"), big);
}

// A file the disk refuses names itself and the system's reason, stored or decoded alike: a full
// disk is no damaged package. The file-size limit of a child process refuses as a full disk does.
TEST(CdpPackageTest, AFileTheDiskRefusesIsNamedWithTheReason) {
  for (const char* compression : {"", "LZSS"}) {
    scratch::Folder folder;
    const Bytes plain(5000, 'q');
    Soup files;
    Put(files, "sub|big.txt", *compression == 0 ? plain : Lzss(plain));
    const std::string expected = "Unable to write content files to disk: cannot write " +
                                 folder.At("dest/sub/big.txt") + ": File too large";
    const pid_t child = fork();
    if (child == 0) {
      const rlimit small{1000, 1000};
      signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &small);
      const Qel::PString message =
          ExtractPackageFiles(files, "", folder.At("dest").c_str(), Qel::PString(compression));
      _exit(message == Qel::PString(expected.c_str()) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << compression;
    EXPECT_FALSE(fs::exists(folder.At("dest/sub/big.txt"))) << compression;
  }
}

// Installing n files into one folder reads that folder once, not once per file (which made big
// packages quadratic). Names still meet existing entries without regard to case, and a file that
// fails leaves nothing behind.
TEST(CdpPackageTest, ExtractionReadsEachFolderOnce) {
  constexpr int kFiles = 3000;
  scratch::Folder folder;
  folder.Put("dest/Config.TXT", "old");
  folder.Put("dest/Sub/keep.txt", "kept");
  Soup files;
  for (int i = 0; i < kFiles; ++i) Put(files, "f" + std::to_string(i) + ".txt", "x");
  Put(files, "config.txt", "new");
  Put(files, "sub|more.txt", "more");
  Put(files, "SUB|deeper|d.txt", "d");
  const std::string dest = folder.At("dest");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dest.c_str(), IN_OPEN), 0);
  EXPECT_EQ(ExtractPackageFiles(files, "", dest.c_str(), ""), Qel::PString());
  // Listings of the destination itself: opens of the folder, not of an entry in it.
  size_t listings = 0;
  bool overflowed = false;
  alignas(inotify_event) char buffer[1 << 16];
  for (ssize_t got; (got = read(watch, buffer, sizeof buffer)) > 0;) {
    for (char* at = buffer; at < buffer + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      overflowed = overflowed || (event->mask & IN_Q_OVERFLOW) != 0;
      listings += (event->mask & IN_ISDIR) != 0 && event->len == 0;
      at += sizeof(inotify_event) + event->len;
    }
  }
  close(watch);
  EXPECT_FALSE(overflowed);
  EXPECT_LE(listings, 2u);
  EXPECT_EQ(folder.Read("dest/f2999.txt"), "x");
  EXPECT_EQ(folder.Read("dest/Config.TXT"), "new");
  EXPECT_FALSE(fs::exists(folder.At("dest/config.txt")));
  EXPECT_EQ(folder.Read("dest/Sub/more.txt"), "more");
  EXPECT_EQ(folder.Read("dest/Sub/deeper/d.txt"), "d");
  EXPECT_EQ(folder.Read("dest/Sub/keep.txt"), "kept");

  Soup broken;
  Put(broken, "short.txt", "ab");
  EXPECT_EQ(ExtractPackageFiles(broken, "", dest.c_str(), kCompressionLZSS),
            Qel::PString("Failed to decompress data. Content package may be damaged"));
  EXPECT_FALSE(fs::exists(folder.At("dest/short.txt")));
}

}  // namespace
