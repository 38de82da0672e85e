#include "assetdata/soup_view.h"

#include <set>
#include <string_view>
#include <utility>

#include "assetdata/soup.h"
#include "core/stream.h"

// --- TDBBinaryFile ---

bool TDBBinaryFile::Read(TStream& in) {
  added_.clear();
  removed_.clear();
  ++generation_;
  u32 version = 0xFFFFFFFFu;
  SoupBody bytes;
  const bool result = ReadSoupBinary(in, version, bytes);
  body_ = MakeMP<TDBBinaryBody>(version);
  body_->Bytes() = std::move(bytes);
  return result;
}

void TDBBinaryFile::GetRoot(MPRef<ACSChunk>& root) {
  // Only ReadSoupBinary fills a body, and it keeps none that failed the body check: every view
  // walks checked bytes.
  if (!body_ || body_->Size() == 0 || body_->GetVersion() > 1) {
    root = ACSChunk::GetNullChunk();
    return;
  }
  root = MakeMP<TDBBinarySoup>(MPRef<TDBBinaryFile>(this), 0, body_->Size());
}

const std::vector<TDBBinaryFile::AddedChild>* TDBBinaryFile::AddedTo(u32 regionKey) const {
  if (added_.empty()) return nullptr;
  const auto it = added_.find(regionKey);
  return it == added_.end() || it->second.empty() ? nullptr : &it->second;
}

bool Soup::ReadBinary(Soup& target, TStream& in) {
  MPRef<TDBBinaryFile> file = MakeMP<TDBBinaryFile>();
  const bool result = file->Read(in);
  MPRef<ACSChunk> root;
  file->GetRoot(root);
  if (!result || !root || root->GetKind() == kKindNull) root = nullptr;
  // The root view holds the file from here on.
  target.SetRoot(std::move(root));
  return result;
}

// --- TDBDataChunk ---

TDBDataChunk::TDBDataChunk(MPRef<TDBBinaryBody> body, u32 offset, u32 size,
                           MPRef<ACSRawDataCore> copy, u32 kind, u32 position)
    : body_(std::move(body)), copy_(std::move(copy)), kind_(kind), position_(position) {
  if (copy_) {
    data_ = copy_->GetData();
    size_ = copy_->GetSize();
  } else {
    data_ = size ? body_->Data() + offset : nullptr;
    size_ = size;
  }
}

bool TDBDataChunk::IsSameNode(const ACSChunk* other) const {
  if (other == this) return true;
  const auto* value = dynamic_cast<const TDBDataChunk*>(other);
  return value && value->body_ == body_ && value->position_ == position_;
}

// --- TDBBinarySoup ---

TDBBinarySoup::TDBBinarySoup(MPRef<TDBBinaryFile> file, u32 start, u32 length)
    : file_(std::move(file)), start_(start), length_(length), cursorPosition_(start) {
  body_ = file_->body_;
  cacheGeneration_ = file_->generation_;
}

bool TDBBinarySoup::IsSameRegion(const ACSChunk* other) const {
  if (other == this) return true;
  const auto* view = dynamic_cast<const TDBBinarySoup*>(other);
  return view && view->file_ == file_ && view->body_ == body_ && view->start_ == start_;
}

void TDBBinarySoup::Refresh() const {
  if (cacheGeneration_ == file_->generation_) return;
  cacheGeneration_ = file_->generation_;
  visibleCount_ = kUnknown;
  cursorIndex_ = 0;
  cursorPosition_ = start_;
}

u32 TDBBinarySoup::CountVisibleStored() const {
  if (!IsLive()) return 0;
  Refresh();
  if (visibleCount_ == kUnknown) {
    u32 count = 0;
    SoupChunkWalker walker(body_->Data(), start_, length_);
    SoupChunk chunk;
    while (walker.Next(chunk)) count += IsVisible(chunk) ? 1 : 0;
    visibleCount_ = count;
  }
  return visibleCount_;
}

bool TDBBinarySoup::FindByIndex(u32 index, SoupChunk& out) const {
  if (!IsLive()) return false;
  Refresh();
  if (visibleCount_ != kUnknown && index >= visibleCount_) return false;
  if (index < cursorIndex_) {
    cursorIndex_ = 0;
    cursorPosition_ = start_;
  }
  const u32 end = start_ + length_;
  SoupChunkWalker walker(body_->Data(), cursorPosition_, end - cursorPosition_);
  SoupChunk chunk;
  u32 visible = cursorIndex_;
  while (walker.Next(chunk)) {
    if (!IsVisible(chunk)) continue;
    if (visible == index) {
      out = chunk;
      cursorIndex_ = index + 1;
      cursorPosition_ = chunk.payloadOffset + chunk.payloadSize;
      return true;
    }
    ++visible;
  }
  visibleCount_ = visible;
  cursorIndex_ = 0;
  cursorPosition_ = start_;
  return false;
}

