#include "pymclient/pym_catalogue.h"

#include "assetdata/results_log.h"
#include "core/stream.h"
#include "pymclient/asset_change_hook.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"
#include "pymclient/pym_search.h"
#include "pymclient/pym_settings.h"
#include "qel/file.h"

namespace pp = PymProtocol;

namespace {

// A request whose payload is one KUID.
bool TransactKuid(PymRequest& r, u32 opcode, const KUID& kuid, ResultsLog* log = nullptr) {
  r.Out().WriteKUID(kuid);
  return r.Transact(opcode, log);
}

bool ReadU8Reply(PymRequest& r) {
  u8 value = 0;
  r.In().ReadU8(value, 0);
  return value != 0;
}

KUID KuidQuery(u32 opcode, const KUID& kuid) {
  PymRequest r;
  if (!TransactKuid(r, opcode, kuid)) return kuid;
  KUID answer = kuid;
  r.In().ReadKUID(answer);
  return answer;
}

bool EmptyQueryU8(u32 opcode, bool onFailure) {
  PymRequest r;
  if (!r.Transact(opcode)) return onFailure;
  return ReadU8Reply(r);
}

bool EmptyPost(u32 opcode) {
  PymRequest r;
  return r.Post(opcode);
}

Qel::String ReadText(TStream& in) {
  Qel::String text;
  in.ReadString(text);
  return text;
}

}  // namespace

void PymStartRepairDatabase(u32 level, ResultsLog* log) {
  PymRequest r;
  r.Out().WriteU32(level);
  r.Transact(pp::kOpStartRepair, log, true);
}

bool PymGetRepairProgress(f32& progress, Qel::String& status) {
  PymRequest r;
  if (!r.Transact(pp::kOpRepairProgress)) return false;
  const bool running = ReadU8Reply(r);
  r.In().ReadFloat(progress, 0.0f);
  status = ReadText(r.In());
  return running;
}

Soup PymGetAssetConfigSoup(const KUID& kuid) {
  PymRequest r;
  if (!TransactKuid(r, pp::kOpGetConfigSoup, kuid)) return Soup();
  return ReadSettingsSoupReply(r.In());
}

bool PymGetAssetLocation(const KUID& kuid, Qel::PString& folderName, Qel::File::Path& path,
                         bool flag) {
  folderName = Qel::PString();
  path = Qel::File::Path();
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU8(flag ? 1 : 0);
  if (!r.Transact(pp::kOpGetAssetLocation)) return false;
  r.In().ReadPString(folderName);
  path = Qel::File::Path(ReadText(r.In()));
  return true;
}

KUID PymResolveKUID(const KUID& kuid) { return KuidQuery(pp::kOpResolveKuid, kuid); }

KUID PymGetLatestAssetVersion(const KUID& kuid) { return KuidQuery(pp::kOpLatestVersion, kuid); }

Qel::String PymGetAssetDescription(const KUID& kuid) {
  PymRequest r;
  if (!TransactKuid(r, pp::kOpGetDescription, kuid)) return Qel::String();
  return ReadText(r.In());
}

u32 PymGetAssetThumbnailPath(const KUID& kuid, u32 size, Qel::PString& folderName,
                             Qel::File::Path& path) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU32(size);
  if (!r.Transact(pp::kOpGetThumbnailPath)) return 0;
  r.In().ReadPString(folderName);
  path = Qel::File::Path(ReadText(r.In()));
  u32 value = 0;
  r.In().ReadU32(value, 0);
  return value;
}

bool PymDeleteAsset(const KUID& kuid, bool flag, ResultsLog* log, bool installStep) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU8(flag ? 1 : 0);
  r.Out().WriteU8(installStep ? pp::kInstallStep : 0);
  if (!r.Transact(pp::kOpDeleteAsset, log)) return false;
  const bool deleted = ReadU8Reply(r);
  if (deleted) PymNotifyAssetChanged(kuid);
  return deleted;
}

bool PymValidateAssetPath(const Qel::File::Path& path, ResultsLog* log) {
  Qel::File::Path below = path;
  Qel::PString folderName;
  if (!GetContentFolderName(below, folderName)) return false;
  if (!folderName.IsEmpty()) {
    Qel::File::Path marker(GetUserDataRoot());
    marker.AddPath((Qel::String(folderName) + ".ja").CStr());
    if (Qel::File::Exists(marker.CStr())) return true;
  }
  PymRequest r;
  r.Out().WritePString(folderName);
  r.Out().WriteString(path.GetText());
  if (!r.Transact(pp::kOpValidateAssetPath, log)) return false;
  return ReadU8Reply(r);
}

