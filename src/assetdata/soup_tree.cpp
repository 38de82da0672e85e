#include "assetdata/soup_tree.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/asan_poison.h"

// Counts the releases of things made in slabs and gives them back to their slab in one step
// when the slab changes or the count goes: a tree that goes whole then pays one atomic step per
// run of things from one slab rather than one per thing.
class SoupSlabRelease {
 public:
  SoupSlabRelease() = default;
  ~SoupSlabRelease() { Flush(); }
  SoupSlabRelease(const SoupSlabRelease&) = delete;
  SoupSlabRelease& operator=(const SoupSlabRelease&) = delete;

  // Gives back `count` things that lie in the `size` bytes at `memory`, made at `offset`.
  // Poisoned, so that a use after the release is caught although the slab lives on.
  void Add(void* memory, u32 offset, size_t size, u32 count = 1) {
    Platform::PoisonMemory(memory, size);
    auto* slab = reinterpret_cast<SoupSlabMaker::Slab*>(static_cast<u8*>(memory) - offset);
    if (slab != slab_) {
      Flush();
      slab_ = slab;
    }
    count_ += count;
  }
  // For a name whose memory goes without its destructor: tags of one tree repeat a few names,
  // whose counts go down together.
  void ReleaseEndingName(const Qel::PString& name) { names_.ReleaseEnding(name); }

  // Where a tree's free queues the containers it finds held alone; null outside one.
  std::vector<TDBContainerTag*>* queue = nullptr;

 private:
  void Flush();

  SoupSlabMaker::Slab* slab_ = nullptr;
  u32 count_ = 0;
  Qel::PStringReleaser names_;
};

// --- ACSRawDataCore ---

ACSRawDataCore::~ACSRawDataCore() {
  if (storage_ == kStorageMalloc) std::free(const_cast<u8*>(data_));
  if (storage_ == kStorageView) Owner().~MPRef();
}

void ACSRawDataCore::DeleteThis() {
  void* memory = this;
  const u32 slab = slabOffset_;
  const size_t size = InlineOffset() + (storage_ == kStorageInline ? size_ : 0);
  this->~ACSRawDataCore();
  if (slab) {
    SoupSlabMaker::Release(memory, slab, size);
  } else {
    ::operator delete(memory);
  }
}

void* ACSRawDataCore::Allocate(size_t extra) { return ::operator new(InlineOffset() + extra); }

MPRef<ACSRawDataCore> ACSRawDataCore::CreateOwned(void* bytes, u32 size) {
  if (!bytes) return nullptr;
  if (size == 0) {
    std::free(bytes);
    return nullptr;
  }
  void* memory;
  try {
    memory = Allocate(0);
  } catch (...) {
    std::free(bytes);  // taken over, so not leaked when the block cannot be made
    throw;
  }
  return MPRef<ACSRawDataCore>::Adopt(
      new (memory) ACSRawDataCore(static_cast<const u8*>(bytes), size, kStorageMalloc));
}

MPRef<ACSRawDataCore> ACSRawDataCore::CreateFilled(u32 size, u8** bytes) {
  *bytes = nullptr;
  if (size == 0) return nullptr;
  void* memory = Allocate(size);
  u8* inlineBytes = static_cast<u8*>(memory) + InlineOffset();
  *bytes = inlineBytes;
  return MPRef<ACSRawDataCore>::Adopt(new (memory)
                                          ACSRawDataCore(inlineBytes, size, kStorageInline));
}

MPRef<ACSRawDataCore> ACSRawDataCore::CreateCopy(const void* source, u32 size) {
  if (!source || size == 0) return nullptr;
  u8* bytes;
  MPRef<ACSRawDataCore> block = CreateFilled(size, &bytes);
  std::memcpy(bytes, source, size);
  return block;
}

MPRef<ACSRawDataCore> ACSRawDataCore::CreateView(const void* data, u32 size,
                                                 MPRef<ReferenceCountMP> owner) {
  if (!data || size == 0) return nullptr;
  void* memory = Allocate(sizeof(MPRef<ReferenceCountMP>));
  auto* block = new (memory) ACSRawDataCore(static_cast<const u8*>(data), size, kStorageView);
  new (&block->Owner()) MPRef<ReferenceCountMP>(std::move(owner));
  return MPRef<ACSRawDataCore>::Adopt(block);
}

