#include "daemon/search_requests.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_store.h"
#include "daemon/filter_evaluator.h"
#include "daemon/filter_tree.h"
#include "daemon/repository_index.h"
#include "platform/byte_order.h"
#include "pymclient/pym_filter_codes.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace PymDaemonSrv::SearchRequests {

namespace {

// Reads a binary soup strictly: a wrong magic, an unknown version or a body that does not
// decode fails rather than reading as an empty soup.
bool ReadStrictSoup(TStream& in, const u8* payload, size_t size, Soup& out) {
  const u32 start = in.Tell();
  if (size < start || size - start < kSoupHeaderSize) return false;
  const u32 declared = ByteOrder::LoadLE32(payload + start + 12);
  u32 version = 0;
  SoupBody body;
  if (!ReadSoupBinary(in, version, body) || version > 1) return false;
  if (declared != 0 && body.IsEmpty()) return false;
  out.Clear();
  if (!body.IsEmpty()) out.SetRoot(DecodeSoupBody(body.Data(), body.Size(), version));
  return true;
}

}  // namespace

void SearchAssets(RequestContext& context, const u8* payload, size_t size, Response& response) {
  TBuffer out(&response.body, false);
  FilterParseResult filter = ParseFilterPayload(payload, size);
  if (!filter.ok) {
    ResultsLog::AddResult(&response.results, ResultsLog::kError, KestroPropertyRef(),
                          Qel::String("PymDaemon: search filter refused: " + filter.error));
    out.WriteU32(0);
    return;
  }
  std::vector<KUID> found = context.store.Search(filter.root.get());
  // The repository's versions that are not installed take part as repository items: only a
  // search without the "local" condition finds them.
  const FilterEvaluator evaluator;
  for (const RepositoryAsset& offered : context.Repository().All()) {
    AssetRecord item;
    item.kuid = offered.kuid;
    item.name = offered.name;
    item.nameLower = offered.name;
    for (char& c : item.nameLower) c = char(std::tolower(static_cast<unsigned char>(c)));
    item.categories = offered.categories;
    item.dependencies = offered.dependencies;
    item.SetFlag(PymFilterCodes::kFlagVantry, true);
    AssetRecord installed;
    if (!context.store.GetAsset(offered.kuid, installed) &&
        std::find(found.begin(), found.end(), offered.kuid) == found.end() &&
        evaluator.Matches(filter.root.get(), item)) {
      found.push_back(offered.kuid);
    }
  }
  out.WriteU32(u32(found.size()));
  for (const KUID& kuid : found) out.WriteKUID(kuid);
}

void GetSettingsSoup(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string group;
  Soup soup;
  if (in.ReadName(group)) soup = context.store.GetSettingsSoup(group);
  TBuffer out(&response.body, false);
  WriteSoup(out, soup);
}

void SetSettingsSoup(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string group;
  Soup soup;
  std::string error = "malformed request";
  bool ok = in.ReadName(group) && ReadStrictSoup(in.Get(), payload, size, soup) &&
            context.store.SetSettingsSoup(group, soup, &error);
  if (!ok) {
    ResultsLog::AddResult(&response.results, ResultsLog::kError, KestroPropertyRef(),
                          Qel::String("PymDaemon: settings group not written: " + error));
  }
  TBuffer out(&response.body, false);
  out.WriteU8(ok ? 1 : 0);
}

void GetSettingString(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  std::string group;
  std::string key;
  std::string value;
  if (in.ReadName(group) && in.ReadName(key)) value = context.store.GetSettingString(group, key);
  TBuffer out(&response.body, false);
  out.WritePString(Qel::PString(value));
}

}  // namespace PymDaemonSrv::SearchRequests
