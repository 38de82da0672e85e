// The files a batch of exported assets leaves for the repository's catalogue: "kuids.txt", which
// every batch extends, and five statement files per batch ("SQL_Asset_<n>.txt" and the INSERT
// files for children, dependencies, categories and category elements).
//
// A batch is a soup of record soups in the order written. A record holds "kuid" (the asset's
// KUID), "asset" (the catalogue fields: "assettypeid", "title", "description", "downloadpath",
// "filesize", "productversion" and "kuid", the colon text), and the numbered lists "deps"
// (dependency colon texts), "cats" (category ids) and "cat_els" (category texts).
//
// Every row of an INSERT file ends "), " and a line break, the last one too: the repository's
// loader closes the statement itself.
#pragma once

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

extern const Qel::PString kExportTagKuid;
extern const Qel::PString kExportTagAsset;
extern const Qel::PString kExportTagTypeId;
extern const Qel::PString kExportTagTitle;
extern const Qel::PString kExportTagDescription;
extern const Qel::PString kExportTagDownloadPath;
extern const Qel::PString kExportTagFileSize;
extern const Qel::PString kExportTagProductVersion;
extern const Qel::PString kExportTagDependencies;
extern const Qel::PString kExportTagCategories;
extern const Qel::PString kExportTagCategoryElements;

// The text as a string of a statement that MySQL (its default and its ANSI mode) and SQLite read
// alike and that no text can end: a literal in single quotes, each quote and backslash doubled,
// and for a text that holds a backslash, that literal in an expression that gives the text back
// whether the backslash escapes or not.
Qel::String QuoteSqlText(std::string_view text);

// Appends the batch's KUIDs to "kuids.txt" and writes its five statement files, all in
// `outputFolder` (created when missing). When a file does not open nothing is written; false
// with the reason in `error` then, and also when a write falls short.
bool WriteExportBatch(const Soup& batch, u32 batchNumber, const Qel::String& outputFolder,
                      Qel::String& error);
