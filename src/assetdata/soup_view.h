// A binary soup seen in place: the checked body stays one block of bytes, and view nodes find
// children by walking its chunks when asked. Changes are kept beside the body (children added to
// a region, stored children marked removed), so the bytes never change.
//
// Regions and stored children are identified by offsets from the start of the body. A region's
// key is the offset of its first chunk (0 for the root); a stored child's position is the offset
// of its payload. Views are made anew by every lookup, so two views are the same node when they
// show the same region of the same file.
//
// One thread at a time may use such a soup, even for reading: views cache what their walks learn.
#pragma once

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "assetdata/reference_count.h"
#include "assetdata/soup_binary.h"
#include "assetdata/soup_tree.h"
#include "qel/pstring.h"
#include "qel/types.h"

class TStream;

// The bytes of one read body. Value nodes keep it alive on their own, so that values copied out
// of a soup never hold the file's change list (which may hold them in turn).
class TDBBinaryBody final : public ReferenceCountMP {
 public:
  explicit TDBBinaryBody(u32 version) : version_(version) {}

  SoupBody& Bytes() { return bytes_; }
  const u8* Data() const { return bytes_.Data(); }
  u32 Size() const { return bytes_.Size(); }
  u32 GetVersion() const { return version_; }

 private:
  ~TDBBinaryBody() override = default;

  SoupBody bytes_;
  u32 version_;
};

// A counted file of soup content that reads itself from a stream and shows a root node.
class ACSFile : public ReferenceCountMP {
 public:
  virtual bool Read(TStream& in) = 0;
  // The null node when the file shows nothing.
  virtual void GetRoot(MPRef<ACSChunk>& root) = 0;

 protected:
  ~ACSFile() override = default;
};

class TDBBinarySoup;

class TDBBinaryFile final : public ACSFile {
 public:
  TDBBinaryFile() = default;

  // Reads a header and body (see ReadSoupBinary). Whatever was read or changed before is
  // discarded; views made before then show nothing.
  bool Read(TStream& in) override;
  // A new view of the whole body when a body is held and the version is 0 or 1.
  void GetRoot(MPRef<ACSChunk>& root) override;

  // 0xFFFFFFFF when nothing was read or the header ran short.
  u32 GetVersion() const { return body_ ? body_->GetVersion() : 0xFFFFFFFFu; }
  u32 GetBodySize() const { return body_ ? body_->Size() : 0; }
  // Set by the first change and never cleared.
  bool IsChanged() const { return changed_; }

 private:
  friend class TDBBinarySoup;

  // A child added to a region. A view of this same file is kept as its region alone: holding the
  // view would make the file hold itself.
  struct AddedChild {
    Qel::PString name;
    MPRef<ACSChunk> node;  // null for a region of this file
    u32 regionStart = 0;
    u32 regionLength = 0;
  };

  ~TDBBinaryFile() override = default;

  static u64 RemovedKey(u32 position, u32 regionKey) { return (u64(position) << 32) | regionKey; }
  bool IsRemoved(u32 position, u32 regionKey) const {
    return removed_.count(RemovedKey(position, regionKey)) != 0;
  }
  // Null when nothing was added to the region.
  const std::vector<AddedChild>* AddedTo(u32 regionKey) const;

  MPRef<TDBBinaryBody> body_;
  std::unordered_map<u32, std::vector<AddedChild>> added_;
  std::unordered_set<u64> removed_;
  // Counts removals: a view's cached count and walk position hold only for the value they saw.
  u64 generation_ = 0;
  bool changed_ = false;
};

// A container region of a file's body (kind 1).
class TDBBinarySoup final : public ACSChunk {
 public:
  TDBBinarySoup(MPRef<TDBBinaryFile> file, u32 start, u32 length);

  using ACSChunk::GetChild;
  MPRef<ACSChunk> GetChild(const Qel::PString& name) const override;
  MPRef<ACSChunk> GetChild(const Qel::PString& name) override;
  u32 CountChildren() const override;
  bool GetChildAt(u32 index, Qel::PString& name, MPRef<ACSChunk>& node) const override;
  // Stored children keep the order of the file.
  void SortChildren() override {}
  // Refused for a node already added here and for one that holds this region.
  void AddChild(const Qel::PString& name, MPRef<ACSChunk> node) override;
  // An added child, or a stored one of this region shown by a view of this same file.
  void RemoveChild(MPRef<ACSChunk> node) override;
  MPRef<ACSChunk> CreateTag(u32 kind, MPRef<ACSRawDataCore> block) override;
  u32 GetKind() const override { return kKindContainer; }

  // The node for one stored child of this region.
  MPRef<ACSChunk> MakeChild(const SoupChunk& chunk) const;

  // Both views show the same region of the same file.
  bool IsSameRegion(const ACSChunk* other) const;
  bool IsSameNode(const ACSChunk* other) const override { return IsSameRegion(other); }
  u32 GetRegionStart() const { return start_; }
  u32 GetRegionLength() const { return length_; }

 private:
  ~TDBBinarySoup() override = default;

  // False once the file was read again: the view then shows nothing.
  bool IsLive() const { return file_->body_ == body_; }
  bool IsVisible(const SoupChunk& chunk) const {
    return !file_->changed_ || !file_->IsRemoved(chunk.payloadOffset, start_);
  }
  // Drops what was cached for an older state of the file.
  void Refresh() const;
  u32 CountVisibleStored() const;
  bool FindByIndex(u32 index, SoupChunk& out) const;
  bool FindByPosition(u32 position, SoupChunk& out) const;
  MPRef<ACSChunk> NodeOf(const TDBBinaryFile::AddedChild& added) const;
  bool IsAddedHere(const TDBBinaryFile::AddedChild& added, const ACSChunk* node) const;
  // The node is this region, or a container below it shows this region.
  bool IsHeldBy(const ACSChunk* node) const;

  static constexpr u32 kUnknown = 0xFFFFFFFFu;

  MPRef<TDBBinaryFile> file_;
  MPRef<TDBBinaryBody> body_;
  u32 start_;
  u32 length_;
  // Valid while the file's generation equals cacheGeneration_.
  mutable u64 cacheGeneration_ = 0;
  mutable u32 visibleCount_ = kUnknown;
  // The walk position of the visible child with index cursorIndex_, so that children asked for
  // in order cost one step each.
  mutable u32 cursorIndex_ = 0;
  mutable u32 cursorPosition_;
};

// One stored value of a file's body, by position. Its bytes are those of the body, or a copy
// when the stored bytes cannot be used as they are.
class TDBDataChunk final : public ACSChunk {
 public:
  // The value is `size` bytes at `offset` in the body, or the copy when one is given.
  TDBDataChunk(MPRef<TDBBinaryBody> body, u32 offset, u32 size, MPRef<ACSRawDataCore> copy,
               u32 kind, u32 position);

  const u8* GetData() const override { return data_; }
  u32 GetDataSize() const override { return size_; }
  u32 GetKind() const override { return kind_; }
  // The same stored value of the same body.
  bool IsSameNode(const ACSChunk* other) const override;

  const TDBBinaryBody* GetBody() const { return body_.Get(); }
  // The offset of the chunk's payload in the body.
  u32 GetStoredPosition() const { return position_; }

 private:
  ~TDBDataChunk() override = default;

  MPRef<TDBBinaryBody> body_;
  MPRef<ACSRawDataCore> copy_;
  const u8* data_;
  u32 size_;
  u32 kind_;
  u32 position_;
};
