#include "gsruntime/gs_tracked_object.h"

#include <new>

#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_script_instance.h"

namespace GSRuntime {

namespace {

constexpr u32 kSlotBits = 10;
constexpr u32 kMaxPageId = 0xFFFFFFFFu >> kSlotBits;

}  // namespace

struct GSTrackedRegistry::Page {
  struct Slot {
    u32 objectOrNext;  // the object while used, else the next free slot + 1 (0 ends the chain)
    u32 used;
  };
  GSTrackedRegistry* registry;
  u32 id;
  u32 freeHead;  // first free slot + 1, 0 when full
  Slot slots[kSlotsPerPage];
};

IdTable<GSTrackedRegistry::Page>& GSTrackedRegistry::PageTable() {
  // Id 0 marks an untracked object. Never destroyed: contexts may end at exit after it.
  static auto& table = *new IdTable<Page>;
  return table;
}

GSTrackedRegistry::~GSTrackedRegistry() { Clear(); }

GSTrackedRegistry::Page* GSTrackedRegistry::NewPage() {
  auto* page = new (std::nothrow) Page;
  if (page == nullptr) return nullptr;
  page->id = PageTable().Add(page);
  if (page->id > kMaxPageId) {
    PageTable().Remove(page->id);
    delete page;
    return nullptr;
  }
  page->registry = this;
  for (u32 s = 0; s < kSlotsPerPage; ++s) page->slots[s] = {s + 2 <= kSlotsPerPage ? s + 2 : 0, 0};
  page->freeHead = 1;
  pages_.push_back(page);
  return page;
}

void TrackObject(GSTrackedRegistry* registry, ScriptRef instance) {
  GSInstanceHeader* header = GSScriptInstance::Header(instance);
  if (header == nullptr) return;
  header->trackSlot = 0;
  if (registry == nullptr || registry->clearing_) return;
  using Page = GSTrackedRegistry::Page;
  Page* page = registry->currentPage_;
  if (page == nullptr || page->freeHead == 0) {
    page = nullptr;
    for (Page* candidate : registry->pages_) {
      if (candidate->freeHead != 0) {
        page = candidate;
        break;
      }
    }
    // A page found by the scan serves the next objects too; a new one is scanned for, so that
    // slots freed in earlier pages are filled first.
    if (page != nullptr) {
      registry->currentPage_ = page;
    } else {
      page = registry->NewPage();
      if (page == nullptr) return;
    }
  }
  const u32 slot = page->freeHead - 1;
  page->freeHead = page->slots[slot].objectOrNext;
  page->slots[slot] = {instance, 1};
  header->trackSlot = page->id << kSlotBits | (slot + 1);
  ++registry->tracked_;
  if (page->freeHead == 0 && registry->currentPage_ == page) registry->currentPage_ = nullptr;
}

namespace {

// The page and slot of a slot word; false when the word names no used slot of that object.
template <typename Page>
bool Locate(const IdTable<Page>& table, u32 slotWord, ScriptRef instance, Page** page, u32* slot) {
  const u32 index = (slotWord & ((1u << kSlotBits) - 1)) - 1;
  *page = table.At(slotWord >> kSlotBits);
  if (*page == nullptr || index >= GSTrackedRegistry::kSlotsPerPage) return false;
  *slot = index;
  return (*page)->slots[index].used != 0 && (*page)->slots[index].objectOrNext == instance;
}

}  // namespace

void UntrackObject(ScriptRef instance) {
  GSInstanceHeader* header = GSScriptInstance::Header(instance);
  if (header == nullptr || header->trackSlot == 0) return;
  GSTrackedRegistry::Page* page = nullptr;
  u32 slot = 0;
  if (!Locate(GSTrackedRegistry::PageTable(), header->trackSlot, instance, &page, &slot)) return;
  GSTrackedRegistry* registry = page->registry;
  // A clearing registry keeps its slots until the passes are over, so that releases of its
  // objects still find it.
  if (registry->clearing_) return;
  page->slots[slot] = {page->freeHead, 0};
  page->freeHead = slot + 1;
  --registry->tracked_;
  header->trackSlot = 0;
}

GSTrackedRegistry* OwnerRegistry(ScriptRef instance) {
  GSInstanceHeader* header = GSScriptInstance::Header(instance);
  if (header == nullptr || header->trackSlot == 0) return nullptr;
  GSTrackedRegistry::Page* page = nullptr;
  u32 slot = 0;
  if (!Locate(GSTrackedRegistry::PageTable(), header->trackSlot, instance, &page, &slot)) {
    return nullptr;
  }
  return page->registry;
}

void GSTrackedRegistry::ForEachTracked(void (*step)(ScriptRef)) {
  for (Page* page : pages_) {
    for (u32 s = 0; s < kSlotsPerPage; ++s) {
      if (page->slots[s].used != 0) step(page->slots[s].objectOrNext);
    }
  }
}

void GSTrackedRegistry::Clear() {
  if (clearing_) return;
  clearing_ = true;
  ++clearingCount_;
  currentPage_ = nullptr;
  ForEachTracked(GSScriptInstance::Pin);
  ForEachTracked(GSScriptInstance::Detach);
  ForEachTracked(GSScriptInstance::Untrack);
  ScriptArena& arena = GSMachine::Instance().Arena();
  for (ScriptRef instance : deferredFrees_) {
    const u32 bytes = GSScriptInstance::Header(instance)->blockBytes;
    arena.Free(instance / ScriptArena::kWordsPerGranule, bytes);
  }
  deferredFrees_.clear();
  for (Page* page : pages_) {
    PageTable().Remove(page->id);
    delete page;
  }
  pages_.clear();
  tracked_ = 0;
  clearing_ = false;
  --clearingCount_;
}

}  // namespace GSRuntime
