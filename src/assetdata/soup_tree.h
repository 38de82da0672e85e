// The soup tree: counted nodes holding either named children or one typed value.
//
// Values are never changed in place: setting a value replaces its block, so blocks and nodes may
// be shared freely between trees. Lookups never give a null pointer; a failed one gives the
// shared null node, whose kind is 0.
#pragma once

#include <memory>
#include <new>
#include <span>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "assetdata/reference_count.h"
#include "qel/pstring.h"
#include "qel/types.h"

// Value kinds a node reports.
enum SoupKind : u32 {
  kKindNull = 0,       // a tag that exists but has no value
  kKindContainer = 1,  // holds child tags
  kKindRaw = 2,        // any bytes
  kKindFloat = 3,      // little-endian 32-bit floats
  kKindText = 4,       // UTF-8 characters and one NUL
  kKindTextAlt = 5,    // stored as text, never converted
  kKindInt = 6,        // little-endian signed 32-bit integers
  kKindKUID = 7,       // the packed KUID pair
};

// Nesting below a root is refused beyond this many container levels, so that no reader, writer
// or copy can be driven into a stack overflow.
inline constexpr u32 kMaxSoupDepth = 1000;

class ACSChunk;
class SoupSlabMaker;
class SoupSlabRelease;

// One immutable value: owned bytes, or a view of bytes that `owner` keeps alive. A copy keeps its
// bytes in the block's own allocation.
class ACSRawDataCore final : public ReferenceCountMP {
 public:
  // Takes over a block from std::malloc; size 0 frees it and gives no block.
  static MPRef<ACSRawDataCore> CreateOwned(void* bytes, u32 size);
  static MPRef<ACSRawDataCore> CreateCopy(const void* source, u32 size);
  // A block of `size` uninitialised bytes that the caller fills through `bytes` before anybody
  // else sees the block; size 0 gives no block and a null `bytes`.
  static MPRef<ACSRawDataCore> CreateFilled(u32 size, u8** bytes);
  static MPRef<ACSRawDataCore> CreateView(const void* data, u32 size,
                                          MPRef<ReferenceCountMP> owner);
  // A view of the node's value bytes that keeps the node alive; no block when it has none.
  static MPRef<ACSRawDataCore> CreateChunkView(const ACSChunk* node);

  const u8* GetData() const { return data_; }
  u32 GetSize() const { return size_; }
  bool IsOwned() const { return storage_ != kStorageView; }

  void DeleteThis() override;

 private:
  friend class SoupSlabMaker;
  friend class TDBDataTag;

  enum : u8 { kStorageView, kStorageMalloc, kStorageInline };

  ACSRawDataCore(const u8* data, u32 size, u8 storage)
      : size_(size), data_(data), storage_(storage) {}
  ~ACSRawDataCore() override;

  // Every block is made in memory from operator new, with `extra` bytes after the object.
  static void* Allocate(size_t extra);
  // Where inline bytes start, or a view's owner: 8-byte aligned, enough for any value read in
  // place.
  static constexpr size_t InlineOffset() { return (sizeof(ACSRawDataCore) + 7) & ~size_t(7); }
  // The handle that keeps a view's bytes alive, after the object: most blocks have none.
  MPRef<ReferenceCountMP>& Owner() {
    return *reinterpret_cast<MPRef<ReferenceCountMP>*>(reinterpret_cast<u8*>(this) +
                                                       InlineOffset());
  }

  // Ordered so that the block takes 32 bytes, the size first in the base's padding.
  u32 size_;
  const u8* data_;
  // Where the block lies in its slab (see SoupSlabMaker); 0 when it has an allocation of its own.
  u32 slabOffset_ = 0;
  u8 storage_;
};

using ACSData = MPRef<ACSRawDataCore>;

// The node. The base class is the null node: no children, no value, kind 0.
class ACSChunk : public ReferenceCountMP {
 public:
  ACSChunk() = default;

