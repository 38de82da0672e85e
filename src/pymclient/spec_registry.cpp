#include "pymclient/spec_registry.h"

#include <atomic>
#include <vector>

#include "core/log_printf.h"
#include "platform/invariant.h"
#include "pymclient/resource_db_cache.h"

namespace {

std::atomic<SpecRegistry*> g_currentRegistry{nullptr};

// Nothing in the tool advances the clock, so every stamp is 0.
u32 g_specClock = 0;

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
  // The asset's name comes from the daemon's asset information, which the client does not read
  // yet; until then the quotes stay empty.
  const Qel::PString assetName;
  Qel::String text(kuid_.ToString());
  text += " \"";
  text += assetName.CStr();
  text += "\"";
  return text;
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
  index_[spec->GetKUID()] = spec;
}

void SpecRegistry::MoveToFailed(KoolthingzSpec* spec) {
  if (spec == nullptr) return;
  Qel::SingleLock guard(lock_);
  auto it = index_.find(spec->GetKUID());
  if (it != index_.end() && it->second == spec) index_.erase(it);
  EraseFrom(live_, spec);
  if (failed_.Find(spec).IsEnd()) failed_.PushBack(spec);
}

bool SpecRegistry::PurgeUnusedSpecs() {
  Qel::SingleLock guard(lock_);
  std::vector<KoolthingzSpec*> unused;
  for (KoolthingzSpec* spec : live_) {
    if (spec->GetUseCount() == 0 && spec->GetLastUse() <= GetSpecClock()) unused.push_back(spec);
  }
  for (KoolthingzSpec* spec : unused) DestroySpec(spec);
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
  auto it = index_.find(spec->GetKUID());
  if (it != index_.end() && it->second == spec) index_.erase(it);
  delete spec;
}

void SpecRegistry::EraseFrom(ChunkedList<KoolthingzSpec*, 13>& list, KoolthingzSpec* spec) {
  auto it = list.Find(spec);
  if (!it.IsEnd()) list.Erase(it);
}

bool CreateSpecRegistry() {
  if (SpecRegistry::GetCurrent() == nullptr) new SpecRegistry();
  return SpecRegistry::GetCurrent() != nullptr;
}

void DeleteSpecRegistry() { delete SpecRegistry::GetCurrent(); }

void SpecRegistry::DropIndexEntry(const KUID& kuid) {
  Qel::SingleLock guard(lock_);
  index_.erase(kuid);
}

void DropSpecIndexEntry(const KUID& kuid) {
  if (SpecRegistry* registry = SpecRegistry::GetCurrent()) registry->DropIndexEntry(kuid);
}
