#include "frontend/keyword_files.h"

#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/kuid.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_search.h"
#include "qel/file.h"
#include "qel/file_path.h"

namespace {

// The asset's record; `info.found` is 0 for an asset that the database does not know. False when
// the daemon did not answer: its reply always names the asset asked for.
bool AskAsset(const KUID& kuid, PymAssetInfo& info) {
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartCategories);
  return info.asset == kuid;
}

// The file as a message names it: its whole path, for the folder it is in is not the user's.
Qel::String ShownPath(const char* volume, const char* fileName) {
  if (fileName[0] == '/') return fileName;
  Qel::File::Path path(volume != nullptr && *volume != '\0' ? Qel::String(volume)
                                                            : Qel::File::GetCwd());
  path.AddPath(fileName);
  return path.GetText();
}

// Adds the entry; false, for the failures that end with it.
bool Report(ResultsLog* log, u32 type, const Qel::String& text) {
  ResultsLog::AddResult(log, type, KestroPropertyRef(), text);
  return false;
}

}  // namespace

bool BackupKeywords(const char* volume, const char* fileName, const char* form, ResultsLog* log) {
  // A failed search or query must not replace a good backup with a partial one.
  const PymFilterElementGroup everything;
  std::vector<KUID> assets;
  const char* unanswered = "The asset database did not answer; the keyword backup was not written.";
  if (!PymSearchAssets(&everything, assets)) return Report(log, ResultsLog::kError, unanswered);
  Soup file;
  file.EnsureContainer();
  for (const KUID& kuid : assets) {
    PymAssetInfo info;
    if (!AskAsset(kuid, info)) return Report(log, ResultsLog::kError, unanswered);
    file.SetNamedTag(kuid.ToString(), info.found != 0 ? info.keywords.ToPString() : Qel::PString());
  }
  const Qel::String shown = ShownPath(volume, fileName);
  if (!file.SaveFile(volume, fileName, form)) {
    return Report(log, ResultsLog::kError, "Failed to write the keyword backup " + shown + ".");
  }
  Report(log, ResultsLog::kInformation,
         Qel::String::Format("Backed up the keywords of %zu assets into %s", assets.size(),
                             shown.CStr()));
  return true;
}

bool ImportKeywords(const char* volume, const char* fileName, const char* form, ResultsLog* log) {
  Soup file;
  const Qel::String shown = ShownPath(volume, fileName);
  if (!file.LoadFile(volume, fileName, form)) {
    return Report(log, ResultsLog::kError, "Cannot read the keyword file " + shown + ".");
  }
  const char* untaken = "The asset database did not take the keywords.";
  u32 stored = 0;
  for (u32 i = 0, count = file.CountTags(); i < count; ++i) {
    const Qel::PString name = file.GetIndexedTagName(i);
    const KUID kuid = KUID::Parse(name.CStr(), false);
    // The database drops the keywords of an asset it does not know: the user must learn which.
    PymAssetInfo info;
    if (!kuid.IsNull() && !AskAsset(kuid, info)) return Report(log, ResultsLog::kError, untaken);
    if (kuid.IsNull() || info.found == 0) {
      Report(log, ResultsLog::kWarning,
             Qel::String::Format("Not stored: %s is no asset of the database.", name.CStr()));
      continue;
    }
    // The daemon's reason goes before the line that ends the import.
    if (!PymSetAssetKeywords(kuid, Qel::String(file.GetNamedTag(name)), log)) {
      return Report(log, ResultsLog::kError, untaken);
    }
    ++stored;
  }
  Report(log, ResultsLog::kInformation,
         Qel::String::Format("Imported the keywords of %u assets from %s", stored, shown.CStr()));
  return true;
}