bool TDBBinarySoup::FindByPosition(u32 position, SoupChunk& out) const {
  if (!IsLive() || position <= start_ || position > start_ + length_) return false;
  SoupChunkWalker walker(body_->Data(), start_, length_);
  SoupChunk chunk;
  while (walker.Next(chunk)) {
    if (chunk.payloadOffset > position) return false;
    if (chunk.payloadOffset == position) {
      if (!IsVisible(chunk)) return false;
      out = chunk;
      return true;
    }
  }
  return false;
}

MPRef<ACSChunk> TDBBinarySoup::NodeOf(const TDBBinaryFile::AddedChild& added) const {
  if (added.node) return added.node;
  return MakeMP<TDBBinarySoup>(file_, added.regionStart, added.regionLength);
}

bool TDBBinarySoup::IsAddedHere(const TDBBinaryFile::AddedChild& added,
                                const ACSChunk* node) const {
  if (added.node) return added.node.Get() == node;
  const auto* view = dynamic_cast<const TDBBinarySoup*>(node);
  return view && view->file_ == file_ && view->body_ == body_ && view->start_ == added.regionStart;
}

MPRef<ACSChunk> TDBBinarySoup::MakeChild(const SoupChunk& chunk) const {
  u32 kind = kKindNull;
  u32 offset = chunk.payloadOffset;
  u32 size = 0;
  MPRef<ACSRawDataCore> copy;
  switch (chunk.type) {
    case kChunkContainer:
      return MakeMP<TDBBinarySoup>(file_, chunk.payloadOffset, chunk.payloadSize);
    case kChunkInt:
    case kChunkFloat:
    case kChunkRaw:
    case kChunkKUID:
      kind = SoupKindForChunkType(chunk.type);
      size = chunk.payloadSize;
      break;
    case kChunkAlignedRaw:
      // The value starts after its padding, but the child keeps its payload's position, which
      // is what a removal searches for.
      kind = kKindRaw;
      SoupAlignedPayload(chunk.payloadOffset, chunk.payloadSize, offset, size);
      break;
    case kChunkText: {
      kind = kKindText;
      size = chunk.payloadSize;
      const u8* payload = body_->Data() + offset;
      // A copied text is still a stored child, so that it can be removed like any other.
      if (SoupTextNeedsCopy(payload, size, body_->GetVersion())) {
        copy = CopySoupText(payload, size, body_->GetVersion());
        size = 0;
      }
      break;
    }
    default:
      break;
  }
  // Numbers are read aligned; the body itself starts on a 16-byte boundary.
  const bool numeric = kind == kKindFloat || kind == kKindInt || kind == kKindKUID;
  if (numeric && size && offset % 4 != 0) {
    copy = ACSRawDataCore::CreateCopy(body_->Data() + offset, size);
  }
  return MakeMP<TDBDataChunk>(body_, offset, size, std::move(copy), kind, chunk.payloadOffset);
}

MPRef<ACSChunk> TDBBinarySoup::GetChild(const Qel::PString& name) const {
  return const_cast<TDBBinarySoup*>(this)->GetChild(name);
}

MPRef<ACSChunk> TDBBinarySoup::GetChild(const Qel::PString& name) {
  if (!IsLive()) return GetNullChunk();
  // The empty name is searched too: the writer stores it as a lone NUL.
  const std::string_view wanted = name.View();
  SoupChunkWalker walker(body_->Data(), start_, length_);
  SoupChunk chunk;
  while (walker.Next(chunk)) {
    if (chunk.name == wanted && IsVisible(chunk)) return MakeChild(chunk);
  }
  if (const auto* added = file_->AddedTo(start_)) {
    for (const TDBBinaryFile::AddedChild& a : *added) {
      if (a.name == name) return NodeOf(a);
    }
  }
  return GetNullChunk();
}

u32 TDBBinarySoup::CountChildren() const {
  if (!IsLive()) return 0;
  const auto* added = file_->AddedTo(start_);
  return CountVisibleStored() + (added ? u32(added->size()) : 0);
}

bool TDBBinarySoup::GetChildAt(u32 index, Qel::PString& name, MPRef<ACSChunk>& node) const {
  SoupChunk chunk;
  if (FindByIndex(index, chunk)) {
    name = chunk.name.empty() ? Qel::PString() : Qel::PString(chunk.name);
    node = MakeChild(chunk);
    return true;
  }
  // Added children follow every stored one.
  const auto* added = IsLive() ? file_->AddedTo(start_) : nullptr;
  const u32 stored = added ? CountVisibleStored() : 0;
  if (added && index >= stored && index - stored < added->size()) {
    name = (*added)[index - stored].name;
    node = NodeOf((*added)[index - stored]);
    return true;
  }
  return ACSChunk::GetChildAt(index, name, node);
}

