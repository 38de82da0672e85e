#include "pymclient/vny_install.h"

#include <atomic>
#include <string>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_install.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"
#include "pymclient/pym_url_request.h"

namespace pp = PymProtocol;

namespace {

constexpr const char* kQueryPath = "/kestro/VNYT_Search_Text.php";
constexpr const char* kQueryFormat =
    "?Banners=1&SearchCriteria=%s&textsearchID=1&DependencyLevel=5";
// Install options of a fetched package.
constexpr u32 kVnyInstallOptions = 6;

std::atomic<int> g_vnyAccessCount{0};

void HandleUrlCompletion(u64 requestId, TStream& rest) { CompleteUrlRequest(requestId, rest); }

// `failures`: made when the step began. After a request the daemon went away from, what failed
// is unknown, and the command's caller says only that.
void AddKeyedError(ResultsLog* log, const char* text, const KUID& kuid,
                   const DaemonFailures& failures) {
  if (log == nullptr || failures.Any()) return;
  Soup parameters;
  parameters.EnsureContainer();
  parameters.SetNamedTag("assetid", kuid.ToString());
  ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(), text, parameters);
}

Qel::PString ItemName(u32 index) { return Qel::PString(std::to_string(index).c_str()); }

VnyAssetRecord RecordOf(const Soup& item) {
  VnyAssetRecord record;
  record.requiredAsset = item.GetNamedTagAsKUID("requires", KUID::Null());
  record.latestVersion = item.GetNamedTagAsKUID("latest-version", KUID::Null());
  record.packageUrl.Parse(item.GetNamedTag("latest-version-path").CStr());
  record.packageSize = u32(item.GetNamedTagAsInt("latest-version-size", 0));
  record.bannerUrl.Parse(item.GetNamedTag("banner-uri").CStr());
  record.result = item.GetNamedTag("result");
  record.assetName = item.GetNamedTag("asset-name");
  return record;
}

// Fetches the URL through the daemon and waits for it; null when the start itself failed.
PymUrlRequest* Fetch(const URLRecord& url, u32 option) {
  PymUrlRequest* request = StartUrlRequest(url, option);
  WaitForUrlRequest(request);
  return request;
}

bool InstallRecord(const VnyAssetRecord& record, ResultsLog* log) {
  const DaemonFailures failures;
  if (!record.packageUrl.IsValid() || IsAssetInstalledLocally(record.latestVersion)) return false;
  PymUrlRequest* request = Fetch(record.packageUrl, pp::kUrlOptionPackage);
  Qel::String path;
  Qel::PString text;
  bool installed = false;
  if (!GetUrlRequestResult(request, path, text)) {
    AddKeyedError(log, "Failed to resolve download path for $(assetid)", record.latestVersion,
                  failures);
  } else {
    ResultsLog temporary;
    bool second = false;
    installed = PymInstallCDP(path, log != nullptr ? log : &temporary, kVnyInstallOptions, second,
                              nullptr) != 0;
  }
  CloseUrlRequest(request);
  return installed;
}

}  // namespace

VnyAccess::VnyAccess() {
  if (g_vnyAccessCount.fetch_add(1) == 0) PymSetUrlCompletionHook(&HandleUrlCompletion);
}

VnyAccess::~VnyAccess() {
  if (g_vnyAccessCount.fetch_sub(1) == 1) PymSetUrlCompletionHook(nullptr);
}

bool HasVnyAccess() { return g_vnyAccessCount.load() > 0; }

Qel::String GetVnyQueryHost() {
  Qel::File::Path file = GetInstallPath();
  if (file.IsEmpty()) return Qel::String();
  file.AddPath(kVnySettingsFileName);
  Soup settings;
  if (!settings.LoadFile(nullptr, file.CStr(), "txt")) return Qel::String();
  return Qel::String(settings.GetNamedTag(kVnyQueryHostTag).CStr());
}

URLRecord MakeVnyQueryUrl(const Qel::String& host, const KUID& kuid) {
  URLRecord url;
  url.Parse(host.CStr());
  if (url.scheme[0] == '\0') std::snprintf(url.scheme, sizeof url.scheme, "%s", "https");
  std::snprintf(url.path, sizeof url.path, "%s", kQueryPath);
  std::snprintf(url.query, sizeof url.query, kQueryFormat, kuid.ToColonString().CStr());
  return url;
}

void ParseVnyReply(const Soup& reply, VnyAssetRecordList& out) {
  if (reply.IsNull() || reply.CountTags() == 0 || reply.HasNamedTag("none")) return;
  PymRequest r;
  const u32 countAt = r.Out().Tell();
  r.Out().WriteU32(0);
  u32 count = 0;
  for (;; ++count) {
    const Qel::PString name = ItemName(count);
    if (!reply.HasNamedTag(name)) break;
    const Soup item = reply.GetNamedSoup(name);
    r.Out().WriteKUID(item.GetNamedTagAsKUID("requires", KUID::Null()));
    r.Out().WriteKUID(item.GetNamedTagAsKUID("latest-version", KUID::Null()));
    r.Out().WriteU32(u32(item.GetNamedTagAsInt("latest-version-size", 0)));
  }
  r.Out().WriteU32At(countAt, count);
  if (r.Transact(pp::kOpPickVnyItems)) AddPickedVnyItems(reply, r.In(), out);
}

void AddPickedVnyItems(const Soup& reply, TStream& picked, VnyAssetRecordList& out) {
  u32 count = 0;
  picked.ReadU32(count, 0);
  // Each index costs at least its four bytes, so a false count ends with the reply.
  for (u32 i = 0; i < count; ++i) {
    u32 index = 0;
    if (!picked.ReadU32(index, 0)) break;
    const Soup item = reply.GetNamedSoup(ItemName(index));
    const KUID latest = item.GetNamedTagAsKUID("latest-version", KUID::Null());
    bool known = false;
    for (const VnyAssetRecord& record : out) known = known || record.latestVersion == latest;
    if (!known) out.PushBack(RecordOf(item));
  }
}

bool IsAssetInstalledLocally(const KUID& kuid) {
  PymAssetInfo info;
  return PymGetAssetInfo(kuid, info, PymAssetInfo::kPartStatus) &&
         info.GetFlag(PymAssetInfo::kFlagInstalled);
}

bool InstallAssetFromVny(const KUID& asked, ResultsLog* log) {
  if (!HasVnyAccess()) return false;
  const DaemonFailures failures;
  const KUID kuid = PymGetLatestAssetVersion(asked);
  if (IsAssetInstalledLocally(kuid)) return false;

  const Qel::String host = GetVnyQueryHost();
  PymUrlRequest* query =
      host.IsEmpty() ? nullptr : Fetch(MakeVnyQueryUrl(host, kuid), pp::kUrlOptionQuery);
  Qel::String path;
  Qel::PString text;
  if (query == nullptr || !GetUrlRequestResult(query, path, text)) {
    AddKeyedError(log, "Failed to query VNY for $(assetid)", kuid, failures);
    CloseUrlRequest(query);
    return false;
  }
  Soup reply;
  reply.LoadFile(nullptr, path.CStr(), "txt");
  VnyAssetRecordList records;
  ParseVnyReply(reply, records);
  CloseUrlRequest(query);

  bool installed = false;
  for (const VnyAssetRecord& record : records) {
    if (InstallRecord(record, log)) installed = true;
  }
  records.Clear();
  return installed;
}