MPRef<ACSRawDataCore> ACSRawDataCore::CreateChunkView(const ACSChunk* node) {
  if (!node) return nullptr;
  // An in-memory value's block is shared itself: a view owned by the node would dangle once the
  // node's value is replaced, because the node does not keep its old block.
  if (const auto* tag = dynamic_cast<const TDBDataTag*>(node)) return tag->GetBlock();
  return CreateView(node->GetData(), node->GetDataSize(),
                    MPRef<ReferenceCountMP>(const_cast<ACSChunk*>(node)));
}

// --- ACSChunk ---

static_assert(sizeof(ACSChunk) == sizeof(ReferenceCountMP), "the node's flag takes no room");

MPRef<ACSChunk> ACSChunk::GetChild(const Qel::PString&) const { return GetNullChunk(); }
MPRef<ACSChunk> ACSChunk::GetChild(const Qel::PString&) { return GetNullChunk(); }
u32 ACSChunk::CountChildren() const { return 0; }

bool ACSChunk::GetChildAt(u32, Qel::PString& name, MPRef<ACSChunk>& node) const {
  name = Qel::PString();
  node = GetNullChunk();
  return false;
}

void ACSChunk::SortChildren() {}
void ACSChunk::SwapChildValues(MPRef<ACSChunk>, MPRef<ACSChunk>) {}
void ACSChunk::AddChild(const Qel::PString&, MPRef<ACSChunk>) {}
void ACSChunk::RemoveChild(MPRef<ACSChunk>) {}
MPRef<ACSChunk> ACSChunk::CreateTag(u32, MPRef<ACSRawDataCore>) { return GetNullChunk(); }
const u8* ACSChunk::GetData() const { return nullptr; }
u32 ACSChunk::GetDataSize() const { return 0; }
u32 ACSChunk::GetKind() const { return kKindNull; }
void ACSChunk::SetData(u32, MPRef<ACSRawDataCore>) {}

namespace {

// Made on first use and never released: it lives until the process ends.
ACSChunk* NullChunk() {
  static ACSChunk* const node = new ACSChunk();
  return node;
}

}  // namespace

MPRef<ACSChunk> ACSChunk::GetNullChunk() { return MPRef<ACSChunk>(NullChunk()); }

bool ACSChunk::IsNullChunk(const ACSChunk* node) { return node == NullChunk(); }

bool ACSChunk::IsPresent(const ACSChunk* node) {
  return node && !IsNullChunk(node) && node->GetKind() != kKindNull;
}

bool ACSChunk::Reaches(const ACSChunk* from, const ACSChunk* target) {
  if (!from || !target) return false;
  if (target->IsSameNode(from)) return true;
  // The common case of every insert: a value or a new, empty container.
  if (from->GetKind() != kKindContainer || from->CountChildren() == 0) return false;
  // Shared subtrees are walked once: a tree that shares its parts may have far more paths than
  // nodes. Walked nodes are held until the end, so that no address is reused meanwhile.
  std::vector<MPRef<ACSChunk>> pending;
  std::vector<MPRef<ACSChunk>> walked;
  std::unordered_set<const ACSChunk*> seen;
  const auto visit = [&](const MPRef<ACSChunk>& child) {
    if (target->IsSameNode(child.Get())) return true;
    if (child->GetKind() == kKindContainer && seen.insert(child.Get()).second) {
      pending.push_back(child);
    }
    return false;
  };
  pending.emplace_back(const_cast<ACSChunk*>(from));
  seen.insert(from);
  while (!pending.empty()) {
    walked.push_back(std::move(pending.back()));
    pending.pop_back();
    const ACSChunk* node = walked.back().Get();
    if (const auto* container = dynamic_cast<const TDBContainerTag*>(node)) {
      for (const TDBContainerTag::Entry& e : container->GetEntries()) {
        if (visit(e.node)) return true;
      }
      continue;
    }
    const u32 count = node->CountChildren();
    for (u32 i = 0; i < count; ++i) {
      Qel::PString name;
      MPRef<ACSChunk> child;
      if (!node->GetChildAt(i, name, child)) break;
      if (visit(child)) return true;
    }
  }
  return false;
}

bool ACSChunk::CopyFrom(const ACSChunk* source) { return CopyFrom(source, 0); }

