#include "frontend/export_batch_writer.h"

#include <array>

#include "qel/file.h"

const Qel::PString kExportTagKuid("kuid");
const Qel::PString kExportTagAsset("asset");
const Qel::PString kExportTagTypeId("assettypeid");
const Qel::PString kExportTagTitle("title");
const Qel::PString kExportTagDescription("description");
const Qel::PString kExportTagDownloadPath("downloadpath");
const Qel::PString kExportTagFileSize("filesize");
const Qel::PString kExportTagProductVersion("productversion");
const Qel::PString kExportTagDependencies("deps");
const Qel::PString kExportTagCategories("cats");
const Qel::PString kExportTagCategoryElements("cat_els");

namespace {

enum OutputFile { kKuids, kAssets, kChildren, kDependencies, kCategories, kElements, kFileCount };

constexpr const char* kFileNames[kFileCount] = {
    "kuids.txt",
    "SQL_Asset_%u.txt",
    "SQL_AssetChild_%u.txt",
    "SQL_AssetDependencies_%u.txt",
    "SQL_AssetCategories_%u.txt",
    "SQL_AssetCategoryElements_%u.txt",
};

constexpr const char* kHeaders[kFileCount] = {
    "",
    "",
    "INSERT INTO AssetChild (AssetID,ChildID) VALUES \r\n",
    "INSERT INTO AssetKUIDDependency (AssetID,KUID) VALUES \r\n",
    "INSERT INTO Asset_AssetCategory_Rels (AssetID,AssetCategoryID) VALUES \r\n",
    "INSERT INTO Asset_CategoryElement_Rels (AssetID,CategoryElementID) VALUES \r\n",
};

// The row of a dependency, and of a category element.
constexpr const char* kTextRow =
    "((SELECT AssetID FROM Asset WHERE KUID = %s AND AssetDownloadID='T10'), %s), \r\n";

Qel::String Text(const Soup& soup, const Qel::PString& name) {
  return Qel::String(soup.GetNamedTag(name));
}

// The KUID text of the version before; the first version's parent is the short form.
Qel::String PreviousVersionText(const KUID& kuid) {
  if (kuid.version == 1) return Qel::String::Format("%d:%d", kuid.userId, kuid.contentId);
  return Qel::String::Format("%d:%d:%d", kuid.userId, kuid.contentId, kuid.version - 1);
}

void AppendRecord(const Soup& record, std::array<Qel::String, kFileCount>& text) {
  const KUID kuid = record.GetNamedTagAsKUID(kExportTagKuid, KUID::Null());
  const Soup asset = record.GetNamedSoup(kExportTagAsset);
  const Qel::String k = QuoteSqlText(Text(asset, kExportTagKuid).View());

  text[kKuids] += Qel::String(kuid.ToString());
  text[kKuids] += "\r\n";
  text[kAssets].AppendFormat(
      "UPDATE Asset SET AssetTypeID=%d,ProductID=198,Title=%s,Description=%s,"
      "DownloadPath=%s,FileSize=%d,Version=%d,AssetStatusID='AVL',AssetDownloadID='T10',"
      "LastUpdated=NOW(),ProductVersion=%.1f WHERE KUID=%s AND AssetDownloadID='FAK'; \r\n",
      asset.GetNamedTagAsInt(kExportTagTypeId, 0),
      QuoteSqlText(Text(asset, kExportTagTitle).View()).CStr(),
      QuoteSqlText(Text(asset, kExportTagDescription).View()).CStr(),
      QuoteSqlText(Text(asset, kExportTagDownloadPath).View()).CStr(),
      asset.GetNamedTagAsInt(kExportTagFileSize, 0), kuid.version,
      double(asset.GetNamedTagAsFloat(kExportTagProductVersion, 0.0f)), k.CStr());
  if (kuid.version > 0) {
    text[kChildren].AppendFormat(
        "((SELECT AssetID FROM Asset WHERE KUID = %s AND AssetDownloadID='T10'), (SELECT "
        "AssetID from Asset WHERE KUID = '%s')), \r\n",
        k.CStr(), PreviousVersionText(kuid).CStr());
  }
  const Soup dependencies = record.GetNamedSoup(kExportTagDependencies);
  for (u32 i = 0; i < dependencies.CountTags(); ++i) {
    const Qel::String dependency = Text(dependencies, dependencies.GetIndexedTagName(i));
    text[kDependencies].AppendFormat(kTextRow, k.CStr(), QuoteSqlText(dependency.View()).CStr());
  }
  const Soup categories = record.GetNamedSoup(kExportTagCategories);
  for (u32 i = 0; i < categories.CountTags(); ++i) {
    text[kCategories].AppendFormat(
        "((SELECT AssetID FROM Asset WHERE KUID = %s AND AssetDownloadID='T10'), '%d'), \r\n",
        k.CStr(), categories.GetNamedTagAsInt(categories.GetIndexedTagName(i), 0));
  }
  const Soup elements = record.GetNamedSoup(kExportTagCategoryElements);
  for (u32 i = 0; i < elements.CountTags(); ++i) {
    const Qel::String element = Text(elements, elements.GetIndexedTagName(i));
    text[kElements].AppendFormat(kTextRow, k.CStr(), QuoteSqlText(element.View()).CStr());
  }
}

}  // namespace

Qel::String QuoteSqlText(std::string_view text) {
  Qel::String out("'");
  out.Std().reserve(text.size() + 2);
  for (const char c : text) {
    if (c == '\'' || c == '\\') out += c;
    out += c;
  }
  out += '\'';
  if (text.find('\\') == std::string_view::npos) return out;
  // Read with backslash escapes (MySQL, its ANSI mode too) the literal is the text and the first
  // SUBSTR is empty, which REPLACE leaves alone; read by the standard (SQLite, MySQL's
  // NO_BACKSLASH_ESCAPES) each backslash stands doubled and the SUBSTRs are two and one.
  return "REPLACE(" + out + ", SUBSTR('\\\\\\\\', 3, 2), SUBSTR('\\\\', 1, 1))";
}

bool WriteExportBatch(const Soup& batch, u32 batchNumber, const Qel::String& outputFolder,
                      Qel::String& error) {
  constexpr u32 kCreate =
      Qel::File::kModeWrite | Qel::File::kModeCreate | Qel::File::kModeMakeFolders;
  std::array<Qel::File, kFileCount> files;
  std::array<Qel::String, kFileCount> paths;
  for (int i = 0; i < kFileCount; ++i) {
    paths[i] = outputFolder + "/" + Qel::String::Format(kFileNames[i], batchNumber);
    // The KUID list runs on over every batch and every export.
    const bool append = i == kKuids && Qel::File::Exists(paths[i].CStr());
    const int failure = files[i].Open(paths[i].CStr(), append ? Qel::File::kModeWrite : kCreate);
    if (failure != 0 || (append && !files[i].Seek(0, 2))) {
      error = Qel::String::Format("cannot open %s", paths[i].CStr());
      return false;
    }
  }
  std::array<Qel::String, kFileCount> text;
  for (int i = 0; i < kFileCount; ++i) text[i] = kHeaders[i];
  for (u32 i = 0; i < batch.CountTags(); ++i) AppendRecord(batch.GetIndexedSoup(i), text);
  for (int i = 0; i < kFileCount; ++i) {
    if (files[i].Write(text[i].CStr(), text[i].Length()) != text[i].Length()) {
      error = Qel::String::Format("cannot write %s", paths[i].CStr());
      return false;
    }
  }
  return true;
}
