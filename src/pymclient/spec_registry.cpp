#include "pymclient/spec_registry.h"

#include <atomic>
#include <vector>

#include "core/log_printf.h"
#include "platform/invariant.h"
#include "pymclient/asset_change_hook.h"
#include "pymclient/install_paths.h"
#include "pymclient/kestro_base_spec.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/resource_db_cache.h"

namespace {

std::atomic<SpecRegistry*> g_currentRegistry{nullptr};

// Nothing in the tool advances the clock, so every stamp is 0.
u32 g_specClock = 0;

// A committed, deleted or installed asset is loaded afresh by the next lookup.
void OnAssetChanged(const KUID& kuid) {
  if (!kuid.IsNull()) DropSpecIndexEntry(kuid);
}

}  // namespace

u32 GetSpecClock() { return g_specClock; }

KoolthingzSpec::KoolthingzSpec(const KUID& kuid, const Qel::String* location,
                               const Qel::String* subLocation, const Qel::PString& contentFolder)
    : kuid_(kuid) {
  if (location != nullptr) location_ = *location;
  if (subLocation != nullptr) subLocation_ = *subLocation;
  flags_ = 0;
  if (kuid_.IsNull()) flags_ |= kFlagNullKUID;
  Stamp();
  uses_.Set(0);
  OpenContentResourceDatabase(contentFolder, database_);
  hasDatabase_ = database_ != nullptr ? 1 : 0;
}

KoolthingzSpec::~KoolthingzSpec() { ReleaseResourceDatabase(database_); }

void KoolthingzSpec::SetFlag() { flagSet_ = 1; }

bool KoolthingzSpec::IsValidSpec() { return true; }

void KoolthingzSpec::OnSpecValid() {}

void KoolthingzSpec::Stamp() { lastUse_ = GetSpecClock(); }

Qel::String KoolthingzSpec::GetDisplayName() const {
  // The daemon is not asked once the client has closed, so the leak report at shut-down shows
  // empty quotes.
  Qel::String text(kuid_.ToString());
  text += " \"";
  text += GetAssetName(kuid_);
  text += "\"";
  return text;
}

Soup KoolthingzSpec::LoadConfigSoup() const { return PymGetAssetConfigSoup(kuid_); }

Qel::File::Path KoolthingzSpec::BuildPath(const char* subPath) const {
  Qel::File::Path path(location_);
  if (!subLocation_.IsEmpty()) path.AddPath(subLocation_.CStr());
  if (subPath != nullptr && *subPath != '\0') {
    Qel::String lower(subPath);
    lower.ToLower();
    path.AddPath(lower.CStr());
  }
  return path;
}

KTSpecFactory::~KTSpecFactory() {
  if (SpecRegistry* registry = SpecRegistry::GetCurrent()) registry->RemoveFactory(this);
}

SpecPointer::SpecPointer(const SpecPointer& other) { CopySpecPointer(*this, other); }

SpecPointer& SpecPointer::operator=(const SpecPointer& other) {
  if (this != &other) CopySpecPointer(*this, other);
  return *this;
}

SpecPointer& SpecPointer::operator=(SpecPointer&& other) noexcept {
  if (this != &other) {
    ReleaseSpecPointer(*this);
    spec_ = other.spec_;
    other.spec_ = nullptr;
  }
  return *this;
}

SpecPointer::~SpecPointer() { ReleaseSpecPointer(*this); }

void SpecPointer::Adopt(KoolthingzSpec* spec) {
  ReleaseSpecPointer(*this);
  spec_ = spec;
}

void AssignSpecPointer(SpecPointer& holder, KoolthingzSpec* spec) {
  if (spec != nullptr) spec->AddUse();
  KoolthingzSpec* old = holder.spec_;
  holder.spec_ = spec;
  if (old != nullptr) {
    old->DropUse();
    old->Stamp();
  }
}

void ReleaseSpecPointer(SpecPointer& holder) {
  if (holder.spec_ == nullptr) return;
  holder.spec_->DropUse();
  holder.spec_->Stamp();
  holder.spec_ = nullptr;
}

void CopySpecPointer(SpecPointer& holder, const SpecPointer& source) {
  AssignSpecPointer(holder, source.Get());
}