namespace {

void CopyValueAndClear(ACSChunk* target, const ACSChunk* source) {
  if (source && !ACSChunk::IsNullChunk(source) && source->GetKind() != kKindNull) {
    target->SetData(source->GetKind(), ACSRawDataCore::CreateChunkView(source));
  }
  const u32 own = target->CountChildren();
  for (u32 i = own; i > 0; --i) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (target->GetChildAt(i - 1, name, child)) target->RemoveChild(std::move(child));
  }
}

}  // namespace

bool ACSChunk::CopyFrom(const ACSChunk* source, u32 depth) {
  // Walks with its own stack so that a deep source cannot exhaust the thread's stack.
  struct Frame {
    ACSChunk* target;
    MPRef<ACSChunk> source;
    u32 next;
    u32 count;
  };
  if (source == this) return true;
  // Held here: clearing this node may drop the last other reference to a source below it.
  MPRef<ACSChunk> held(const_cast<ACSChunk*>(source));
  if (source && Reaches(source, this)) {
    // The source holds this node, whose children change while the copy is made: copy from a
    // snapshot instead.
    MPRef<ACSChunk> snapshot = MakeMP<TDBContainerTag>();
    const bool complete = snapshot->CopyFrom(source, depth);
    CopyValueAndClear(this, source);
    return CopyFrom(snapshot.Get(), depth) && complete;
  }
  CopyValueAndClear(this, source);
  if (!source) return true;
  bool complete = true;
  std::vector<Frame> stack;
  stack.push_back({this, std::move(held), 0, source->CountChildren()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.count) {
      stack.pop_back();
      continue;
    }
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (!top.source->GetChildAt(top.next++, name, child)) {
      top.next = top.count;
      continue;
    }
    const u32 kind = child->GetKind();
    // The new node sits at depth + stack.size() below the root of the copy.
    if (kind == kKindContainer && depth + stack.size() > kMaxSoupDepth) {
      complete = false;
      continue;
    }
    MPRef<ACSChunk> copy = top.target->CreateTag(kind, nullptr);
    if (IsNullChunk(copy.Get())) continue;
    ACSChunk* target = top.target;
    CopyValueAndClear(copy.Get(), child.Get());
    const u32 count = child->CountChildren();
    target->AddChild(name, copy);
    if (count > 0) stack.push_back({copy.Get(), std::move(child), 0, count});
  }
  return complete;
}

// --- TDBContainerTag ---

TDBContainerTag::~TDBContainerTag() {
  if (entries_ == nullptr) return;
  SoupSlabRelease release;
  ReleaseEntries(release);
}

const TDBContainerTag::Entry* TDBContainerTag::FindByName(const Qel::PString& name) const {
  if (count_ < kIndexedCount) {
    for (const Entry& e : GetEntries()) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }
  if (!nameIndex_) {
    nameIndex_ = std::make_unique<std::unordered_map<Qel::PString, u32>>(count_);
    for (u32 i = 0; i < count_; ++i) nameIndex_->emplace(entries_[i].name, i);
  }
  const auto found = nameIndex_->find(name);
  return found == nameIndex_->end() ? nullptr : &entries_[found->second];
}

MPRef<ACSChunk> TDBContainerTag::GetChild(const Qel::PString& name) const {
  const Entry* e = FindByName(name);
  return e ? e->node : GetNullChunk();
}

MPRef<ACSChunk> TDBContainerTag::GetChild(const Qel::PString& name) {
  return static_cast<const TDBContainerTag*>(this)->GetChild(name);
}

u32 TDBContainerTag::CountChildren() const { return count_; }

bool TDBContainerTag::GetChildAt(u32 index, Qel::PString& name, MPRef<ACSChunk>& node) const {
  if (index >= count_) return ACSChunk::GetChildAt(index, name, node);
  name = entries_[index].name;
  node = entries_[index].node;
  return true;
}