bool TDBBinarySoup::IsHeldBy(const ACSChunk* node) const {
  if (IsSameRegion(node)) return true;
  if (!node || node->GetKind() != kKindContainer) return false;
  // Shared subtrees are walked once: a tree that shares its parts may have far more paths than
  // nodes.
  std::unordered_set<const ACSChunk*> seenNodes;
  std::set<std::pair<const TDBBinaryFile*, u32>> seenRegions;
  std::vector<MPRef<ACSChunk>> pending;
  const auto push = [&](const MPRef<ACSChunk>& child) -> bool {
    if (IsSameRegion(child.Get())) return true;
    if (child->GetKind() != kKindContainer) return false;
    const auto* view = dynamic_cast<const TDBBinarySoup*>(child.Get());
    const bool fresh = view ? seenRegions.emplace(view->file_.Get(), view->start_).second
                            : seenNodes.insert(child.Get()).second;
    if (fresh) pending.push_back(child);
    return false;
  };
  pending.emplace_back(const_cast<ACSChunk*>(node));
  while (!pending.empty()) {
    MPRef<ACSChunk> at = std::move(pending.back());
    pending.pop_back();
    if (const auto* memory = dynamic_cast<const TDBContainerTag*>(at.Get())) {
      for (const TDBContainerTag::Entry& e : memory->GetEntries()) {
        if (push(e.node)) return true;
      }
      continue;
    }
    const u32 count = at->CountChildren();
    for (u32 i = 0; i < count; ++i) {
      Qel::PString childName;
      MPRef<ACSChunk> child;
      if (!at->GetChildAt(i, childName, child)) break;
      if (push(child)) return true;
    }
  }
  return false;
}

void TDBBinarySoup::AddChild(const Qel::PString& name, MPRef<ACSChunk> node) {
  if (!node || !IsLive()) return;
  if (const auto* added = file_->AddedTo(start_)) {
    for (const TDBBinaryFile::AddedChild& a : *added) {
      if (IsAddedHere(a, node.Get())) return;
    }
  }
  // A node that holds this region would make the soup its own descendant.
  if (IsHeldBy(node.Get())) return;
  TDBBinaryFile::AddedChild entry;
  entry.name = name;
  const auto* view = dynamic_cast<const TDBBinarySoup*>(node.Get());
  if (view && view->file_ == file_ && view->body_ == body_) {
    entry.regionStart = view->start_;
    entry.regionLength = view->length_;
  } else {
    entry.node = std::move(node);
  }
  file_->added_[start_].push_back(std::move(entry));
  file_->changed_ = true;
}

void TDBBinarySoup::RemoveChild(MPRef<ACSChunk> node) {
  if (!node || IsNullChunk(node.Get()) || !IsLive()) return;
  const auto it = file_->added_.find(start_);
  if (it != file_->added_.end()) {
    std::vector<TDBBinaryFile::AddedChild>& added = it->second;
    for (size_t i = 0; i < added.size(); ++i) {
      if (IsAddedHere(added[i], node.Get())) {
        // Moved out first: releasing the node may release views that look at this list.
        const TDBBinaryFile::AddedChild gone = std::move(added[i]);
        added.erase(added.begin() + i);
        return;
      }
    }
  }
  // A stored child is matched by its file and its position, never by position alone: another
  // file's views use the same offsets.
  u32 position = 0;
  if (const auto* view = dynamic_cast<const TDBBinarySoup*>(node.Get())) {
    if (view->file_ != file_ || view->body_ != body_) return;
    position = view->start_;
  } else if (const auto* value = dynamic_cast<const TDBDataChunk*>(node.Get())) {
    if (value->GetBody() != body_.Get()) return;
    position = value->GetStoredPosition();
  } else {
    return;
  }
  SoupChunk chunk;
  if (!FindByPosition(position, chunk)) return;
  file_->removed_.insert(TDBBinaryFile::RemovedKey(chunk.payloadOffset, start_));
  file_->changed_ = true;
  ++file_->generation_;
}

MPRef<ACSChunk> TDBBinarySoup::CreateTag(u32 kind, MPRef<ACSRawDataCore> block) {
  if (kind == kKindContainer) return MakeMP<TDBContainerTag>();
  return MakeMP<TDBDataTag>(kind, std::move(block));
}
