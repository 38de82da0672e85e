// The tracked-object registry of a script context: every instance, array and string made in the
// context has a slot, so that destroying the context can end all of them, cycles included. A
// tracked object is an instance header (gs_script_instance.h), named by its first word. Slots lie
// in pages of 1022; an object's slot word is (page id << 10 | slot + 1), page ids counting in one
// process-wide table, so the word finds the page and the page its registry.
#pragma once

#include <vector>

#include "gsruntime/id_table.h"
#include "gsruntime/script_arena.h"

namespace GSRuntime {

class GSContext;

// A tracked object: the first word of an instance header. Its pin, detach and untrack steps are
// GSScriptInstance::Pin, Detach and Untrack.
using GSTrackedObject = ScriptRef;

class GSTrackedRegistry {
 public:
  static constexpr u32 kSlotsPerPage = 1022;

  explicit GSTrackedRegistry(GSContext* owner = nullptr) : owner_(owner) {}
  ~GSTrackedRegistry();
  GSTrackedRegistry(const GSTrackedRegistry&) = delete;
  GSTrackedRegistry& operator=(const GSTrackedRegistry&) = delete;

  GSContext* Owner() const { return owner_; }
  bool Clearing() const { return clearing_; }
  // Registries clearing now: while there are none, a release need not look up its owner.
  static u32 ClearingCount() { return clearingCount_; }
  u32 PageCount() const { return u32(pages_.size()); }
  u32 TrackedCount() const { return tracked_; }

  // Ends every tracked object in three passes (pin all, detach all, untrack all) and frees the
  // pages. Releases of its objects do nothing meanwhile, blocks are freed after the last pass,
  // and nothing new is tracked into it.
  void Clear();

  // Used by instances while the registry clears: a block to free when the passes are over.
  void DeferFree(ScriptRef instance) { deferredFrees_.push_back(instance); }

 private:
  struct Page;
  friend void TrackObject(GSTrackedRegistry* registry, ScriptRef instance);
  friend void UntrackObject(ScriptRef instance);
  friend GSTrackedRegistry* OwnerRegistry(ScriptRef instance);

  static IdTable<Page>& PageTable();
  Page* NewPage();
  void ForEachTracked(void (*step)(ScriptRef));

  GSContext* owner_;
  std::vector<Page*> pages_;
  Page* currentPage_ = nullptr;
  bool clearing_ = false;
  static inline u32 clearingCount_ = 0;
  u32 tracked_ = 0;
  std::vector<ScriptRef> deferredFrees_;
};

// Takes a slot for the instance; with no registry, or one that clears, the instance stays
// untracked.
void TrackObject(GSTrackedRegistry* registry, ScriptRef instance);
// Gives the instance's slot back; nothing for an untracked instance.
void UntrackObject(ScriptRef instance);
// The registry holding the instance; null when untracked.
GSTrackedRegistry* OwnerRegistry(ScriptRef instance);
inline void ClearRegistry(GSTrackedRegistry* registry) { registry->Clear(); }

}  // namespace GSRuntime