  virtual MPRef<ACSChunk> GetChild(const Qel::PString& name) const;
  // The lookup a caller makes before changing the tree.
  virtual MPRef<ACSChunk> GetChild(const Qel::PString& name);
  virtual u32 CountChildren() const;
  // False, the empty name and the null node when there is no such child.
  virtual bool GetChildAt(u32 index, Qel::PString& name, MPRef<ACSChunk>& node) const;
  virtual void SortChildren();
  virtual void SwapChildValues(MPRef<ACSChunk> a, MPRef<ACSChunk> b);
  virtual void AddChild(const Qel::PString& name, MPRef<ACSChunk> node);
  virtual void RemoveChild(MPRef<ACSChunk> node);
  // A new node of the kind, made the way this node makes its children.
  virtual MPRef<ACSChunk> CreateTag(u32 kind, MPRef<ACSRawDataCore> block);
  virtual const u8* GetData() const;
  virtual u32 GetDataSize() const;
  virtual u32 GetKind() const;
  virtual void SetData(u32 kind, MPRef<ACSRawDataCore> block);
  // True when both show the same node. Nodes that stand for stored data may be made anew for
  // every lookup, so a pointer comparison alone can miss them.
  virtual bool IsSameNode(const ACSChunk* other) const { return other == this; }

  // A new reference to the process-wide null node.
  static MPRef<ACSChunk> GetNullChunk();
  static bool IsNullChunk(const ACSChunk* node);
  // Neither a null pointer nor the null node, and of a kind other than 0.
  static bool IsPresent(const ACSChunk* node);
  // True when `target` is `from` itself or a node somewhere below it (as IsSameNode sees it):
  // adding `from` under `target` would then make a node its own descendant.
  static bool Reaches(const ACSChunk* from, const ACSChunk* target);

  // Deep copy of source into this node: values share the source's bytes, children are new
  // nodes. Containers nested deeper than kMaxSoupDepth below this node are left out; false then.
  bool CopyFrom(const ACSChunk* source);

 protected:
  ~ACSChunk() override = default;

 private:
  friend class SoupSlabMaker;
  friend class TDBContainerTag;
  friend class TDBDataTag;

  bool CopyFrom(const ACSChunk* source, u32 depth);

  // What SoupSlabMaker made the node as: a tree's free that holds it alone destroys it, or queues
  // it, at once, with no call through the node's table. In the base's padding, so no node grows.
  enum : u8 {
    kNotSlabMade,
    kSlabValue,
    // Made in one piece with its block, which it still has: node and block go in one step.
    kSlabPiece,
    kSlabContainer,
  };
  u8 slabKind_ = kNotSlabMade;
};

using ACSNode = MPRef<ACSChunk>;

// An in-memory container: named children in insertion order; names may repeat. The children
// lie in one array, so that indexing is direct and a container made by a parse takes no
// allocation of its own for them.
class TDBContainerTag : public ACSChunk {
 public:
  struct Entry {
    Qel::PString name;
    MPRef<ACSChunk> node;
  };

  TDBContainerTag() = default;

  using ACSChunk::GetChild;
  MPRef<ACSChunk> GetChild(const Qel::PString& name) const override;
  MPRef<ACSChunk> GetChild(const Qel::PString& name) override;
  u32 CountChildren() const override;
  bool GetChildAt(u32 index, Qel::PString& name, MPRef<ACSChunk>& node) const override;
  // By name bytes taken as unsigned values; not stable.
  void SortChildren() override;
  void SwapChildValues(MPRef<ACSChunk> a, MPRef<ACSChunk> b) override;
  // Appends; a null node, or one that this node is already part of, is refused.
  void AddChild(const Qel::PString& name, MPRef<ACSChunk> node) override;
  void RemoveChild(MPRef<ACSChunk> node) override;
  MPRef<ACSChunk> CreateTag(u32 kind, MPRef<ACSRawDataCore> block) override;
  u32 GetKind() const override { return kKindContainer; }
  // Destroys nested containers one after another rather than recursively, so that a deep tree
  // cannot exhaust the stack when its root goes.
  void DeleteThis() override;

  // Direct, read-only access for fast walks over in-memory trees.
  std::span<const Entry> GetEntries() const { return {entries_, count_}; }

 protected:
  ~TDBContainerTag() override;

 private:
  friend class SoupSlabMaker;

  const Entry* FindByName(const Qel::PString& name) const;
  // A removal or a sort moves entries: the index is built again when next asked.
  void DropNameIndex() { nameIndex_.reset(); }
  // Destroys the node and gives back its memory, wherever that came from.
  void Destroy(SoupSlabRelease& release);
  // Destroys the entries and gives back their array, leaving the fields as they were: the
  // caller empties or replaces them.
  void ReleaseEntries(SoupSlabRelease& release) const;

