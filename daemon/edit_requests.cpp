#include "daemon/edit_requests.h"

#include <sys/stat.h>

#include <mutex>
#include <string>

#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_store.h"
#include "daemon/change_record.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv::EditRequests {

namespace pp = PymProtocol;

namespace {

// Each write of the take-back names is the whole group, read just before: one at a time. Held
// across the open that makes an install's copy, so that no edit or delete comes between its look
// and its copy, and across an edit's drop and its copy.
std::mutex& TakeBackMutex() {
  static std::mutex mutex;
  return mutex;
}

// DropTakeBack, the mutex held.
bool DropName(AssetStore& store, const KUID& kuid, std::string& error) {
  Soup names = store.GetSettingsSoup(pp::kTakeBackGroup);
  const Qel::PString name = kuid.ToString();
  if (names.IsNull() || !names.HasNamedTag(name)) return true;
  names.RemoveNamedTag(name);
  return store.SetSettingsSoup(pp::kTakeBackGroup, names, &error);
}

// Names the asset for a start to take back its editing copy, the mutex held.
bool NameTakeBack(AssetStore& store, const KUID& kuid, std::string& error) {
  Soup names = store.GetSettingsSoup(pp::kTakeBackGroup);
  names.EnsureContainer();
  names.SetNamedTag(kuid.ToString(), kuid.ToString());
  if (store.SetSettingsSoup(pp::kTakeBackGroup, names, &error)) return true;
  error = "the copy to install into cannot be noted for its take-back: " + error;
  return false;
}

// Makes the editing copy an install writes into, named for a start to take back should the
// install neither commit nor revert it. The name is written before the copy becomes the editing
// copy, so that a daemon killed in between leaves no editing copy unnamed. The user's own editing
// copy is never an install's.
bool BeginInstallEdit(RequestContext& context, const KUID& kuid, AssetRecord& out,
                      std::string& error, AssetEditor::Warnings& warnings) {
  AssetRecord record;
  if (context.store.GetAsset(kuid, record) && record.folder == AssetEditor::kEditingFolder) {
    error = "the asset is open for editing";
    return false;
  }
  const auto name = [&](const std::string&, std::string& why) {
    return NameTakeBack(context.store, kuid, why);
  };
  return context.editor.BeginEdit(kuid, out, error, &warnings, name);
}

// Takes back, as a start would, the editing copy an install left (its tool killed) before an
// edit or a commit of another command: that copy may lack files and the configuration, which
// would leave the user's saves in a folder the index no longer names. Then drops the name; false,
// with the reason, when either fails. `taken` tells whether a copy was taken back.
bool TakeBackLeft(RequestContext& context, const KUID& kuid, std::string& error,
                  AssetEditor::Warnings& warnings, bool* taken = nullptr) {
  const Soup names = context.store.GetSettingsSoup(pp::kTakeBackGroup);
  const Qel::PString name = kuid.ToString();
  if (names.IsNull() || !names.HasNamedTag(name)) return true;
  std::string kept;
  std::string why;
  const TakeBack result = TakeBackCopy(context.store, context.editor, kuid, kept, why);
  if (result == TakeBack::kFailed) {
    error = "the editing copy an unfinished install left cannot be taken back: " + why;
    return false;
  }
  if (taken != nullptr) *taken = result == TakeBack::kTaken;
  if (result == TakeBack::kTaken) {
    warnings.push_back("an unfinished install left the editing copy, now kept in " +
                       context.store.UserData() + "/" + kept + AssetEditor::UntilMovedOn(why));
  }
  if (DropName(context.store, kuid, why)) return true;
  error = "a start would take back the copy its install made: " + why;
  return false;
}

}  // namespace