namespace {

using Entry = TDBContainerTag::Entry;

// Byte-wise, the bytes taken as unsigned values; a prefix sorts first.
bool NameLess(const Qel::PString& a, const Qel::PString& b) {
  const u32 la = a.Length();
  const u32 lb = b.Length();
  const u32 n = la < lb ? la : lb;
  const int c = n ? std::memcmp(a.CStr(), b.CStr(), n) : 0;
  return c != 0 ? c < 0 : la < lb;
}

void SwapEntries(Entry* a, Entry* b) {
  std::swap(a->name, b->name);
  std::swap(a->node, b->node);
}

// Median-of-three partitioning for ranges of 11 entries or more; the insertion pass that follows
// finishes the short ranges.
void PartitionSort(std::vector<Entry*>& e, i64 lo, i64 hi) {
  while (hi - lo >= 10) {
    const i64 mid = lo + (hi - lo) / 2;
    if (NameLess(e[mid]->name, e[lo]->name)) SwapEntries(e[mid], e[lo]);
    if (NameLess(e[hi]->name, e[lo]->name)) SwapEntries(e[hi], e[lo]);
    if (NameLess(e[hi]->name, e[mid]->name)) SwapEntries(e[hi], e[mid]);
    const Qel::PString pivot = e[mid]->name;
    i64 i = lo;
    i64 j = hi;
    while (i <= j) {
      while (NameLess(e[i]->name, pivot)) ++i;
      while (NameLess(pivot, e[j]->name)) --j;
      if (i <= j) {
        if (i != j) SwapEntries(e[i], e[j]);
        ++i;
        --j;
      }
    }
    // The smaller side recursively, the larger one by the loop: the depth stays logarithmic.
    if (j - lo < hi - i) {
      PartitionSort(e, lo, j);
      lo = i;
    } else {
      PartitionSort(e, i, hi);
      hi = j;
    }
  }
}

}  // namespace

void TDBContainerTag::SortChildren() {
  if (count_ < 2) return;
  std::vector<Entry*> slots;
  slots.reserve(count_);
  for (u32 i = 0; i < count_; ++i) slots.push_back(&entries_[i]);
  DropNameIndex();
  PartitionSort(slots, 0, i64(slots.size()) - 1);
  for (size_t i = 1; i < slots.size(); ++i) {
    for (size_t j = i; j > 0 && NameLess(slots[j]->name, slots[j - 1]->name); --j) {
      SwapEntries(slots[j], slots[j - 1]);
    }
  }
}

void TDBContainerTag::SwapChildValues(MPRef<ACSChunk> a, MPRef<ACSChunk> b) {
  Entry* ea = nullptr;
  Entry* eb = nullptr;
  for (u32 i = 0; i < count_; ++i) {
    if (entries_[i].node == a) ea = &entries_[i];
    if (entries_[i].node == b) eb = &entries_[i];
  }
  if (ea && eb && ea != eb) std::swap(ea->node, eb->node);
}

void TDBContainerTag::AddChild(const Qel::PString& name, MPRef<ACSChunk> node) {
  if (!node) return;
  if (Reaches(node.Get(), this)) return;
  if (count_ == capacity_) {
    // Grown by half again, from four: containers of a few children are the common case.
    const u32 capacity = capacity_ < 4 ? 4 : capacity_ + capacity_ / 2;
    auto* grown = static_cast<Entry*>(::operator new(sizeof(Entry) * capacity));
    for (u32 i = 0; i < count_; ++i) {
      new (&grown[i]) Entry(std::move(entries_[i]));
      entries_[i].~Entry();
    }
    const u32 count = count_;
    count_ = 0;
    SoupSlabRelease release;
    ReleaseEntries(release);
    entries_ = grown;
    count_ = count;
    capacity_ = capacity;
    entriesSlabOffset_ = 0;
  }
  // The first entry of a name stays the one found.
  if (nameIndex_) nameIndex_->emplace(name, count_);
  new (&entries_[count_]) Entry{name, std::move(node)};
  ++count_;
}

void TDBContainerTag::RemoveChild(MPRef<ACSChunk> node) {
  if (!node) return;
  for (u32 i = 0; i < count_; ++i) {
    if (entries_[i].node != node) continue;
    DropNameIndex();
    for (u32 j = i; j + 1 < count_; ++j) entries_[j] = std::move(entries_[j + 1]);
    entries_[--count_].~Entry();
    return;
  }
}

