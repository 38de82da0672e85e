#include "assetdata/cdp_extract.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "assetdata/cdp_package.h"
#include "assetdata/soup_bytes.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using soupbytes::Bytes;

const char kDecodeFailed[] = "Failed to decompress data. Content package may be damaged";
const char kUnknownFormat[] = "Unknown compression format.";
const char kNotCdp[] = "Content could not be read, as the file is not a valid CDP";

Bytes Lzss(const Bytes& plain) {
  Bytes out(Qel::LZSSCompress::MaxCompressedSize(u32(plain.size())) + 4, '\0');
  const u32 n = Qel::LZSSCompress().CompressBlock(plain.data(), u32(plain.size()), &out[4],
                                                  u32(out.size() - 4), 5);
  return soupbytes::U32(u32(plain.size())) + out.substr(4, n);
}

// A file or, for a path ending in '|', a folder; '|' separates folders so that names may hold '/'.
void Put(Soup& files, const std::string& path, const Bytes& bytes) {
  const size_t bar = path.find('|');
  if (bar != std::string::npos) {
    Soup folder = files.GetNamedSoup(Qel::PString(path.substr(0, bar)));
    if (folder.IsNull()) files.SetNamedSoup(Qel::PString(path.substr(0, bar)), folder);
    if (bar + 1 < path.size()) Put(folder, path.substr(bar + 1), bytes);
    return;
  }
  files.EnsureContainer();
  files.GetRoot()->AddChild(
      Qel::PString(path),
      files.GetRoot()->CreateTag(kKindRaw,
                                 ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()))));
}

Bytes PackageBytes(const Soup& files, const char* compression) {
  Soup asset;
  asset.SetNamedKUID("kuid", KUID(1, 1, 0));
  Soup copy = files;
  asset.SetNamedSoup("files", copy);
  asset.SetNamedTag("compression", compression);
  Soup package;
  AddArchivedAsset(package, asset);
  return soupbytes::Write(package);
}

// An empty package beside containers nested `depth` deep, built from the outside in.
Bytes Nested(u32 depth) {
  const Bytes tags = soupbytes::Chunk("kind", kChunkText, Bytes("archive", 8)) +
                     soupbytes::Chunk("package-version", kChunkInt, soupbytes::U32(1));
  const Bytes inner = soupbytes::Chunk("a.txt", kChunkRaw, "x");
  Bytes headers;
  for (u32 level = depth; level > 0; --level) {
    headers += soupbytes::U32(u32(inner.size()) + 8 * (level - 1) + 4) +
               "\x02"
               "d" +
               '\0' + '\0';
  }
  return soupbytes::WithHeader(tags + headers + inner);
}

// Every path below the folder, sorted, each followed by a blank.
std::string Listing(const std::string& folder) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    paths.insert(fs::relative(entry.path(), folder).string());
  }
  std::string text;
  for (const std::string& p : paths) text += p + " ";
  return text;
}

