// Asset specifications and the process-wide registry that keeps one live asset specification per
// KUID while the asset-database client is open, with the factories that build them and the
// holders through which callers keep counted uses.
#pragma once

#include <unordered_map>

#include "assetdata/cdp_dsid.h"
#include "assetdata/soup.h"
#include "core/chunked_list.h"
#include "core/kuid.h"
#include "pymclient/identifiable_type.h"
#include "pymclient/safe_pointer.h"
#include "qel/critical_section.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class KestroResourceDatabase;
class KTSpecFactory;

// The in-memory object behind one asset. Uses are counted; an asset specification is destroyed only
// by the registry, and its safe pointers go null then.
class KoolthingzSpec : public IdentifiableType, public SafePointerTarget<KoolthingzSpec> {
 public:
  enum : u8 {
    kFlagNullKUID = 1,  // never usable
    kFlagValid = 2,
    kFlagCleared = 4,
  };

  // Null location texts read as empty. The content folder's resource database is acquired here
  // and released by the destructor.
  KoolthingzSpec(const KUID& kuid, const Qel::String* location, const Qel::String* subLocation,
                 const Qel::PString& contentFolder);
  ~KoolthingzSpec() override;
  KoolthingzSpec(const KoolthingzSpec&) = delete;
  KoolthingzSpec& operator=(const KoolthingzSpec&) = delete;

  virtual void SetFlag();
  // Decides validity.
  virtual bool IsValidSpec();
  // Runs when the asset specification turns out valid.
  virtual void OnSpecValid();

  const KUID& GetKUID() const { return kuid_; }
  u8 GetFlags() const { return flags_; }
  // Initialised, valid and not of the null KUID.
  bool IsUsable() const { return (flags_ & (kFlagValid | kFlagNullKUID)) == kFlagValid; }
  const Qel::String& GetLocation() const { return location_; }
  const Qel::String& GetSubLocation() const { return subLocation_; }
  const Qel::String& GetAssetFileName() const { return assetFileName_; }
  KestroResourceDatabase* GetResourceDatabase() const { return database_; }
  bool HasResourceDatabase() const { return hasDatabase_ != 0; }

  i32 GetUseCount() const { return uses_.Get(); }
  // Locked changes of the use count; they return the new count.
  i32 AddUse() { return uses_.Increment(); }
  i32 DropUse() { return uses_.Decrement(); }
  u32 GetLastUse() const { return lastUse_; }
  // Stamps the asset specification with the registry clock.
  void Stamp();

  // The KUID's text, a space and the asset's name in double quotes.
  Qel::String GetDisplayName() const;
  // The configuration as the daemon holds it; the empty soup when it has none.
  Soup LoadConfigSoup() const;
  // The two location texts joined as a path, then the sub path in lower case when one is given.
  Qel::File::Path BuildPath(const char* subPath = nullptr) const;

 protected:
  void SetAssetFileName(const Qel::String& name) { assetFileName_ = name; }

 private:
  friend class SpecRegistry;

  KUID kuid_;
  u8 flags_ = 0;
  Qel::String location_;
  Qel::String subLocation_;
  Qel::String assetFileName_;
  KestroResourceDatabase* database_ = nullptr;
  u8 hasDatabase_ = 0;
  u32 lastUse_ = 0;
  Qel::ProtectedLong uses_{0};
  u8 initialised_ = 0;
  u8 flagSet_ = 0;
};

// Builds asset specifications for configurations of one kind (or for every kind as the registry's
// default). A factory that goes away leaves the current registry's lists.
class KTSpecFactory {
 public:
  explicit KTSpecFactory(const Qel::PString& name) : name_(name) {}
  virtual ~KTSpecFactory();
  KTSpecFactory(const KTSpecFactory&) = delete;
  KTSpecFactory& operator=(const KTSpecFactory&) = delete;

  // A new asset specification without uses.
  virtual KoolthingzSpec* Create(const KUID& kuid, const Qel::String* location,
                                 const Qel::String* subLocation, const Qel::PString& contentFolder,
                                 const Soup& config) = 0;
  const Qel::PString& GetName() const { return name_; }

 private:
  Qel::PString name_;
};

// A pointer to an asset specification that owns one use of it; the use ends with the holder.
class SpecPointer {
 public:
  SpecPointer() = default;
  SpecPointer(const SpecPointer& other);
  SpecPointer& operator=(const SpecPointer& other);
  SpecPointer(SpecPointer&& other) noexcept : spec_(other.spec_) { other.spec_ = nullptr; }
  SpecPointer& operator=(SpecPointer&& other) noexcept;
  ~SpecPointer();

  KoolthingzSpec* Get() const { return spec_; }
  KoolthingzSpec* operator->() const { return spec_; }
  explicit operator bool() const { return spec_ != nullptr; }
  // Takes over a use that the caller already counted.
  void Adopt(KoolthingzSpec* spec);

 private:
  friend void AssignSpecPointer(SpecPointer& holder, KoolthingzSpec* spec);
  friend void ReleaseSpecPointer(SpecPointer& holder);
  KoolthingzSpec* spec_ = nullptr;
};