void TDBContainerTag::ReleaseEntries(SoupSlabRelease& release) const {
  // The children of a large container lie far apart: each is fetched some entries ahead, so
  // that their loads overlap. Names are not: most are shared by many tags and in the cache, and
  // the releaser fetches any other when it first sees it.
  constexpr u32 kAhead = 16;
  Entry* const entries = entries_;
  const u32 count = count_;
  for (u32 i = 0; i < count; ++i) {
    if (i + kAhead < count) __builtin_prefetch(entries[i + kAhead].node.Get());
    // The entry is only read: its memory goes without its destructor, so that freeing a tree
    // makes no more of it to be written back.
    const Entry& entry = entries[i];
    release.ReleaseEndingName(entry.name);
    ACSChunk* node = entry.node.Get();
    if (node == nullptr) continue;
    // A value of a slab that only this entry holds goes at once, with its block, and such a
    // container joins the queue of the tree's free; anything else is released as usual.
    const u8 made = node->slabKind_;
    if (made == kNotSlabMade || node->GetReferenceCount() != 1 ||
        (made == kSlabContainer && !release.queue)) {
      node->ReleaseReference();
      continue;
    }
    if (made == kSlabContainer) {
      auto* container = static_cast<TDBContainerTag*>(node);
      // Its children are walked soon: their array is fetched meanwhile.
      __builtin_prefetch(container->entries_);
      release.queue->push_back(container);
      continue;
    }
    auto* value = static_cast<TDBDataTag*>(node);
    const ACSRawDataCore* block = value->block_.Get();
    if (made == kSlabPiece && block->GetReferenceCount() == 1) {
      // The node and the block made beside it, neither held elsewhere, go in one step. Their
      // destructors would do nothing: the block's bytes are its own and it holds nothing.
      release.Add(value, value->slabOffset_, SoupSlabMaker::PieceSize(block->GetSize()), 2);
      continue;
    }
    value->DestroyAlone(release);
  }
  if (entries == nullptr) return;
  if (entriesSlabOffset_) {
    release.Add(entries, entriesSlabOffset_, sizeof(Entry) * capacity_);
  } else {
    ::operator delete(entries);
  }
}

void TDBContainerTag::DeleteThis() {
  thread_local std::vector<TDBContainerTag*>* pending = nullptr;
  if (pending) {
    // Its children are walked soon: their array is fetched meanwhile.
    __builtin_prefetch(entries_);
    pending->push_back(this);
    return;
  }
  std::vector<TDBContainerTag*> queue{this};
  pending = &queue;
  SoupSlabRelease release;
  release.queue = &queue;
  while (!queue.empty()) {
    TDBContainerTag* next = queue.back();
    queue.pop_back();
    const size_t before = queue.size();
    next->Destroy(release);  // its last children land in the queue
    // First children first: the tree then goes in the order it was made, which is the order of
    // its memory when a parse made it.
    std::reverse(queue.begin() + std::ptrdiff_t(before), queue.end());
  }
  pending = nullptr;
}

void TDBContainerTag::Destroy(SoupSlabRelease& release) {
  ReleaseEntries(release);
  // A slab's node goes without its destructor.
  DropNameIndex();
  if (!slabOffset_) {
    entries_ = nullptr;
    delete this;
    return;
  }
  // Made by SoupSlabMaker, so of this very class, whose destructor has nothing left to do.
  release.Add(this, slabOffset_, sizeof(TDBContainerTag));
}

MPRef<ACSChunk> TDBContainerTag::CreateTag(u32 kind, MPRef<ACSRawDataCore> block) {
  if (kind == kKindContainer) return MakeMP<TDBContainerTag>();
  return MakeMP<TDBDataTag>(kind, std::move(block));
}

// --- TDBDataTag ---

const u8* TDBDataTag::GetData() const { return block_ ? block_->GetData() : nullptr; }

u32 TDBDataTag::GetDataSize() const { return block_ ? block_->GetSize() : 0; }

void TDBDataTag::SetData(u32 kind, MPRef<ACSRawDataCore> block) {
  if (kind == kKindContainer) return;
  // The block made beside the node goes: the two are no longer freed in one step.
  if (slabKind_ == kSlabPiece) slabKind_ = kSlabValue;
  kind_ = kind;
  block_ = std::move(block);
}

void TDBDataTag::DestroyAlone(SoupSlabRelease& release) {
  ACSRawDataCore* block = block_.Detach();
  const u32 slab = slabOffset_;
  this->~TDBDataTag();
  release.Add(this, slab, sizeof(TDBDataTag));
  if (block == nullptr) return;
  if (block->GetReferenceCount() == 1 && block->slabOffset_ != 0) {
    const u32 blockSlab = block->slabOffset_;
    const size_t size = ACSRawDataCore::InlineOffset() +
                        (block->storage_ == ACSRawDataCore::kStorageInline ? block->size_ : 0);
    block->~ACSRawDataCore();
    release.Add(block, blockSlab, size);
  } else {
    block->ReleaseReference();
  }
}