TakeBack TakeBackCopy(AssetStore& store, AssetEditor& editor, const KUID& kuid, std::string& kept,
                      std::string& error) {
  AssetRecord record;
  if (!store.GetAsset(kuid, record)) return TakeBack::kGone;
  // Whatever copy stands at the editing path is the install's while its name stands: no other
  // command makes one before the name is dropped. So the name moves with the copy through a
  // remount or a restore. A copy the install emptied before it wrote the configuration may no
  // longer be named by the index, but it is still the install's.
  const std::string copy = store.UserData() + "/" + AssetEditor::kEditingFolder + "/" + record.path;
  struct stat st {};
  const Seen seen = LookAt(copy, st, error);
  if (seen == Seen::kUnknown) return TakeBack::kFailed;
  if (seen == Seen::kNothing) return TakeBack::kGone;
  const bool done =
      record.folder == AssetEditor::kEditingFolder
          ? editor.Revert(kuid, error, nullptr, &kept)
          : !(kept = AssetEditor::KeepEditingCopy(store.UserData(), record.path, error)).empty();
  if (!done) return TakeBack::kFailed;
  Qel::Log::Get("PymDaemon")
      .Printf(Qel::Log::kMessage,
              "PymDaemon> took back the install of %s; its editing copy is kept in %s/%s%s",
              kuid.ToString().CStr(), store.UserData().c_str(), kept.c_str(),
              AssetEditor::UntilMovedOn(error).c_str());
  return TakeBack::kTaken;
}

bool DropTakeBack(AssetStore& store, const KUID& kuid, std::string& error) {
  std::lock_guard<std::mutex> lock(TakeBackMutex());
  return DropName(store, kuid, error);
}

void DropTakeBackAfter(RequestContext& context, const KUID& kuid, Response& response) {
  std::string error;
  if (DropTakeBack(context.store, kuid, error)) return;
  AddWarnings(response, kuid,
              {"the settings still name the editing copy its install made, to take back: " + error +
               "; a start forgets the name, as that copy is gone"});
}

void OpenAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 edit = 0;
  AssetRecord r;
  std::string error;
  AssetEditor::Warnings warnings;
  bool opened = ReadKuid(in.Get(), kuid);
  in.Get().ReadU8(edit, 0);
  if (opened) {
    if (edit != 0) {
      // The look, the hold and the copy of an install, and an edit's take-back and its copy, are
      // one step each: no other command comes in between.
      std::lock_guard<std::mutex> lock(TakeBackMutex());
      opened = context.holds.MayChange(kuid, response.connectionId, error);
      if (opened && edit == pp::kOpenToInstall) {
        context.holds.Hold(kuid, response.connectionId);
        opened = BeginInstallEdit(context, kuid, r, error, warnings);
      } else if (opened) {
        // The copy this edit hands out is the user's from now on: no start takes it back.
        bool taken = false;
        const size_t line = warnings.size();
        opened = TakeBackLeft(context, kuid, error, warnings, &taken) &&
                 context.editor.BeginEdit(kuid, r, error, &warnings);
        if (opened && taken) warnings[line] += "; this edit is of the installed version";
      }
    } else {
      opened = context.store.GetAsset(kuid, r);
    }
    if (!opened) {
      AddFailure(response, kuid,
                 "PymDaemon: cannot open the asset: " + (error.empty() ? "unknown asset" : error));
    }
    AddWarnings(response, kuid, warnings);
  }
  const u64 handle = opened ? context.AddHandle(kuid, response.connectionId) : pp::kNoAssetHandle;
  TBuffer out(&response.body, false);
  out.WriteU64(handle);
  context.WriteLocation(out, handle != pp::kNoAssetHandle ? &r : nullptr);
}

void ReleaseAsset(RequestContext& context, const u8* payload, size_t size, Response&) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  context.ReleaseHandle(handle);
}

void GetOpenAssetPath(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  AssetRecord r;
  const bool found = context.FindHandle(handle, kuid) && context.store.GetAsset(kuid, r);
  TBuffer out(&response.body, false);
  context.WriteLocation(out, found ? &r : nullptr);
}

void RevertAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  std::string error;
  std::string keptIn;
  AssetEditor::Warnings warnings;
  bool own = false;
  // An install's own revert keeps the copy it made: the user may have saved into it before the
  // install began, as into any copy the install took over.
  const bool reverted = context.FindHandle(handle, kuid) &&
                        context.holds.MayChange(kuid, response.connectionId, error, &own) &&
                        context.editor.Revert(kuid, error, &warnings, own ? &keptIn : nullptr);
  if (!reverted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not reverted: " + error);
  }
  if (reverted && !keptIn.empty()) {
    AddResult(response, ResultsLog::kInformation, kuid,
              "Reverted; the install's editing copy is kept in " + context.store.UserData() + "/" +
                  keptIn +
                  (error.empty() ? " for " + std::to_string(AssetEditor::kBackupDaysKept) + " days"
                                 : AssetEditor::UntilMovedOn(error)) +
                  ".");
  }
  AddWarnings(response, kuid, warnings);
  if (reverted) DropTakeBackAfter(context, kuid, response);
  TBuffer out(&response.body, false);
  out.WriteU8(reverted ? 1 : 0);
}

void CommitAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  u64 handle = pp::kNoAssetHandle;
  in.Get().ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid;
  std::string error = "unknown handle";
  AssetEditor::Warnings warnings;
  bool own = false;
  bool taken = false;
  bool committed = context.FindHandle(handle, kuid) &&
                   context.holds.MayChange(kuid, response.connectionId, error, &own);
  if (committed && !own) {
    // The copy a killed install left is no edit: taken back, there is nothing to commit.
    std::lock_guard<std::mutex> lock(TakeBackMutex());
    committed = TakeBackLeft(context, kuid, error, warnings, &taken);
    AssetRecord installed;
    if (taken) {
      // A new asset's take-back forgets it: there is no installed version to speak of.
      error = context.store.GetAsset(kuid, installed) ? "the installed version stays as it was"
                                                      : "the asset was never installed";
    }
  }
  committed = committed && !taken && context.editor.Commit(kuid, error, &warnings);
  AddWarnings(response, kuid, warnings);
  if (!committed) {
    AddFailure(response, kuid, "PymDaemon: not committed: " + error);
  }
  if (committed) DropTakeBackAfter(context, kuid, response);
  TBuffer out(&response.body, false);
  out.WriteU8(committed ? 1 : 0);
  out.WriteU8(0);
}

void CreateAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 mode = 0;
  AssetRecord r;
  std::string error;
  const bool read = ReadKuid(in.Get(), kuid);
  in.Get().ReadU8(mode, 0);
  std::unique_lock<std::mutex> lock(TakeBackMutex());
  bool allowed =
      read && (kuid.IsNull() || context.holds.MayChange(kuid, response.connectionId, error));
  // An install holds a new asset from its creation, and names it: a tool killed before it
  // committed would leave a half copy open for editing, which a start or the asset's next edit or
  // commit takes back. Named only while no asset has the KUID, so no copy but this one can be.
  const bool install = allowed && !kuid.IsNull() && mode == pp::kOpenToInstall;
  AssetRecord known;
  const bool named = install && !context.store.GetAsset(kuid, known);
  if (install) context.holds.Hold(kuid, response.connectionId);
  if (named) allowed = NameTakeBack(context.store, kuid, error);
  const bool created = allowed && context.editor.Create(kuid, r, error);
  std::string ignored;
  if (named && allowed && !created) DropName(context.store, kuid, ignored);
  lock.unlock();
  if (!created) {
    AddFailure(response, kuid, "PymDaemon: no asset created: " + error);
  }
  const u64 handle =
      created ? context.AddHandle(r.kuid, response.connectionId) : pp::kNoAssetHandle;
  TBuffer out(&response.body, false);
  out.WriteU64(handle);
  out.WriteKUID(handle != pp::kNoAssetHandle ? r.kuid : KUID::Null());
  context.WriteLocation(out, handle != pp::kNoAssetHandle ? &r : nullptr);
}

void DeleteAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  u8 keepBackup = 1;
  std::string error;
  std::string keptIn;
  AssetEditor::Warnings warnings;
  const bool read = ReadKuid(in.Get(), kuid);
  in.Get().ReadU8(keepBackup, 1);
  // A delete between an install's check and its copy would take the install's fresh copy.
  std::unique_lock<std::mutex> lock(TakeBackMutex());
  const bool deleted = read && context.holds.MayChange(kuid, response.connectionId, error) &&
                       context.editor.Delete(kuid, keepBackup != 0, error, &keptIn, &warnings);
  lock.unlock();
  if (!deleted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not deleted: " + error);
  }
  if (deleted && !keptIn.empty()) {
    AddResult(response, ResultsLog::kInformation, kuid,
              "Deleted; its folders are kept in " + keptIn + " for " +
                  std::to_string(AssetEditor::kBackupDaysKept) + " days.");
  }
  AddWarnings(response, kuid, warnings);
  TBuffer out(&response.body, false);
  out.WriteU8(deleted ? 1 : 0);
}

void EndInstall(RequestContext& context, const u8*, size_t, Response& response) {
  context.holds.EndHolds(response.connectionId);
}

}  // namespace PymDaemonSrv::EditRequests
