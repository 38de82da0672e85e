#include "frontend/keyword_files.h"

#include <vector>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"
#include "pymclient/pym_search.h"

namespace {

// The asset's keywords; empty for an asset that the database does not know. False when the
// daemon did not answer: its reply always names the asset asked for.
bool ReadKeywords(const KUID& kuid, Qel::String& keywords) {
  PymAssetInfo info;
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartCategories);
  if (info.asset != kuid) return false;
  keywords = info.found != 0 ? info.keywords : Qel::String();
  return true;
}

// The file as a message names it: its whole path, for the folder it is in is not the user's.
Qel::String ShownPath(const char* volume, const char* fileName) {
  if (fileName[0] == '/') return fileName;
  Qel::File::Path path(volume != nullptr && *volume != '\0' ? Qel::String(volume)
                                                            : Qel::File::GetCwd());
  path.AddPath(fileName);
  return path.GetText();
}

}  // namespace

bool BackupKeywords(const char* volume, const char* fileName, const char* form, Qel::String* why) {
  Qel::String ignored;
  Qel::String& reason = why != nullptr ? *why : ignored;
  // A failed search or query must not replace a good backup with a partial one.
  const PymFilterElementGroup everything;
  std::vector<KUID> assets;
  reason = "The asset database did not answer; the keyword backup was not written.";
  if (!PymSearchAssets(&everything, assets)) return false;
  Soup file;
  file.EnsureContainer();
  for (const KUID& kuid : assets) {
    Qel::String keywords;
    if (!ReadKeywords(kuid, keywords)) return false;
    file.SetNamedTag(kuid.ToString(), keywords.ToPString());
  }
  reason = "Failed to write the keyword backup " + ShownPath(volume, fileName) + ".";
  if (!file.SaveFile(volume, fileName, form)) return false;
  reason = Qel::String();
  return true;
}

bool ImportKeywords(const char* volume, const char* fileName, const char* form, Qel::String* why) {
  Qel::String ignored;
  Qel::String& reason = why != nullptr ? *why : ignored;
  Soup file;
  reason = "Cannot read the keyword file " + ShownPath(volume, fileName) + ".";
  if (!file.LoadFile(volume, fileName, form)) return false;
  bool sent = true;
  for (u32 i = 0, count = file.CountTags(); i < count; ++i) {
    const Qel::PString name = file.GetIndexedTagName(i);
    sent =
        PymSetAssetKeywords(KUID::Parse(name.CStr(), false), Qel::String(file.GetNamedTag(name))) &&
        sent;
  }
  // The daemon serves a connection's requests in order, so its answer to this one says that every
  // post before it was applied; without it the command could end before the keywords are stored.
  PymRequest barrier;
  reason = "The asset database did not take the keywords.";
  if (!barrier.Transact(PymProtocol::kOpKeepAlive) || !sent) return false;
  reason = Qel::String();
  return true;
}