  Entry* entries_ = nullptr;
  u32 count_ = 0;
  u32 capacity_ = 0;
  u32 slabOffset_ = 0;
  // Where the array lies in its slab; 0 when it has an allocation of its own.
  u32 entriesSlabOffset_ = 0;
  // Past kIndexedCount entries, the index of the first entry of each name: a soup written one
  // value at a time asks for each name before it adds it, and a walk of thousands of entries for
  // each would make the writing grow with the square of the values. Built on the first search.
  static constexpr u32 kIndexedCount = 32;
  mutable std::unique_ptr<std::unordered_map<Qel::PString, u32>> nameIndex_;
};

// Calls visit(name, node) for each child of the node in order: straight over an in-memory
// container's entries (indexing one walks its blocks), else by index. The in-memory container is
// told by its type alone: a cast's search of the class tree costs more than the walk of a small
// container, and loads walk many.
template <class Visit>
void ForEachChild(const ACSChunk* node, Visit&& visit) {
  if (typeid(*node) == typeid(TDBContainerTag)) {
    const auto* memory = static_cast<const TDBContainerTag*>(node);
    for (const TDBContainerTag::Entry& entry : memory->GetEntries()) visit(entry.name, entry.node);
    return;
  }
  const u32 count = node->CountChildren();
  for (u32 i = 0; i < count; ++i) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (!node->GetChildAt(i, name, child)) break;
    visit(name, child);
  }
}

// An in-memory value of any kind but the container.
class TDBDataTag final : public ACSChunk {
 public:
  TDBDataTag(u32 kind, MPRef<ACSRawDataCore> block)
      : block_(std::move(block)), kind_(kind == kKindContainer ? kKindNull : kind) {}

  const u8* GetData() const override;
  u32 GetDataSize() const override;
  u32 GetKind() const override { return kind_; }
  // Kind 1 is refused: a value node cannot become a container.
  void SetData(u32 kind, MPRef<ACSRawDataCore> block) override;

  const MPRef<ACSRawDataCore>& GetBlock() const { return block_; }

  void DeleteThis() override;

 private:
  friend class SoupSlabMaker;
  friend class TDBContainerTag;

  ~TDBDataTag() override = default;
  // For a node made in a slab that its caller holds alone: destroys it, with its block if nobody
  // else holds that either, counting their memory into `release`.
  void DestroyAlone(SoupSlabRelease& release);

  MPRef<ACSRawDataCore> block_;
  u32 kind_;
  u32 slabOffset_ = 0;
};

// Makes the many nodes and values of one producer, such as a parse, in shared slabs of memory
// rather than in one heap allocation each, which is most of the cost of making and freeing a
// large tree. A slab is freed when the last thing made in it is released, so what is made here
// may outlive the maker and be shared like any other node; a part kept alone keeps its slab
// alone. One thread at a time may use a maker.
class SoupSlabMaker {
 public:
  SoupSlabMaker();
  ~SoupSlabMaker() { Retire(); }
  SoupSlabMaker(const SoupSlabMaker&) = delete;
  SoupSlabMaker& operator=(const SoupSlabMaker&) = delete;

