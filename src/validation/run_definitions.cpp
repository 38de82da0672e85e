#include "validation/run_definitions.h"

#include "platform/invariant.h"
#include "pymclient/install_paths.h"

namespace TETLib {

namespace {

// The facts of the shared definitions, for as long as those are the data manager's (the root is
// held, so a new set of definitions never has its address).
struct SharedFacts {
  MPRef<ACSChunk> root;
  DefinitionFactsCache cache;
};

SharedFacts& TheSharedFacts() {
  static SharedFacts* facts = new SharedFacts();  // never destroyed: used until the very end
  return *facts;
}

}  // namespace

// Counts the times the shared facts changed hands; a view that took them at the current count
// holds them still.
std::atomic<u64> RunDefinitions::sharedGeneration_{0};

DefinitionFactsCache& RunDefinitions::TakeSharedFacts() {
  // The shared facts are the process's, kept without a lock of their own.
  KESTRO_ASSERT(GetValidationMutex().IsLockedByCurrentThread());
  SharedFacts& shared = TheSharedFacts();
  if (shared.root.Get() != shared_.GetRoot().Get()) {
    shared.cache.Clear();
    shared.root = shared_.GetRoot();
    sharedGeneration_.fetch_add(1, std::memory_order_relaxed);
  }
  sharedCache_ = &shared.cache;
  takenAt_ = sharedGeneration_.load(std::memory_order_relaxed);
  return shared.cache;
}

Soup RunDefinitions::Get(const Qel::PString& name) {
  Soup found = Facts().Node(shared_.GetRoot().Get()).Container(name);
  ResolveInPlace(found);
  return found;
}

const Soup& RunDefinitions::Resolve(const Soup& definition) const {
  if (copies_.empty() || definition.IsNull()) return definition;
  const auto found = copies_.find(definition.GetRoot().Get());
  return found == copies_.end() ? definition : found->second.copy;
}

Soup RunDefinitions::Writable(const Soup& definition) {
  if (definition.IsNull()) return definition;
  // The caller changes what it gets: facts read of this load's copies no longer hold.
  if (local_ == nullptr) {
    local_ = std::make_unique<DefinitionFactsCache>();
  } else {
    local_->Clear();
  }
  const ACSChunk* node = definition.GetRoot().Get();
  if (own_.count(node) != 0) return definition;
  const auto found = copies_.find(node);
  if (found != copies_.end()) return found->second.copy;
  Copy entry{definition, Soup()};
  entry.copy.Copy(definition);
  own_.insert(entry.copy.GetRoot().Get());
  return copies_.emplace(node, std::move(entry)).first->second.copy;
}

}  // namespace TETLib
