// Asset specifications and the process-wide registry that keeps one live specification per
// KUID while the asset-database client is open.
#pragma once

#include <unordered_map>

#include "core/chunked_list.h"
#include "core/kuid.h"
#include "qel/critical_section.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class KestroResourceDatabase;
class KTSpecFactory;

// The in-memory object behind one asset. Uses are counted; a spec is destroyed only by the
// registry.
class KoolthingzSpec {
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
  virtual ~KoolthingzSpec();
  KoolthingzSpec(const KoolthingzSpec&) = delete;
  KoolthingzSpec& operator=(const KoolthingzSpec&) = delete;

  virtual void SetFlag();
  // Decides validity.
  virtual bool IsValidSpec();
  // Runs when the asset specification turns out valid.
  virtual void OnSpecValid();

  const KUID& GetKUID() const { return kuid_; }
  u8 GetFlags() const { return flags_; }
  const Qel::String& GetLocation() const { return location_; }
  const Qel::String& GetSubLocation() const { return subLocation_; }
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

 private:
  KUID kuid_;
  u8 flags_ = 0;
  Qel::String location_;
  Qel::String subLocation_;
  KestroResourceDatabase* database_ = nullptr;
  u8 hasDatabase_ = 0;
  u32 lastUse_ = 0;
  Qel::ProtectedLong uses_{0};
  u8 flagSet_ = 0;
};

// The registry clock that stamps asset specifications when a use ends. Nothing in the tool advances
// it.
u32 GetSpecClock();

// One per process while the client is open. Its lock guards the lists, the index and the default
// factory; use counts change outside it.
class SpecRegistry {
 public:
  // The registry becomes the current one.
  SpecRegistry();
  // Destroys the specs that no one holds and reports the others, which stay alive for their
  // holders; clears the current-registry pointer.
  ~SpecRegistry();
  SpecRegistry(const SpecRegistry&) = delete;
  SpecRegistry& operator=(const SpecRegistry&) = delete;

  // The registry of the open client, or null.
  static SpecRegistry* GetCurrent();

  // Appends the asset specification to the live list and indexes it by its KUID; the registry owns
  // it now.
  void RegisterSpec(KoolthingzSpec* spec);
  // Takes an invalid spec out of the index and the live list and puts it on the failed list,
  // once.
  void MoveToFailed(KoolthingzSpec* spec);
  // Destroys every asset specification that no one uses and that was not used after the clock; true
  // when anything was destroyed.
  bool PurgeUnusedSpecs();
  // Destroys the failed specs and every unused one, then logs those still in use.
  void DumpLeakedSpecs();

  Qel::CriticalSection& GetLock() { return lock_; }
  u32 GetLiveCount();
  u32 GetFailedCount();
  // The indexed spec of a KUID, without a use added; null when none.
  KoolthingzSpec* GetIndexed(const KUID& kuid);
  // Forgets the KUID's index entry, so that the next lookup loads the asset afresh; the
  // KoolthingzSpec itself stays on the live list for its holders.
  void DropIndexEntry(const KUID& kuid);

 private:
  // Removes the asset specification from the lists and the index and deletes it; the caller holds
  // the lock.
  void DestroySpec(KoolthingzSpec* spec);
  static void EraseFrom(ChunkedList<KoolthingzSpec*, 13>& list, KoolthingzSpec* spec);

  Qel::CriticalSection lock_;
  ChunkedList<KoolthingzSpec*, 13> live_;
  ChunkedList<KoolthingzSpec*, 13> failed_;
  ChunkedList<KTSpecFactory*, 13> factories_;
  std::unordered_map<KUID, KoolthingzSpec*> index_;
  KTSpecFactory* defaultFactory_ = nullptr;
};

// Creates the current registry; true when one exists afterwards (an existing one is kept).
bool CreateSpecRegistry();
// Deletes the current registry, with its leak report; nothing when there is none.
void DeleteSpecRegistry();
// DropIndexEntry on the current registry; nothing when there is none.
void DropSpecIndexEntry(const KUID& kuid);