SpecRegistry::SpecRegistry() { g_currentRegistry.store(this); }

SpecRegistry::~SpecRegistry() {
  DumpLeakedSpecs();
  SpecRegistry* self = this;
  g_currentRegistry.compare_exchange_strong(self, nullptr);
  Qel::SingleLock guard(lock_);
  index_.clear();
  live_.FreeBlocks();
  failed_.FreeBlocks();
  factories_.FreeBlocks();
  defaultFactory_ = nullptr;
}

SpecRegistry* SpecRegistry::GetCurrent() { return g_currentRegistry.load(); }

void SpecRegistry::RegisterSpec(KoolthingzSpec* spec) {
  if (spec == nullptr) return;
  Qel::SingleLock guard(lock_);
  live_.PushBack(spec);
  // A null KUID names no asset: indexed, it would answer for every configuration without one.
  if (!spec->GetKUID().IsNull()) index_[spec->GetKUID()] = spec;
}

KoolthingzSpec* SpecRegistry::CreateSpecFromConfig(const KUID& kuid, const Qel::String* location,
                                                   const Qel::String* subLocation,
                                                   const Qel::PString& contentFolder,
                                                   const Soup& config) {
  Qel::SingleLock guard(lock_);
  const Qel::PString kind = config.GetNamedTag("kind").Lower();
  KTSpecFactory* chosen = nullptr;
  for (KTSpecFactory* factory : factories_) {
    if (factory->GetName().Lower() == kind) {
      chosen = factory;
      break;
    }
  }
  if (chosen == nullptr) chosen = defaultFactory_;
  KoolthingzSpec* spec =
      chosen != nullptr ? chosen->Create(kuid, location, subLocation, contentFolder, config)
                        : MakeKestroBaseSpec(kuid, location, subLocation, contentFolder, config);
  if (spec == nullptr) return nullptr;
  RegisterSpec(spec);
  spec->AddUse();
  return spec;
}

KoolthingzSpec* SpecRegistry::FindByKUID(const KUID& kuid) {
  if (kuid.IsNull()) return nullptr;
  Qel::SingleLock guard(lock_);
  auto it = index_.find(kuid);
  if (it == index_.end()) return nullptr;
  it->second->AddUse();
  return it->second;
}

void SpecRegistry::EnsureSpecInitialised(KoolthingzSpec* spec) {
  if (spec == nullptr) return;
  spec->Stamp();
  Qel::SingleLock guard(lock_);
  if (spec->initialised_ != 0) return;
  spec->initialised_ = 1;
  spec->SetFlag();
  const bool valid = (spec->flags_ & KoolthingzSpec::kFlagNullKUID) == 0 && spec->IsValidSpec();
  if (valid) {
    spec->flags_ |= KoolthingzSpec::kFlagValid;
    spec->OnSpecValid();
  } else {
    spec->flags_ &= u8(~KoolthingzSpec::kFlagValid);
    MoveToFailed(spec);
  }
}

void SpecRegistry::MoveToFailed(KoolthingzSpec* spec) {
  if (spec == nullptr) return;
  Qel::SingleLock guard(lock_);
  Unindex(spec);
  EraseFrom(live_, spec);
  if (failed_.Find(spec).IsEnd()) failed_.PushBack(spec);
}

void SpecRegistry::AddFactory(KTSpecFactory* factory) {
  if (factory == nullptr) return;
  Qel::SingleLock guard(lock_);
  if (factories_.Find(factory).IsEnd()) factories_.PushBack(factory);
}

void SpecRegistry::RemoveFactory(KTSpecFactory* factory) {
  Qel::SingleLock guard(lock_);
  EraseFrom(factories_, factory);
  if (defaultFactory_ == factory) defaultFactory_ = nullptr;
}

void SpecRegistry::SetDefaultFactory(KTSpecFactory* factory) {
  Qel::SingleLock guard(lock_);
  defaultFactory_ = factory;
}