// Adds a use to `spec` (may be null), then drops and stamps the holder's old one.
void AssignSpecPointer(SpecPointer& holder, KoolthingzSpec* spec);
// Drops the holder's use and stamps the asset specification. The holder is emptied: a pointer
// without a use could outlive the asset specification after the next purge.
void ReleaseSpecPointer(SpecPointer& holder);
void CopySpecPointer(SpecPointer& holder, const SpecPointer& source);

// The registry clock that stamps asset specifications when a use ends. Nothing in the tool advances
// it.
u32 GetSpecClock();

// One per process while the client is open. Its lock guards the lists, the index and the default
// factory; use counts change outside it.
class SpecRegistry {
 public:
  // The registry becomes the current one.
  SpecRegistry();
  // Destroys the asset specifications that no one holds and reports the others, which stay alive
  // for their holders; clears the current-registry pointer.
  ~SpecRegistry();
  SpecRegistry(const SpecRegistry&) = delete;
  SpecRegistry& operator=(const SpecRegistry&) = delete;

  // The registry of the open client, or null.
  static SpecRegistry* GetCurrent();

  // Appends the asset specification to the live list and indexes it by its KUID (an asset
  // specification of the null KUID is not indexed); the registry owns it now.
  void RegisterSpec(KoolthingzSpec* spec);
  // Builds an asset specification for the configuration through the first factory named like its
  // "kind" (ignoring case), else the default factory, else as a KestroBaseSpec; registers it and
  // returns it with one use.
  KoolthingzSpec* CreateSpecFromConfig(const KUID& kuid, const Qel::String* location,
                                       const Qel::String* subLocation,
                                       const Qel::PString& contentFolder, const Soup& config);
  // The live asset specification of the KUID with one use added; null for none and for the null
  // KUID.
  KoolthingzSpec* FindByKUID(const KUID& kuid);
  // Stamps the asset specification; the first call also decides its validity, and an invalid one
  // moves to the failed list.
  void EnsureSpecInitialised(KoolthingzSpec* spec);
  // Takes an invalid asset specification out of the index and the live list and puts it on the
  // failed list, once.
  void MoveToFailed(KoolthingzSpec* spec);
  // Destroys every asset specification that no one uses and that was not used after the clock; true
  // when anything was destroyed.
  bool PurgeUnusedSpecs();
  // Destroys the failed asset specifications and every unused one, then logs those still in use.
  void DumpLeakedSpecs();

  // Factories by kind, and the one used when no kind matches (null: none). The registry does not
  // own them.
  void AddFactory(KTSpecFactory* factory);
  void RemoveFactory(KTSpecFactory* factory);
  void SetDefaultFactory(KTSpecFactory* factory);

  Qel::CriticalSection& GetLock() { return lock_; }
  u32 GetLiveCount();
  u32 GetFailedCount();
  // The indexed asset specification of a KUID, without a use added; null when none.
  KoolthingzSpec* GetIndexed(const KUID& kuid);
  // Forgets the KUID's index entry, so that the next lookup loads the asset afresh, and clears
  // the safe pointers of the asset specification it named; the KoolthingzSpec itself stays on the
  // live list for its holders.
  void DropIndexEntry(const KUID& kuid);
  // Removes the index entry when it names this very asset specification.
  void Detach(KoolthingzSpec* spec);

 private:
  // Removes the asset specification from the lists and the index and deletes it; the caller holds
  // the lock.
  void DestroySpec(KoolthingzSpec* spec);
  void Unindex(KoolthingzSpec* spec);
  template <class T>
  static void EraseFrom(ChunkedList<T*, 13>& list, T* item);

  Qel::CriticalSection lock_;
  ChunkedList<KoolthingzSpec*, 13> live_;
  ChunkedList<KoolthingzSpec*, 13> failed_;
  ChunkedList<KTSpecFactory*, 13> factories_;
  std::unordered_map<KUID, KoolthingzSpec*> index_;
  KTSpecFactory* defaultFactory_ = nullptr;
};

// Creates the current registry and subscribes it to asset changes; true when one exists
// afterwards (an existing one is kept).
bool CreateSpecRegistry();
// Deletes the current registry, with its leak report, and announces that any asset may have
// changed (the next client may talk to another daemon); nothing else when there is none.
void DeleteSpecRegistry();
// DropIndexEntry on the current registry; nothing when there is none. The registry runs it for
// every asset that PymNotifyAssetChanged names while it exists.
void DropSpecIndexEntry(const KUID& kuid);
// Detaches the holder's asset specification from the index, then releases the holder.
void DetachAndReleaseSpec(SpecPointer& holder);
// EnsureSpecInitialised and PurgeUnusedSpecs on the current registry; nothing (false) without one.
void EnsureSpecInitialised(KoolthingzSpec* spec);
bool PurgeUnusedSpecs();
// The current registry's leak report; nothing without one.
void DumpLeakedSpecs();

// The two words of a package checksum as text: "%d:%d" of the second word, then the first.
Qel::String FormatIdPair(u32 first, u32 second);
// The checksum of one file's bytes: (0, 0) below 5 bytes, else the rotating sum over its whole
// little-endian words and the length rounded down to whole words.
PackageChecksum HashWordBlock(const u8* bytes, u32 length);
