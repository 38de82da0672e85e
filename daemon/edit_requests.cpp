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

// Makes the editing copy an install writes into, named for a start to take back should the
// install neither commit nor revert it. The name is written before the copy becomes the editing
// copy, so that a daemon killed in between leaves no editing copy unnamed. The user's own editing
// copy is never an install's.
// Makes the new asset an install writes into, named for its take-back; the mutex held.
bool CreateNamed(RequestContext& context, const KUID& kuid, AssetRecord& out, std::string& error) {
  if (!NameTakeBack(context.store, kuid, error)) return false;
  if (context.editor.Create(kuid, out, error)) return true;
  std::string ignored;
  DropName(context.store, kuid, ignored);
  return false;
}

bool BeginInstallEdit(RequestContext& context, const KUID& kuid, AssetRecord& out,
                      std::string& error, AssetEditor::Warnings& warnings) {
  // A copy that a killed install left is no user's work: it is taken back, and this install goes
  // on from the installed version; of a new asset, whose take-back forgets it, from nothing.
  bool taken = false;
  if (!TakeBackLeft(context, kuid, error, warnings, &taken)) return false;
  AssetRecord record;
  const bool known = context.store.GetAsset(kuid, record);
  if (taken && !known) return CreateNamed(context, kuid, out, error);
  if (known && record.folder == AssetEditor::kEditingFolder) {
    error = "the asset is open for editing";
    return false;
  }
  const auto name = [&](const std::string&, std::string& why) {
    return NameTakeBack(context.store, kuid, why);
  };
  return context.editor.BeginEdit(kuid, out, error, &warnings, name);
}

// One gate pass for a change of an asset's copy: the look at the install holds and the change it
// lets through are one step, so that no install's open comes between them. An install's step
// (`installStep`) passes only while the connection's own install holds the asset: a tool whose
// install's connection ended must not commit, revert or delete through another. `change` gets
// whether the connection's own install holds the asset.
template <typename Change>
bool GatePass(RequestContext& context, const KUID& kuid, u64 connectionId, bool installStep,
              std::string& error, Change&& change) {
  std::lock_guard<std::mutex> lock(TakeBackMutex());
  bool own = false;
  if (!context.holds.MayChange(kuid, connectionId, error, &own)) return false;
  if (installStep && !own) {
    error =
        "the install this step is of no longer holds the asset, as the connection that held "
        "it ended; nothing was changed";
    return false;
  }
  return change(own);
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
      opened = GatePass(context, kuid, response.connectionId, false, error, [&](bool) {
        if (edit == pp::kOpenToInstall) {
          context.holds.Hold(kuid, response.connectionId);
          return BeginInstallEdit(context, kuid, r, error, warnings);
        }
        // The copy this edit hands out is the user's from now on: no start takes it back.
        bool taken = false;
        const size_t line = warnings.size();
        if (!TakeBackLeft(context, kuid, error, warnings, &taken)) return false;
        AssetRecord left;
        if (taken && !context.store.GetAsset(kuid, left)) {
          // What a killed install left of a new asset was all there was of it: one line says so.
          error = warnings[line] + "; the asset was never installed";
          warnings.erase(warnings.begin() + std::ptrdiff_t(line));
          return false;
        }
        if (!context.editor.BeginEdit(kuid, r, error, &warnings)) return false;
        if (taken) warnings[line] += "; this edit is of the installed version";
        return true;
      });
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
  u8 step = 0;
  in.Get().ReadU8(step, 0);
  // An install's own revert keeps the copy it made: the user may have saved into it before the
  // install began, as into any copy the install took over.
  const bool reverted =
      context.FindHandle(handle, kuid) &&
      GatePass(context, kuid, response.connectionId, step == pp::kInstallStep, error,
               [&](bool own) {
                 return context.editor.Revert(kuid, error, &warnings, own ? &keptIn : nullptr);
               });
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
  u32 option = 0;
  in.Get().ReadU32(option, 0);
  std::string error = "unknown handle";
  AssetEditor::Warnings warnings;
  const bool committed =
      context.FindHandle(handle, kuid) &&
      GatePass(context, kuid, response.connectionId, (option & pp::kCommitInstallStep) != 0, error,
               [&](bool own) {
                 // The copy a killed install left is no edit: taken back, there is nothing to
                 // commit. The copy of an install still running on this connection is its own.
                 bool taken = false;
                 if (!own && !TakeBackLeft(context, kuid, error, warnings, &taken)) return false;
                 if (taken) {
                   // A new asset's take-back forgets it: there is no installed version.
                   AssetRecord installed;
                   error = context.store.GetAsset(kuid, installed)
                               ? "the installed version stays as it was"
                               : "the asset was never installed";
                   return false;
                 }
                 return context.editor.Commit(kuid, error, &warnings);
               });
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
  AssetEditor::Warnings warnings;
  const auto create = [&](bool) {
    // An install holds a new asset from its creation, and names it: a tool killed before it
    // committed would leave a half copy open for editing, which a start or the asset's next
    // edit, commit or install takes back. Named only while no asset has the KUID, so no copy but
    // this one can be.
    const bool install = !kuid.IsNull() && mode == pp::kOpenToInstall;
    if (install && !TakeBackLeft(context, kuid, error, warnings)) return false;
    AssetRecord known;
    const bool named = install && !context.store.GetAsset(kuid, known);
    if (install) context.holds.Hold(kuid, response.connectionId);
    return named ? CreateNamed(context, kuid, r, error) : context.editor.Create(kuid, r, error);
  };
  const bool created = read && (kuid.IsNull() ? create(false)
                                              : GatePass(context, kuid, response.connectionId,
                                                         false, error, create));
  if (!created) {
    AddFailure(response, kuid, "PymDaemon: no asset created: " + error);
  }
  AddWarnings(response, kuid, warnings);
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
  u8 step = 0;
  in.Get().ReadU8(step, 0);
  // A delete between an install's check and its copy would take the install's fresh copy.
  const bool deleted =
      read &&
      GatePass(context, kuid, response.connectionId, step == pp::kInstallStep, error, [&](bool) {
        return context.editor.Delete(kuid, keepBackup != 0, error, &keptIn, &warnings);
      });
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
