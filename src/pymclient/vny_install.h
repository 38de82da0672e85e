// Installing assets from the content repository: the tool asks the daemon to fetch the
// repository's answer for a KUID, lets the daemon pick the offered items it needs, has it fetch
// each package and installs them.
#pragma once

#include "assetdata/soup.h"
#include "core/chunked_list.h"
#include "core/kuid.h"
#include "core/url_record.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;
class TStream;

// One item that the repository offers.
struct VnyAssetRecord {
  // The asset that the item satisfies ("requires" is a keyword).
  KUID requiredAsset;
  KUID latestVersion;
  URLRecord packageUrl;
  u32 packageSize = 0;
  URLRecord bannerUrl;
  Qel::PString result;
  Qel::PString assetName;
};
using VnyAssetRecordList = ChunkedList<VnyAssetRecord, 13>;

// While one exists, repository installs may run and the daemon's URL completion notes are
// applied; made at the end of start-up and deleted at shut-down.
class VnyAccess {
 public:
  VnyAccess();
  ~VnyAccess();
  VnyAccess(const VnyAccess&) = delete;
  VnyAccess& operator=(const VnyAccess&) = delete;
};
bool HasVnyAccess();

// The installation file that names the repository, relative to the install root, and its tag:
// the query host, with an optional scheme ("http://", else https) and port.
inline constexpr const char* kVnySettingsFileName = "repository.txt";
inline constexpr const char* kVnyQueryHostTag = "query-host";
// The query host of the installation; empty when none is set.
Qel::String GetVnyQueryHost();
// The query URL for the KUID at the host.
URLRecord MakeVnyQueryUrl(const Qel::String& host, const KUID& kuid);

// Asks the daemon which items of the repository answer it wants and appends a record for each
// (one per latest version). An answer holding "none", or holding nothing, asks nothing.
void ParseVnyReply(const Soup& reply, VnyAssetRecordList& out);
// Appends a record for each item of the answer that the daemon's pick reply (u32 count, then the
// index of each picked item) names, one per latest version.
void AddPickedVnyItems(const Soup& reply, TStream& picked, VnyAssetRecordList& out);

// True only when the daemon knows the asset and has it installed. (IsAssetInstalled answers
// true for an asset the daemon does not know, which would keep every new asset from being
// installed from the repository.)
bool IsAssetInstalledLocally(const KUID& kuid);

// Installs the asset's newest version and what it needs from the repository. True when at least
// one package was installed. Reports its failures into `log` when one is given.
bool InstallAssetFromVny(const KUID& kuid, ResultsLog* log);