bool PymGetDependenciesOfList(const std::vector<KUID>& assets, std::vector<KUID>& out) {
  PymRequest r;
  r.Out().WriteU32(u32(assets.size()));
  for (const KUID& kuid : assets) r.Out().WriteKUID(kuid);
  if (r.Transact(pp::kOpDependenciesOfList)) ReadSearchReply(r.In(), out);
  return true;
}

bool PymGetAssetDependencies(const KUID& kuid, std::vector<KUID>& out) {
  return PymGetDependenciesOfList({kuid}, out);
}

void PymGetAssetObsoletes(const KUID& kuid, std::vector<KUID>& out) {
  PymRequest r;
  if (TransactKuid(r, pp::kOpGetObsoletes, kuid)) ReadSearchReply(r.In(), out);
}

Soup PymSaveAssetToCDP(const KUID& kuid, ResultsLog* log, u32 options) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU32(options);
  if (r.Transact(pp::kOpSaveAssetToCdp, log)) return ReadSettingsSoupReply(r.In());
  Soup failed;
  failed.EnsureContainer();
  failed.SetNamedTag("compression", "LZSS");
  return failed;
}

void PymSetAssetFavorite(const KUID& kuid, bool favourite) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU8(favourite ? 1 : 0);
  r.Post(pp::kOpSetFavorite);
}

bool PymSetAssetKeywords(const KUID& kuid, const Qel::String& keywords, ResultsLog* log) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteString(keywords);
  // A transaction, not a post, so that a refusal reaches the user: the daemon answers it with
  // an error entry only.
  ResultsLog refusals;
  const bool stored = r.Transact(pp::kOpSetKeywords, &refusals) && refusals.GetErrorCount() == 0;
  if (log != nullptr) log->AppendEntries(refusals.GetEntries());
  return stored;
}

KUID PymGenerateKUID(ResultsLog* log) {
  PymRequest r;
  if (!r.Transact(pp::kOpGenerateKuid, log)) return KUID::Null();
  KUID kuid;
  r.In().ReadKUID(kuid);
  return kuid;
}

bool PymQueryVantryAccess(u32* level) {
  if (level != nullptr) *level = 0;
  PymRequest r;
  if (!r.Transact(pp::kOpVantryAccess)) return false;
  const bool allowed = ReadU8Reply(r);
  u32 value = 0;
  r.In().ReadU32(value, 0);
  if (level != nullptr) *level = value;
  return allowed;
}

bool PymQueryTextureConvertSetting() { return EmptyQueryU8(pp::kOpTextureConvertSetting, true); }

void PymRequestIdle() {
  PymRequest r;
  r.Transact(pp::kOpRequestIdle);
}

bool PymIsIdleReached() {
  bool idle = false;
  return PymQueryIdleReached(idle) && idle;
}

bool PymQueryIdleReached(bool& idle) {
  idle = false;
  PymRequest r;
  if (!r.Transact(pp::kOpIsIdleReached)) return false;
  idle = ReadU8Reply(r);
  return true;
}

bool PymRegisterCommandHost() { return EmptyPost(pp::kOpRegisterCommandHost); }

bool PymKeepAlive() {
  PymRequest r;
  return r.Transact(pp::kOpKeepAlive);
}

PymOnlineProfile PymGetOnlineProfile() {
  PymOnlineProfile profile;
  PymRequest r;
  if (!r.Transact(pp::kOpOnlineProfile)) return profile;
  TStream& in = r.In();
  profile.profileName = ReadText(in);
  profile.firstText = ReadText(in);
  profile.secondText = ReadText(in);
  in.ReadU16(profile.firstPort, 0);
  profile.thirdText = ReadText(in);
  in.ReadU16(profile.secondPort, 0);
  return profile;
}

void PymPostOnlineLoginRejected() { EmptyPost(pp::kOpOnlineLoginRejected); }

Qel::String PymGetOnlineAuthTicket() {
  PymRequest r;
  if (!r.Transact(pp::kOpOnlineAuthTicket)) return Qel::String();
  return ReadText(r.In());
}

Qel::PString PymListBuilds() {
  PymRequest r;
  if (!r.Transact(pp::kOpListBuilds)) return Qel::PString();
  Qel::PString builds;
  r.In().ReadPString(builds);
  return builds;
}

void PymPostPatcherRepairDone() { EmptyPost(pp::kOpPatcherRepairDone); }
