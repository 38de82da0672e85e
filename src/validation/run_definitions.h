// The definitions as one asset's load sees them. Used under the validation lock, like the rest
// of the container model (the facts of the shared definitions are kept process-wide).
//
// Matching a configuration changes definitions
// (obsolete entries become allowed entries for old assets, inherited rules are merged in), and the
// data manager's merged definitions are shared by every asset of the process. So a load never
// writes them: the first change to a definition makes a copy of it for this load alone, and every
// later look-up of this load finds the copy. The next asset starts from the definitions as read.
#pragma once

#include <atomic>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "validation/definition_facts.h"

namespace TETLib {

class RunDefinitions {
 public:
  // shared: the data manager's merged definitions, read only.
  explicit RunDefinitions(const Soup& shared) : shared_(shared) {}
  RunDefinitions(const RunDefinitions&) = delete;
  RunDefinitions& operator=(const RunDefinitions&) = delete;

  // The definition of that name, compared exactly; the empty soup when there is none.
  Soup Get(const Qel::PString& name);
  // This load's copy of the definition (or of an entry inside one) when it has made one, else
  // the definition itself (the very handle given: most loads copy nothing, and a handle taken is
  // a count taken).
  const Soup& Resolve(const Soup& definition) const;
  // Resolve into the handle itself.
  void ResolveInPlace(Soup& definition) const {
    if (copies_.empty()) return;
    const Soup& resolved = Resolve(definition);
    if (&resolved != &definition) definition = resolved;
  }
  // A definition that this load may change: its copy, made on the first call. Facts taken of
  // this load's copies before the call are no longer valid after it.
  Soup Writable(const Soup& definition);

  // The facts of definition nodes: kept for the process while this load has copied nothing (the
  // shared definitions never change), else read for this load alone and read again after each
  // change.
  DefinitionFactsCache& Facts() {
    // Asked for every tag many times: the common answer without a call.
    if (!copies_.empty()) return *local_;
    if (sharedCache_ != nullptr && takenAt_ == sharedGeneration_.load(std::memory_order_relaxed)) {
      return *sharedCache_;
    }
    return TakeSharedFacts();
  }

  const Soup& Shared() const { return shared_; }
  // How many definitions this load has copied.
  size_t CopyCount() const { return copies_.size(); }

 private:
  struct Copy {
    Soup original;  // held so that its address is not reused while it keys the map
    Soup copy;
  };

  DefinitionFactsCache& TakeSharedFacts();

  static std::atomic<u64> sharedGeneration_;
  Soup shared_;
  DefinitionFactsCache* sharedCache_ = nullptr;
  u64 takenAt_ = 0;
  std::unordered_map<const ACSChunk*, Copy> copies_;
  // The roots of the copies: writing to them needs no further copy.
  std::unordered_set<const ACSChunk*> own_;
  // Made with the first copy: most loads copy nothing, and a cache is a few pages of slots.
  std::unique_ptr<DefinitionFactsCache> local_;
};

}  // namespace TETLib
