// The requests of the asset database that carry no open asset: each writes its payload, sends it
// and reads the reply in a fixed field order. None reports anything itself: on failure each
// returns its fixed value, and the calling command decides what to report.
#pragma once

#include <vector>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;

// Starts the daemon's rebuild at the level (PymProtocol::kRepair*); its results go to `log`,
// which stays registered for the repair's later results.
void PymStartRepairDatabase(u32 level, ResultsLog* log);
// True while the repair still runs; false when it has ended or the request failed.
bool PymGetRepairProgress(f32& progress, Qel::String& status);

// The asset's configuration; the empty soup on failure or for an asset that is not local.
Soup PymGetAssetConfigSoup(const KUID& kuid);
// Clears both outputs, then fills them from the reply; true when the request succeeded.
bool PymGetAssetLocation(const KUID& kuid, Qel::PString& folderName, Qel::File::Path& path,
                         bool flag);
// The given KUID when the request fails.
KUID PymResolveKUID(const KUID& kuid);
KUID PymGetLatestAssetVersion(const KUID& kuid);
Qel::String PymGetAssetDescription(const KUID& kuid);
// The reply's number, with the thumbnail's content folder and path in the outputs; 0 with the
// outputs unchanged on failure.
u32 PymGetAssetThumbnailPath(const KUID& kuid, u32 size, Qel::PString& folderName,
                             Qel::File::Path& path);
// A deleted asset is announced as changed. `installStep`: the delete is the abort of an install
// that holds the asset (kInstallStep).
bool PymDeleteAsset(const KUID& kuid, bool flag, ResultsLog* log, bool installStep = false);
// Asks the daemon to check the asset folder at `path`; false without a request for a path in no
// content folder, true without one when the user-data root holds "<folder name>.ja".
bool PymValidateAssetPath(const Qel::File::Path& path, ResultsLog* log);
// Appends the dependencies of the listed assets; true also when the request fails.
bool PymGetDependenciesOfList(const std::vector<KUID>& assets, std::vector<KUID>& out);
bool PymGetAssetDependencies(const KUID& kuid, std::vector<KUID>& out);
void PymGetAssetObsoletes(const KUID& kuid, std::vector<KUID>& out);
// The asset as a package entry; on failure a soup holding only "compression" = "LZSS".
Soup PymSaveAssetToCDP(const KUID& kuid, ResultsLog* log, u32 options);
void PymSetAssetFavorite(const KUID& kuid, bool favourite);
// False when the daemon did not store them; its reason goes to `log`.
bool PymSetAssetKeywords(const KUID& kuid, const Qel::String& keywords, ResultsLog* log = nullptr);
// A KUID of the user that no asset has had; the null KUID on failure, the daemon's reason in `log`.
KUID PymGenerateKUID(ResultsLog* log = nullptr);
// Whether the repository may be used; the level goes to `level` when given (0 on failure).
bool PymQueryVantryAccess(u32* level = nullptr);
// True when the request fails.
bool PymQueryTextureConvertSetting();
void PymRequestIdle();
bool PymIsIdleReached();
// As PymIsIdleReached, telling a failed request (false) from the daemon's answer (`idle`).
bool PymQueryIdleReached(bool& idle);
// Tells the daemon that this connection is a command host (post 0x8C); false when not sent.
bool PymRegisterCommandHost();
// The keep-alive transaction; its reply is not read. False when the request failed.
bool PymKeepAlive();

// The online-access client's server settings.
struct PymOnlineProfile {
  Qel::String profileName;
  Qel::String firstText;
  Qel::String secondText;  // the online-access service's host
  u16 firstPort = 0;       // its UDP port; 0 for the default
  Qel::String thirdText;
  u16 secondPort = 0;
};
// Empty texts and zeros on failure.
PymOnlineProfile PymGetOnlineProfile();
void PymPostOnlineLoginRejected();
Qel::String PymGetOnlineAuthTicket();
// The text that the listbuilds command writes out; the empty name on failure.
Qel::PString PymListBuilds();
void PymPostPatcherRepairDone();
