// Assets opened in the daemon: the handle that the open and create requests give, shared by
// reference count through its holder, and the requests that work on an open asset.
#pragma once

#include "core/kuid.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;

// Reference counts are plain: a handle belongs to the thread of the command that opened it.
class PymAssetHandle {
 public:
  PymAssetHandle(u64 handle, const KUID& kuid, const Qel::PString& folderName,
                 const Qel::File::Path& path);

  void AddReference() { ++references_; }
  // The last release sends the daemon's release request and deletes the handle.
  void Release();

  u32 GetReferenceCount() const { return references_; }
  u64 GetHandle() const { return handle_; }
  const KUID& GetKUID() const { return kuid_; }
  const Qel::PString& GetFolderName() const { return folderName_; }
  const Qel::File::Path& GetPath() const { return path_; }
  bool IsPathKnown() const { return pathKnown_ != 0; }
  void SetPath(const Qel::PString& folderName, const Qel::File::Path& path);
  void ForgetPath() { pathKnown_ = 0; }

 private:
  ~PymAssetHandle() = default;

  u32 references_ = 1;
  u64 handle_;
  KUID kuid_;
  Qel::PString folderName_;
  Qel::File::Path path_;
  u8 pathKnown_ = 1;
};

// The holder: a handle (null when the open failed) and the edit flag it was opened with.
class PymAssetRef {
 public:
  PymAssetRef() = default;
  // Takes over the handle's first reference.
  PymAssetRef(PymAssetHandle* handle, bool edit) : handle_(handle), edit_(edit ? 1 : 0) {}
  PymAssetRef(const PymAssetRef& other);
  PymAssetRef& operator=(const PymAssetRef& other);
  ~PymAssetRef() { Close(); }

  // Releases the holder's reference; a second close does nothing.
  void Close();
  // Hands the holder's reference to the caller and empties the holder.
  PymAssetHandle* Take();

  PymAssetHandle* Get() const { return handle_; }
  bool IsEmpty() const { return handle_ == nullptr; }
  bool IsEdit() const { return edit_ != 0; }
  void ClearEdit() { edit_ = 0; }

 private:
  PymAssetHandle* handle_ = nullptr;
  u8 edit_ = 0;
};

// Request 0x1E; an empty holder when the request fails or the daemon answers no handle.
PymAssetRef PymOpenAsset(const KUID& kuid, bool edit, ResultsLog* log);
// Opens an installed asset for editing by an install: the daemon names the editing copy it makes
// for a start to take back, should the install neither commit nor revert it. Refused for an asset
// open for editing already.
PymAssetRef PymOpenAssetToInstall(const KUID& kuid, ResultsLog* log);
// Request 0x23; the handle holds the KUID that the daemon gives, and the holder is for editing.
// `mode` is kOpOpenAsset's: kOpenToInstall for a new asset an install makes.
PymAssetRef PymCreateAsset(const KUID& kuid, u8 mode, const Qel::String& text,
                           ResultsLog* log = nullptr);
// Request 0x25: the installs this command began end, and other commands may change their assets.
bool PymEndInstall();
// The open asset's content folder name and folder, asked of the daemon only while the handle does
// not know them. True when the path is known and not empty; else empty outputs and false.
bool PymGetOpenAssetPath(Qel::PString& folderName, Qel::File::Path& path, const PymAssetRef& ref);
// Request 0x22 with the holder's handle; the handle forgets its path whatever the answer. When
// committed, the holder is no longer for editing and the asset-specification registry forgets
// the KUID.
bool PymCommitAsset(PymAssetRef& ref, u32 option, ResultsLog* log, bool* second);
// Request 0x21. It takes the holder's reference and releases it, so the holder is empty
// afterwards and a later close does nothing. `installStep`: the revert is the abort of an install
// that holds the asset (kInstallStep).
bool PymRevertAsset(PymAssetRef& ref, ResultsLog* log, bool installStep = false);
void PymCloseAsset(PymAssetRef& ref);