  // The makers are inline for the common case, room in the current slab: a parse makes two or
  // three things for every tag.
  MPRef<ACSChunk> MakeContainer() {
    u32 offset;
    auto* node = new (Allocate(sizeof(TDBContainerTag), &offset)) TDBContainerTag();
    node->slabOffset_ = offset;
    node->slabKind_ = ACSChunk::kSlabContainer;
    return MPRef<ACSChunk>::Adopt(node);
  }
  // Gives a container from MakeContainer that has no children yet an array of `count` children
  // and returns it; the caller constructs every entry in it, with nothing that can throw in
  // between, before anybody else sees the container. Null for 0.
  TDBContainerTag::Entry* MakeEntries(ACSChunk* container, u32 count) {
    using Entry = TDBContainerTag::Entry;
    if (count == 0) return nullptr;
    u32 offset = 0;
    void* memory = Allocate(sizeof(Entry) * count, &offset);
    if (!memory) memory = ::operator new(sizeof(Entry) * count);
    auto* node = static_cast<TDBContainerTag*>(container);
    auto* array = static_cast<Entry*>(memory);
    node->entries_ = array;
    node->count_ = count;
    node->capacity_ = count;
    node->entriesSlabOffset_ = offset;
    return array;
  }
  MPRef<ACSChunk> MakeValue(u32 kind, MPRef<ACSRawDataCore> block) {
    u32 offset;
    auto* node = new (Allocate(sizeof(TDBDataTag), &offset)) TDBDataTag(kind, std::move(block));
    node->slabOffset_ = offset;
    node->slabKind_ = ACSChunk::kSlabValue;
    return MPRef<ACSChunk>::Adopt(node);
  }
  // A value node of the kind with a block of `size` uninitialised bytes, which the caller fills
  // through `bytes` as in MakeBlock. The node and its block lie side by side in one piece of a
  // slab, so a parse makes them in one step and a free finds the block beside the node. Size 0
  // gives a node without a block and a null `bytes`.
  MPRef<ACSChunk> MakeFilledValue(u32 kind, u32 size, u8** bytes) {
    const size_t piece = PieceSize(size);
    if (size == 0 || piece > kSlabLargest || size_t(end_ - next_) < piece) {
      return MakeFilledValueElsewhere(kind, size, bytes);
    }
    u8* at = next_;
    const u32 offset = u32(at - reinterpret_cast<u8*>(slab_));
    next_ += piece;
    // Two things made in the piece, each released on its own.
    made_ += 2;
    u8* blockAt = at + kPieceNodeSize;
    u8* inlineBytes = blockAt + ACSRawDataCore::InlineOffset();
    auto* block = new (blockAt) ACSRawDataCore(inlineBytes, size, ACSRawDataCore::kStorageInline);
    block->slabOffset_ = offset + u32(kPieceNodeSize);
    auto* node = new (at) TDBDataTag(kind, MPRef<ACSRawDataCore>::Adopt(block));
    node->slabOffset_ = offset;
    node->slabKind_ = ACSChunk::kSlabPiece;
    *bytes = inlineBytes;
    return MPRef<ACSChunk>::Adopt(node);
  }
  // As ACSRawDataCore::CreateFilled.
  MPRef<ACSRawDataCore> MakeBlock(u32 size, u8** bytes);

 private:
  friend class ACSRawDataCore;
  friend class TDBContainerTag;
  friend class TDBDataTag;
  friend class SoupSlabRelease;

  struct Slab;

  // Larger things get allocations of their own, so that little of a slab goes unused.
  static constexpr size_t kSlabLargest = 1024;
  // A value node's room in front of its block in a piece.
  static constexpr size_t kPieceNodeSize = (sizeof(TDBDataTag) + 7) & ~size_t(7);

  static constexpr size_t Rounded(size_t size) { return (size + 7) & ~size_t(7); }
  // The room of a value node made in one piece with a block of `size` bytes.
  static constexpr size_t PieceSize(u32 size) {
    return Rounded(kPieceNodeSize + ACSRawDataCore::InlineOffset() + size);
  }

  // Room for `size` bytes and their offset in the current slab; nullptr when too large for one.
  void* Allocate(size_t size, u32* offset) {
    size = Rounded(size);
    if (size > kSlabLargest) return nullptr;
    if (size_t(end_ - next_) < size) StartSlab(size);
    void* at = next_;
    *offset = u32(next_ - reinterpret_cast<u8*>(slab_));
    next_ += size;
    ++made_;
    return at;
  }
  // Retires the current slab for a new one with room for `size` bytes.
  void StartSlab(size_t size);
  // MakeFilledValue when the piece does not fit in the current slab, is too large for one, or
  // has no bytes.
  MPRef<ACSChunk> MakeFilledValueElsewhere(u32 kind, u32 size, u8** bytes);
  // Lets go of the current slab, which goes as soon as nothing made in it is held.
  void Retire();
  // Gives back the `size` bytes of a destroyed thing made at `offset` in its slab.
  static void Release(void* memory, u32 offset, size_t size);

  Slab* slab_ = nullptr;
  u8* next_ = nullptr;
  u8* end_ = nullptr;
  u32 made_ = 0;
  // The size of the next slab.
  size_t slabSize_;
};