Bytes FileReference(const std::string& path) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  out.WritePString(Qel::PString());
  out.WriteString(Qel::String(path.c_str()));
  return Bytes(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

TEST(CdpExtractTest, HostilePackagesStayInside) {
  const Bytes evil = "evil";
  const Bytes corrupt = soupbytes::U32(8) + Bytes(3, '\0');
  const struct {
    const char* compression;
    std::string entry;  // a path for Put, or "" for a whole package in `bytes`
    Bytes bytes;
    const char* message;
    const char* listing;  // below inner/dest; null when nothing is extracted
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
      {"", "sub|deeper|a.txt", "", "", "ok.txt sub sub/deeper sub/deeper/a.txt "},
      {"LZSS", "bad.txt", "abc", kDecodeFailed, "ok.txt "},
      {"LZSS", "sub|bad.txt", corrupt, kDecodeFailed, "ok.txt sub "},
      {"LZSS", "long.txt",
       soupbytes::U32(2) + "\xFF"
                           "abcdefgh",
       kDecodeFailed, "ok.txt "},
      {"LZSS", "short.txt",
       soupbytes::U32(9) + "\xFF"
                           "abcdefgh",
       kDecodeFailed, "ok.txt "},
      {"LZSS", "big.txt", soupbytes::U32(0xFFFFFFFFu) + "\x01x", kDecodeFailed, "ok.txt "},
      {"filepath", "", Bytes(), kUnknownFormat, ""},
      {"lzss", "", Bytes(), kUnknownFormat, ""},
      {"", "", Nested(1000), "", ""},
      {"", "", Nested(10000), kNotCdp, nullptr},
      {"", "", PackageBytes(Soup(), "").substr(0, 60), kNotCdp, nullptr},
  };
  for (const auto& row : rows) {
    scratch::Folder folder;
    const std::string package = folder.At("pkg.cdp");
    const std::string compression = row.compression;
    Soup files;
    Put(files, "ok.txt",
        compression == "LZSS"       ? Lzss("fine")
        : compression == "filepath" ? FileReference(package)
                                    : "fine");
    if (!row.entry.empty()) Put(files, row.entry, row.bytes);
    const bool whole = row.entry.empty() && !row.bytes.empty();
    folder.Put("pkg.cdp", whole ? row.bytes : PackageBytes(files, row.compression));

    Soup opened;
    Qel::PString message = OpenContentPackage(opened, Qel::PString(), package.c_str());
    if (message.IsEmpty()) {
      const Soup asset = GetPackageAsset(opened, 0).soup;
      message = ExtractPackageFiles(GetFilesContainer(asset), Qel::PString(),
                                    folder.At("inner/dest").c_str(), GetCompressionName(asset));
    }
    EXPECT_EQ(message, Qel::PString(row.message)) << row.entry << compression;
    std::string listing = "pkg.cdp ";
    if (row.listing) {
      listing = "inner inner/dest ";
      for (std::string rest = row.listing; !rest.empty(); rest.erase(0, rest.find(' ') + 1)) {
        listing += "inner/dest/" + rest.substr(0, rest.find(' ') + 1);
      }
      listing += "pkg.cdp ";
    }
    EXPECT_EQ(Listing(folder.path()), listing) << row.entry << compression;
  }
}

TEST(CdpExtractTest, WritesEveryFormIntoTheTree) {
  scratch::Folder folder;
  const Bytes big(100000, 'q');
  folder.Put("source.bin", big);
  const struct {
    const char* compression;
    Bytes (*encode)(const Bytes&);
  } forms[] = {{"", [](const Bytes& b) { return b; }}, {"LZSS", Lzss}};
  for (const auto& form : forms) {
    Soup files;
    for (const char* path : {"a.txt", "empty.txt", "sub|b.chump", "sub|deeper|c.TGA"}) {
      Put(files, path, form.encode(*path == 'e' ? "" : big + path));
    }
    const std::string dest = folder.At(std::string("dest") + form.compression);
    EXPECT_EQ(ExtractPackageFiles(files, "", dest.c_str(), form.compression), Qel::PString());
    EXPECT_EQ(scratch::ReadAll(dest + "/sub/deeper/c.TGA"), big + "sub|deeper|c.TGA");
    EXPECT_EQ(scratch::ReadAll(dest + "/a.txt"), big + "a.txt");
    EXPECT_TRUE(fs::is_regular_file(dest + "/empty.txt")) << form.compression;
  }
  // Local references: only where the caller allows them, and only well-formed ones.
  const std::string target = folder.At("copy.txt");
  const Bytes reference = FileReference(folder.At("source.bin"));
  EXPECT_EQ(WritePackageFile({reinterpret_cast<const u8*>(reference.data()), reference.size()}, "",
                             target.c_str(), kCompressionFilePath, LocalFileReferences::kAllow),
            Qel::PString());
  EXPECT_EQ(scratch::ReadAll(target), big);
  EXPECT_EQ(WritePackageFile({reinterpret_cast<const u8*>(reference.data()), 6}, "", target.c_str(),
                             kCompressionFilePath, LocalFileReferences::kAllow),
            Qel::PString("Internal error while copying local file."));
  const Bytes missing = FileReference(folder.At("missing.bin"));
  EXPECT_EQ(WritePackageFile({reinterpret_cast<const u8*>(missing.data()), missing.size()}, "",
                             target.c_str(), kCompressionFilePath, LocalFileReferences::kAllow),
            Qel::PString("Failed to copy local file."));
  // Never through a link, which could lead anywhere.
  fs::create_symlink(folder.At("source.bin"), folder.At("link.txt"));
  EXPECT_FALSE(
      WriteStoredFile({reinterpret_cast<const u8*>("x"), 1}, "", folder.At("link.txt").c_str()));
  EXPECT_FALSE(WriteStoredFile({}, "", folder.At("no/such/folder.jpg").c_str()));
  EXPECT_EQ(scratch::ReadAll(folder.At("source.bin")), big);
}

}  // namespace