void TDBDataTag::DeleteThis() {
  const u32 slab = slabOffset_;
  if (!slab) {
    delete this;
    return;
  }
  void* memory = this;
  this->~TDBDataTag();
  SoupSlabMaker::Release(memory, slab, sizeof(TDBDataTag));
}

// --- SoupSlabMaker ---

namespace {

// Slabs start small, so that a small tree takes little, and double up to the largest size.
constexpr size_t kFirstSlabSize = 1024;
constexpr size_t kSlabSize = 16 * 1024;
// Added to a slab's count while its maker may still make things in it.
constexpr u32 kSlabFilling = 0x40000000u;

}  // namespace

struct SoupSlabMaker::Slab {
  // Things made in the slab and not yet released, plus kSlabFilling until the maker retires it.
  std::atomic<u32> holders{kSlabFilling};
};

namespace {

// The first thing in a slab starts after its header, so no offset is 0.
constexpr size_t kSlabHeader = 16;

}  // namespace

SoupSlabMaker::SoupSlabMaker() : slabSize_(kFirstSlabSize) {}

void SoupSlabMaker::StartSlab(size_t size) {
  static_assert(sizeof(Slab) <= kSlabHeader);
  const size_t bytes = std::max(slabSize_, kSlabHeader + size);
  void* memory = std::malloc(bytes);
  if (!memory) throw std::bad_alloc();
  Retire();
  slabSize_ = std::min(2 * slabSize_, kSlabSize);
  slab_ = new (memory) Slab;
  next_ = static_cast<u8*>(memory) + kSlabHeader;
  end_ = static_cast<u8*>(memory) + bytes;
}

void SoupSlabMaker::Retire() {
  Slab* slab = std::exchange(slab_, nullptr);
  next_ = end_ = nullptr;
  const u32 made = std::exchange(made_, 0);
  if (!slab) return;
  // What remains is the count of things made here and still held.
  const u32 unused = kSlabFilling - made;
  if (slab->holders.fetch_sub(unused, std::memory_order_acq_rel) == unused) {
    slab->~Slab();
    std::free(slab);
  }
}

void SoupSlabMaker::Release(void* memory, u32 offset, size_t size) {
  Platform::PoisonMemory(memory, size);
  Slab* slab = reinterpret_cast<Slab*>(static_cast<u8*>(memory) - offset);
  if (slab->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    slab->~Slab();
    std::free(slab);
  }
}

void SoupSlabRelease::Flush() {
  SoupSlabMaker::Slab* slab = std::exchange(slab_, nullptr);
  const u32 count = std::exchange(count_, 0);
  if (slab && slab->holders.fetch_sub(count, std::memory_order_acq_rel) == count) {
    slab->~Slab();
    std::free(slab);
  }
}

MPRef<ACSChunk> SoupSlabMaker::MakeFilledValueElsewhere(u32 kind, u32 size, u8** bytes) {
  *bytes = nullptr;
  if (size == 0) return MakeValue(kind, nullptr);
  const size_t piece = PieceSize(size);
  if (piece > kSlabLargest) return MakeValue(kind, MakeBlock(size, bytes));
  // Too little room left in this slab: the piece starts the next, and is made there inline.
  StartSlab(piece);
  return MakeFilledValue(kind, size, bytes);
}

[[gnu::flatten]] MPRef<ACSRawDataCore> SoupSlabMaker::MakeBlock(u32 size, u8** bytes) {
  *bytes = nullptr;
  if (size == 0) return nullptr;
  u32 offset;
  void* memory = Allocate(ACSRawDataCore::InlineOffset() + size, &offset);
  if (!memory) return ACSRawDataCore::CreateFilled(size, bytes);
  u8* inlineBytes = static_cast<u8*>(memory) + ACSRawDataCore::InlineOffset();
  *bytes = inlineBytes;
  auto* block = new (memory) ACSRawDataCore(inlineBytes, size, ACSRawDataCore::kStorageInline);
  block->slabOffset_ = offset;
  return MPRef<ACSRawDataCore>::Adopt(block);
}
