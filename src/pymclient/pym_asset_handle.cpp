#include "pymclient/pym_asset_handle.h"

#include "core/stream.h"
#include "pymclient/asset_change_hook.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"

namespace pp = PymProtocol;

namespace {

// The reply of open and create after the handle (and, for create, the KUID): the folder name and
// the folder path. Null when the daemon answered no handle.
PymAssetHandle* ReadOpenReply(TStream& in, const KUID* requested) {
  u64 handle = pp::kNoAssetHandle;
  in.ReadU64(handle, pp::kNoAssetHandle);
  KUID kuid = requested != nullptr ? *requested : KUID::Null();
  if (requested == nullptr) in.ReadKUID(kuid);
  Qel::PString folderName;
  Qel::String path;
  in.ReadPString(folderName);
  in.ReadString(path);
  if (handle == pp::kNoAssetHandle) return nullptr;
  return new PymAssetHandle(handle, kuid, folderName, Qel::File::Path(path));
}

}  // namespace

PymAssetHandle::PymAssetHandle(u64 handle, const KUID& kuid, const Qel::PString& folderName,
                               const Qel::File::Path& path)
    : handle_(handle), kuid_(kuid), folderName_(folderName), path_(path) {}

void PymAssetHandle::Release() {
  if (--references_ != 0) return;
  PymRequest r;
  r.Out().WriteU64(handle_);
  r.Transact(pp::kOpReleaseAsset);
  delete this;
}

void PymAssetHandle::SetPath(const Qel::PString& folderName, const Qel::File::Path& path) {
  folderName_ = folderName;
  path_ = path;
  pathKnown_ = 1;
}

PymAssetRef::PymAssetRef(const PymAssetRef& other) : handle_(other.handle_), edit_(other.edit_) {
  if (handle_ != nullptr) handle_->AddReference();
}

PymAssetRef& PymAssetRef::operator=(const PymAssetRef& other) {
  if (other.handle_ != nullptr) other.handle_->AddReference();
  Close();
  handle_ = other.handle_;
  edit_ = other.edit_;
  return *this;
}

void PymAssetRef::Close() {
  PymAssetHandle* handle = Take();
  if (handle != nullptr) handle->Release();
}

PymAssetHandle* PymAssetRef::Take() {
  PymAssetHandle* handle = handle_;
  handle_ = nullptr;
  edit_ = 0;
  return handle;
}

namespace {

PymAssetRef OpenAsset(const KUID& kuid, u8 mode, ResultsLog* log) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU8(mode);
  if (!r.Transact(pp::kOpOpenAsset, log)) return PymAssetRef();
  PymAssetHandle* handle = ReadOpenReply(r.In(), &kuid);
  return handle != nullptr ? PymAssetRef(handle, mode != 0) : PymAssetRef();
}

}  // namespace

PymAssetRef PymOpenAsset(const KUID& kuid, bool edit, ResultsLog* log) {
  return OpenAsset(kuid, edit ? 1 : 0, log);
}

PymAssetRef PymOpenAssetToInstall(const KUID& kuid, ResultsLog* log) {
  return OpenAsset(kuid, pp::kOpenToInstall, log);
}

PymAssetRef PymCreateAsset(const KUID& kuid, u8 mode, const Qel::String& text, ResultsLog* log) {
  PymRequest r;
  r.Out().WriteKUID(kuid);
  r.Out().WriteU8(mode);
  r.Out().WriteString(text);
  if (!r.Transact(pp::kOpCreateAsset, log)) return PymAssetRef();
  PymAssetHandle* handle = ReadOpenReply(r.In(), nullptr);
  return handle != nullptr ? PymAssetRef(handle, true) : PymAssetRef();
}

bool PymEndInstall() {
  PymRequest r;
  return r.Transact(pp::kOpEndInstall);
}

bool PymGetOpenAssetPath(Qel::PString& folderName, Qel::File::Path& path, const PymAssetRef& ref) {
  folderName = Qel::PString();
  path = Qel::File::Path();
  PymAssetHandle* handle = ref.Get();
  if (handle == nullptr) return false;
  if (!handle->IsPathKnown()) {
    PymRequest r;
    r.Out().WriteU64(handle->GetHandle());
    if (!r.Transact(pp::kOpGetOpenAssetPath)) return false;
    Qel::PString name;
    Qel::String text;
    r.In().ReadPString(name);
    r.In().ReadString(text);
    handle->SetPath(name, Qel::File::Path(text));
  }
  if (handle->GetPath().IsEmpty()) return false;
  folderName = handle->GetFolderName();
  path = handle->GetPath();
  return true;
}

bool PymCommitAsset(PymAssetRef& ref, u32 option, ResultsLog* log, bool* second) {
  PymAssetHandle* handle = ref.Get();
  if (handle == nullptr) return false;
  PymRequest r;
  r.Out().WriteU64(handle->GetHandle());
  r.Out().WriteU32(option);
  const bool sent = r.Transact(pp::kOpCommitAsset, log);
  handle->ForgetPath();
  if (!sent) return false;
  u8 committed = 0;
  u8 secondFlag = 0;
  r.In().ReadU8(committed, 0);
  r.In().ReadU8(secondFlag, 0);
  if (second != nullptr) *second = secondFlag != 0;
  if (committed != 0) {
    ref.ClearEdit();
    PymNotifyAssetChanged(handle->GetKUID());
  }
  return committed != 0;
}

bool PymRevertAsset(PymAssetRef& ref, ResultsLog* log, bool installStep) {
  PymAssetHandle* handle = ref.Take();
  if (handle == nullptr) return false;
  PymRequest r;
  r.Out().WriteU64(handle->GetHandle());
  r.Out().WriteU8(installStep ? pp::kInstallStep : 0);
  bool reverted = false;
  if (r.Transact(pp::kOpRevertAsset, log)) {
    u8 value = 0;
    r.In().ReadU8(value, 0);
    reverted = value != 0;
  }
  handle->ForgetPath();
  handle->Release();
  return reverted;
}

void PymCloseAsset(PymAssetRef& ref) { ref.Close(); }
