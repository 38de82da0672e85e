#include "daemon/edit_requests.h"

#include <sys/stat.h>

#include <cstdio>
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
// across the open that makes an install's copy, so that no edit comes between its look and its
// copy, and across an edit's drop and its copy.
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

// Makes the editing copy an install writes into, named for a start to take back should the
// install neither commit nor revert it. The name is written before the copy becomes the editing
// copy, so that a daemon killed in between leaves no editing copy unnamed: the copy keeps its
// identity as it moves. The user's own editing copy is never an install's.
bool BeginInstallEdit(RequestContext& context, const KUID& kuid, u64 connectionId, AssetRecord& out,
                      std::string& error, AssetEditor::Warnings& warnings) {
  std::lock_guard<std::mutex> lock(TakeBackMutex());
  AssetRecord record;
  if (context.store.GetAsset(kuid, record) && record.folder == AssetEditor::kEditingFolder) {
    error = "the asset is open for editing";
    return false;
  }
  const auto name = [&](const std::string& copy, std::string& why) {
    struct stat st {};
    bool named = LookAt(copy, st, why) == Seen::kFolder;
    if (named) {
      Soup names = context.store.GetSettingsSoup(pp::kTakeBackGroup);
      names.EnsureContainer();
      const std::string identity = std::to_string(st.st_dev) + " " + std::to_string(st.st_ino);
      names.SetNamedTag(kuid.ToString(), Qel::PString(identity.c_str()));
      named = context.store.SetSettingsSoup(pp::kTakeBackGroup, names, &why);
    } else if (why.empty()) {
      why = copy + " is not a folder";
    }
    if (!named) why = "the copy to install into cannot be noted for its take-back: " + why;
    return named;
  };
  if (!context.editor.BeginEdit(kuid, out, error, &warnings, name)) return false;
  context.NoteInstaller(kuid, connectionId);
  return true;
}

// Takes back, as a start would, the editing copy an install left (its tool killed) before an
// edit hands the asset out: that copy may lack files and the configuration, which would leave
// the user's saves in a folder the index no longer names. Then drops the name; false, with the
// reason, when either fails, and while the install still runs: its copy is not the user's to
// save into, nor to take back from under it, as its take-back would then revert the user's.
bool TakeBackLeft(RequestContext& context, const KUID& kuid, u64 connectionId, std::string& error,
                  AssetEditor::Warnings& warnings) {
  const Soup names = context.store.GetSettingsSoup(pp::kTakeBackGroup);
  const Qel::PString name = kuid.ToString();
  KUID named;
  u64 device = 0;
  u64 inode = 0;
  if (names.IsNull() || !names.HasNamedTag(name)) return true;
  if (context.InstallerConnected(kuid, connectionId)) {
    error = "an install still writes into its editing copy; open it once that install ends";
    return false;
  }
  std::string kept;
  std::string why;
  if (ReadTakeBack(names, name, named, device, inode)) {
    const TakeBack taken =
        TakeBackCopy(context.store, context.editor, kuid, device, inode, kept, why);
    if (taken == TakeBack::kFailed) {
      error = "the editing copy an unfinished install left cannot be taken back: " + why;
      return false;
    }
    if (taken == TakeBack::kTaken) {
      warnings.push_back("an unfinished install left the editing copy, now kept in " +
                         context.store.UserData() + "/" + kept +
                         "; this edit is of the installed version");
    }
  }
  if (DropName(context.store, kuid, why)) return true;
  error = "a start would take back the copy its install made: " + why;
  return false;
}

}  // namespace

bool ReadTakeBack(const Soup& names, const Qel::PString& name, KUID& kuid, u64& device,
                  u64& inode) {
  kuid = KUID::Parse(name.CStr(), true);
  unsigned long long d = 0;
  unsigned long long n = 0;
  char more = 0;
  if (kuid.IsNull() ||
      std::sscanf(names.GetNamedTag(name).CStr(), "%llu %llu%c", &d, &n, &more) != 2) {
    return false;
  }
  device = d;
  inode = n;
  return true;
}

TakeBack TakeBackCopy(AssetStore& store, AssetEditor& editor, const KUID& kuid, u64 device,
                      u64 inode, std::string& kept, std::string& error) {
  AssetRecord record;
  if (!store.GetAsset(kuid, record)) return TakeBack::kGone;
  // A copy the install emptied before it wrote the configuration: the index may no longer name
  // it, but it is still the install's.
  const std::string copy = store.UserData() + "/" + AssetEditor::kEditingFolder + "/" + record.path;
  struct stat st {};
  const Seen seen = LookAt(copy, st, error);
  if (seen == Seen::kUnknown) return TakeBack::kFailed;
  if (seen == Seen::kNothing) return TakeBack::kGone;
  if (seen != Seen::kFolder || u64(st.st_dev) != device || u64(st.st_ino) != inode) {
    return TakeBack::kMadeSince;
  }
  const bool done =
      record.folder == AssetEditor::kEditingFolder
          ? editor.Revert(kuid, error, nullptr, &kept)
          : !(kept = AssetEditor::KeepEditingCopy(store.UserData(), record.path, error)).empty();
  if (!done) return TakeBack::kFailed;
  Qel::Log::Get("PymDaemon")
      .Printf(Qel::Log::kMessage,
              "PymDaemon> took back the install of %s; its editing copy is kept in %s/%s",
              kuid.ToString().CStr(), store.UserData().c_str(), kept.c_str());
  return TakeBack::kTaken;
}

bool DropTakeBack(AssetStore& store, const KUID& kuid, std::string& error) {
  std::lock_guard<std::mutex> lock(TakeBackMutex());
  return DropName(store, kuid, error);
}

void DropTakeBackAfter(RequestContext& context, const KUID& kuid, Response& response) {
  context.ForgetInstaller(kuid);
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
    if (edit == pp::kOpenToInstall) {
      opened = BeginInstallEdit(context, kuid, response.connectionId, r, error, warnings);
    } else if (edit != 0) {
      // The copy this edit hands out is the user's from now on: no start takes it back. Refused
      // while a start still would.
      std::lock_guard<std::mutex> lock(TakeBackMutex());
      opened = TakeBackLeft(context, kuid, response.connectionId, error, warnings) &&
               context.editor.BeginEdit(kuid, r, error, &warnings);
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
  AssetEditor::Warnings warnings;
  const bool reverted =
      context.FindHandle(handle, kuid) && context.editor.Revert(kuid, error, &warnings);
  if (!reverted && !error.empty()) {
    AddFailure(response, kuid, "PymDaemon: not reverted: " + error);
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
  const bool committed =
      context.FindHandle(handle, kuid) && context.editor.Commit(kuid, error, &warnings);
  if (!committed) {
    AddFailure(response, kuid, "PymDaemon: not committed: " + error);
  }
  AddWarnings(response, kuid, warnings);
  if (committed) DropTakeBackAfter(context, kuid, response);
  TBuffer out(&response.body, false);
  out.WriteU8(committed ? 1 : 0);
  out.WriteU8(0);
}

void CreateAsset(RequestContext& context, const u8* payload, size_t size, Response& response) {
  PayloadStream in(payload, size);
  KUID kuid;
  AssetRecord r;
  std::string error;
  const bool created = ReadKuid(in.Get(), kuid) && context.editor.Create(kuid, r, error);
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
  const bool deleted =
      read && context.editor.Delete(kuid, keepBackup != 0, error, &keptIn, &warnings);
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

}  // namespace PymDaemonSrv::EditRequests