bool SpecRegistry::PurgeUnusedSpecs() {
  Qel::SingleLock guard(lock_);
  std::vector<KoolthingzSpec*> unused;
  for (KoolthingzSpec* spec : live_) {
    if (spec->GetUseCount() == 0 && spec->GetLastUse() <= GetSpecClock()) unused.push_back(spec);
  }
  for (KoolthingzSpec* spec : unused) {
    spec->ClearSafePointers();
    DestroySpec(spec);
  }
  return !unused.empty();
}

void SpecRegistry::DumpLeakedSpecs() {
  Qel::SingleLock guard(lock_);
  std::vector<KoolthingzSpec*> failed;
  for (KoolthingzSpec* spec : failed_) failed.push_back(spec);
  for (KoolthingzSpec* spec : failed) DestroySpec(spec);
  while (PurgeUnusedSpecs()) {
  }
  if (live_.IsEmpty()) return;
  LogPrintf("Leaked specs:");
  for (KoolthingzSpec* spec : live_) {
    LogPrintf("  (%4d) - %s", spec->GetUseCount(), spec->GetDisplayName().CStr());
  }
}

u32 SpecRegistry::GetLiveCount() {
  Qel::SingleLock guard(lock_);
  return live_.Count();
}

u32 SpecRegistry::GetFailedCount() {
  Qel::SingleLock guard(lock_);
  return failed_.Count();
}

KoolthingzSpec* SpecRegistry::GetIndexed(const KUID& kuid) {
  Qel::SingleLock guard(lock_);
  auto it = index_.find(kuid);
  return it != index_.end() ? it->second : nullptr;
}

void SpecRegistry::DestroySpec(KoolthingzSpec* spec) {
  KESTRO_ASSERT(lock_.IsLockedByCurrentThread());
  EraseFrom(live_, spec);
  EraseFrom(failed_, spec);
  Unindex(spec);
  delete spec;
}

void SpecRegistry::Unindex(KoolthingzSpec* spec) {
  auto it = index_.find(spec->GetKUID());
  if (it != index_.end() && it->second == spec) index_.erase(it);
}

template <class T>
void SpecRegistry::EraseFrom(ChunkedList<T*, 13>& list, T* item) {
  auto it = list.Find(item);
  if (!it.IsEnd()) list.Erase(it);
}

bool CreateSpecRegistry() {
  if (SpecRegistry::GetCurrent() == nullptr) new SpecRegistry();
  PymSubscribeAssetChanged(&OnAssetChanged);
  return SpecRegistry::GetCurrent() != nullptr;
}

void DeleteSpecRegistry() {
  PymUnsubscribeAssetChanged(&OnAssetChanged);
  delete SpecRegistry::GetCurrent();
  // The next client may talk to another daemon, which resolves KUIDs its own way.
  PymNotifyAssetChanged(KUID::Null());
}

void SpecRegistry::DropIndexEntry(const KUID& kuid) {
  Qel::SingleLock guard(lock_);
  auto it = index_.find(kuid);
  if (it == index_.end()) return;
  it->second->ClearSafePointers();
  index_.erase(it);
}

void SpecRegistry::Detach(KoolthingzSpec* spec) {
  if (spec == nullptr) return;
  Qel::SingleLock guard(lock_);
  Unindex(spec);
}

void DropSpecIndexEntry(const KUID& kuid) {
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  if (registry == nullptr) return;
  registry->DropIndexEntry(kuid);
}

void DetachAndReleaseSpec(SpecPointer& holder) {
  if (SpecRegistry* registry = SpecRegistry::GetCurrent()) registry->Detach(holder.Get());
  ReleaseSpecPointer(holder);
}

void EnsureSpecInitialised(KoolthingzSpec* spec) {
  if (SpecRegistry* registry = SpecRegistry::GetCurrent()) registry->EnsureSpecInitialised(spec);
}

bool PurgeUnusedSpecs() {
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  return registry != nullptr && registry->PurgeUnusedSpecs();
}

void DumpLeakedSpecs() {
  if (SpecRegistry* registry = SpecRegistry::GetCurrent()) registry->DumpLeakedSpecs();
}

Qel::String FormatIdPair(u32 first, u32 second) {
  return Qel::String(FormatDsid(PackageChecksum{first, second}));
}

PackageChecksum HashWordBlock(const u8* bytes, u32 length) {
  return HashPackageFile(bytes, length);
}
