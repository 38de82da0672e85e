#include "scripthost/world_list.h"

#include <algorithm>
#include <cmath>

#include "core/log_printf.h"
#include "core/stream.h"
#include "core/sub_file_stream.h"
#include "platform/saturating_cast.h"

namespace {

std::vector<WorldItemFactory*>*& Factories() {
  static std::vector<WorldItemFactory*>* factories = nullptr;
  return factories;
}

WorldList::RecordContext& Record() {
  static WorldList::RecordContext record;
  return record;
}

// Publishes a record's KUID and the list's value while its body is read or written.
class RecordScope {
 public:
  RecordScope(const KUID& kuid, u32 listValue) : saved_(Record()) {
    Record() = {kuid, listValue, true};
  }
  ~RecordScope() { Record() = saved_; }
  RecordScope(const RecordScope&) = delete;
  RecordScope& operator=(const RecordScope&) = delete;

 private:
  WorldList::RecordContext saved_;
};

void NormaliseAxis(f32& v, i16& index) {
  const f64 value = v;
  f64 whole = std::trunc(value / WorldCoordinate::kBaseboardSize + 0.0001);
  if (value < 0) whole -= 1;
  const i16 n = Platform::SaturatingCast<i16>(whole);
  index = Platform::SaturatingCast<i16>(f64(index) + f64(n));
  v = f32(value - f64(n) * WorldCoordinate::kBaseboardSize);
}

// The end of a length-prefixed span that starts at `start`; false when it wraps or runs past
// `limit`.
bool SpanEnd(u32 start, u32 length, u32 limit, u32* end) {
  if (length > limit || start > limit - length) return false;
  *end = start + length;
  return true;
}

}  // namespace

void WorldCoordinate::Normalise(WorldCoordinate& coordinate) {
  NormaliseAxis(coordinate.x, coordinate.baseboardX);
  NormaliseAxis(coordinate.y, coordinate.baseboardY);
  coordinate.normalised = 1;
}

WorldListItem::~WorldListItem() {
  if (list_ != nullptr) list_->Remove(this);
}

WorldList::~WorldList() { Clear(); }

const WorldList::RecordContext& WorldList::CurrentRecord() { return Record(); }

WorldListItem* WorldList::At(u32 index) const {
  if (index >= count_) return nullptr;
  const std::unique_ptr<WorldListItem*[]>& page = pages_[index / kPageSize];
  return page ? page[index % kPageSize] : nullptr;
}

u32 WorldList::NextUsed(u32 index) const {
  while (index < count_) {
    if (!pages_[index / kPageSize]) {
      index = (index / kPageSize + 1) * kPageSize;
    } else if (At(index) != nullptr) {
      return index;
    } else {
      ++index;
    }
  }
  return count_;
}

void WorldList::GrowTo(u32 count) {
  count_ = count;
  if (pages_.size() * kPageSize < count_) pages_.resize((count_ + kPageSize - 1) / kPageSize);
}

void WorldList::SetSlot(u32 index, WorldListItem* item) {
  if (index >= count_) {
    if (item == nullptr) return;
    GrowTo(index + 1);
  }
  std::unique_ptr<WorldListItem*[]>& page = pages_[index / kPageSize];
  if (!page) {
    if (item == nullptr) return;
    page = std::make_unique<WorldListItem*[]>(kPageSize);
  }
  page[index % kPageSize] = item;
}

i32 WorldList::Add(WorldListItem* item) {
  if (item->list_ != nullptr) return -1;
  u32 slot = evenCursor_;
  while (slot < count_ && At(slot) != nullptr) slot += 2;
  if (slot >= count_) {
    // The list grows by two empty slots and the first of them is used.
    slot = count_;
    GrowTo(count_ + 2);
  }
  evenCursor_ = slot + 2;
  EnterAt(slot, item);
  return i32(slot);
}

void WorldList::EnterAt(u32 index, WorldListItem* item) {
  SetSlot(index, item);
  item->list_ = this;
  item->index_ = i32(index);
  item->OnAdded();
  IndexInsert(item);
}

void WorldList::Remove(WorldListItem* item) {
  if (item->list_ != this) return;
  IndexRemove(item);
  item->OnRemoved();
  const u32 index = u32(item->index_);
  SetSlot(index, nullptr);
  item->list_ = nullptr;
  item->index_ = -1;
  if (index % 2 == 0 && index < evenCursor_) evenCursor_ = index;
  if (index % 2 == 1 && index < oddCursor_) oddCursor_ = index;
}

void WorldList::DestroyItems(u32 mask, u32 wanted) {
  if (spatial_ && mask == 0) spatial_->clear();
  for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
    WorldListItem* item = At(i);
    if (item == nullptr || !Matches(item, mask, wanted)) continue;
    IndexRemove(item);
    delete item;
  }
}

void WorldList::Clear() {
  if (spatial_) spatial_->clear();
  // An item's destructor may end others; each is taken from its slot before it goes.
  for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
    WorldListItem* item = At(i);
    if (item == nullptr) continue;
    SetSlot(i, nullptr);
    item->list_ = nullptr;
    item->index_ = -1;
    delete item;
  }
  pages_.clear();
  count_ = 0;
  evenCursor_ = 0;
  oddCursor_ = 1;
}

void WorldList::EnableSpatialIndex() {
  if (!spatial_) spatial_ = std::make_unique<std::map<u32, std::set<WorldListItem*>>>();
}

std::vector<WorldListItem*> WorldList::ItemsOn(i16 baseboardX, i16 baseboardY) const {
  if (!spatial_) return {};
  const auto found = spatial_->find(BaseboardKey(baseboardX, baseboardY));
  if (found == spatial_->end()) return {};
  return {found->second.begin(), found->second.end()};
}

void WorldList::IndexInsert(WorldListItem* item) {
  if (!spatial_) return;
  WorldBounds bounds;
  item->GetBounds(bounds);
  WorldCoordinate low{bounds.baseboardX, bounds.baseboardY, bounds.minX, bounds.minY, bounds.minZ,
                      0};
  WorldCoordinate high{bounds.baseboardX, bounds.baseboardY, bounds.maxX, bounds.maxY, bounds.maxZ,
                       0};
  WorldCoordinate::Normalise(low);
  WorldCoordinate::Normalise(high);
  for (i32 y = low.baseboardY; y <= high.baseboardY; ++y) {
    for (i32 x = low.baseboardX; x <= high.baseboardX; ++x) {
      (*spatial_)[BaseboardKey(i16(x), i16(y))].insert(item);
    }
  }
}

void WorldList::IndexRemove(WorldListItem* item) {
  if (!spatial_) return;
  for (auto it = spatial_->begin(); it != spatial_->end();) {
    it->second.erase(item);
    it = it->second.empty() ? spatial_->erase(it) : std::next(it);
  }
}

void WorldList::Notify() {
  // An item may end others while it is told: each slot is read when its turn comes.
  for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
    if (WorldListItem* item = At(i)) item->Notify();
  }
}

void WorldList::NotifyFlagged(u32 argument, u32 flags) {
  const u32 m = flags | 1;
  for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
    WorldListItem* item = At(i);
    if (item != nullptr && (item->GetFlags() & m) == m) item->NotifyFlagged(argument, m);
  }
}

void WorldList::SaveDataBlock(TStream& stream) {
  const u32 block = stream.BeginBlock();
  stream.WriteU32(kBlockMagic);
  stream.WriteU32(1);
  for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
    WorldListItem* item = At(i);
    if (item == nullptr || item->GetTypeId() != kDataBlockTypeId) continue;
    stream.WriteU32(i);
    const u32 length = stream.BeginBlock();
    item->SaveDataBlock(stream);
    stream.EndBlock(length);
  }
  stream.WriteU32(kEndMarker);
  stream.EndBlock(block);
}

void WorldList::LoadDataBlock(TStream& stream) {
  u32 blockLength = 0;
  stream.ReadU32(blockLength);
  const u32 start = stream.Tell();
  u32 blockEnd = start;
  if (!SpanEnd(start, blockLength, stream.GetLength(), &blockEnd)) blockEnd = stream.GetLength();
  u32 magic = 0;
  u32 version = 0;
  stream.ReadU32(magic);
  stream.ReadU32(version);
  u32 previousLength = blockLength;
  while (magic == kBlockMagic && version <= 1 && previousLength != kBlockMagic) {
    u32 index = kEndMarker;
    stream.ReadU32(index, kEndMarker);
    if (index == kEndMarker || index >= count_) break;
    u32 length = 0;
    stream.ReadU32(length);
    u32 entryEnd = 0;
    if (!SpanEnd(stream.Tell(), length, blockEnd, &entryEnd)) break;
    previousLength = length;
    WorldListItem* item = At(index);
    if (item != nullptr && item->GetTypeId() == kDataBlockTypeId && length != 0) {
      TSubFile window(stream, stream.Tell(), entryEnd);
      item->LoadDataBlock(window);
    }
    stream.Seek(entryEnd, 0);
    if (stream.Tell() != entryEnd) break;
  }
  stream.Seek(blockEnd, 0);
}

void WorldList::SaveList(TStream& stream, u32 mask, u32 wanted) {
  stream.WriteU32(kListVersion);
  stream.WriteU32(listValue);
  for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
    WorldListItem* item = At(i);
    if (item == nullptr || !Matches(item, mask, wanted)) continue;
    stream.WriteU32(i);
    stream.WriteU32(item->GetTypeId());
    const KUID kuid = item->GetItemKUID();
    stream.WriteKUID(kuid);
    const u32 length = stream.BeginBlock();
    {
      const RecordScope scope(kuid, listValue);
      item->SaveRecordBody(stream);
    }
    stream.EndBlock(length);
  }
  stream.WriteU32(kEndMarker);

  const u32 section = stream.BeginBlock();
  stream.WriteU32(kBlockMagic);
  stream.WriteU32(kListVersion);
  stream.WriteU32(listValue);
  if (((mask & wanted) & 4) != 0) {
    for (u32 i = NextUsed(0); i < count_; i = NextUsed(i + 1)) {
      WorldListItem* item = At(i);
      if (item == nullptr || !Matches(item, mask, wanted)) continue;
      stream.WriteU32(i);
      stream.WriteU32(item->GetTypeId());
      const u32 length = stream.BeginBlock();
      item->SaveSectionData(stream);
      stream.EndBlock(length);
    }
  }
  stream.WriteU32(kEndMarker);
  stream.EndBlock(section);
}

bool WorldList::LoadList(TStream& stream, bool clearFirst, u32 sectionArgument) {
  if (clearFirst) Clear();
  u32 version = 0;
  stream.ReadU32(version);
  if (version < 1 || version > kListVersion) return false;
  const u32 savedValue = listValue;
  if (version == 5) stream.ReadU32(listValue);

  bool intact = true;
  while (version >= 2) {
    u32 index = kEndMarker;
    stream.ReadU32(index, kEndMarker);
    if (index == kEndMarker) break;
    if (index >= kMaxIndex) {
      LogPrintf("WorldList::LoadList> item index %u out of range", index);
      intact = false;
      break;
    }
    u32 typeId = 0;
    stream.ReadU32(typeId);
    KUID kuid;
    u32 bodyEnd = 0;
    if (version >= 3) {
      stream.ReadKUID(kuid);
      u32 length = 0;
      stream.ReadU32(length);
      if (length > kMaxRecordLength || !SpanEnd(stream.Tell(), length, stream.GetLength(), &bodyEnd)) {
        intact = false;
        break;
      }
    }
    if (stream.GetError() != TStream::kErrorNone) {
      intact = false;
      break;
    }
    const RecordScope scope(kuid, listValue);
    WorldListItem* existing = At(index);
    if (existing != nullptr && existing->GetTypeId() == typeId) {
      if (version == 2) {
        existing->LoadRecordBody(stream);
      } else {
        TSubFile window(stream, stream.Tell(), bodyEnd);
        existing->LoadRecordBody(window);
      }
      if (version >= 3) stream.Seek(bodyEnd, 0);
      if (version >= 3 && stream.Tell() != bodyEnd) {
        intact = false;
        break;
      }
      continue;
    }
    delete existing;
    WorldFactoryItem* made = nullptr;
    if (version == 2) {
      made = WorldItemFactory::Create(typeId, listValue, stream);
    } else {
      TSubFile window(stream, stream.Tell(), bodyEnd);
      made = WorldItemFactory::Create(typeId, listValue, window);
    }
    auto* item = dynamic_cast<WorldListItem*>(made);
    if (item == nullptr) {
      delete made;
      // A version-2 record has no length: without its item its body cannot be passed over.
      if (version == 2) {
        intact = false;
        break;
      }
    } else {
      EnterAt(index, item);
    }
    if (version >= 3) {
      stream.Seek(bodyEnd, 0);
      if (stream.Tell() != bodyEnd) {
        delete item;
        intact = false;
        break;
      }
    }
  }
  if (intact && version >= 4) intact = LoadDataSection(stream, sectionArgument);
  if (!intact) stream.SetError(TStream::kErrorIo);
  listValue = savedValue;
  return intact;
}

bool WorldList::LoadDataSection(TStream& stream, u32 /*argument*/) {
  u32 sectionLength = 0;
  stream.ReadU32(sectionLength);
  u32 sectionEnd = 0;
  if (sectionLength == kBlockMagic ||
      !SpanEnd(stream.Tell(), sectionLength, stream.GetLength(), &sectionEnd)) {
    return false;
  }
  u32 magic = 0;
  u32 version = 0;
  stream.ReadU32(magic);
  stream.ReadU32(version);
  if (magic == kBlockMagic && version <= kListVersion) {
    if (version >= 2) {
      u32 value = 0;
      stream.ReadU32(value);
    }
    for (;;) {
      u32 index = kEndMarker;
      stream.ReadU32(index, kEndMarker);
      if (index == kEndMarker || index >= count_) break;
      u32 typeId = 0;
      u32 length = 0;
      stream.ReadU32(typeId);
      stream.ReadU32(length);
      u32 entryEnd = 0;
      if (length == kBlockMagic || !SpanEnd(stream.Tell(), length, sectionEnd, &entryEnd)) break;
      WorldListItem* item = At(index);
      if (item != nullptr && item->GetTypeId() == typeId && length != 0) {
        TSubFile window(stream, stream.Tell(), entryEnd);
        item->LoadSectionData(window);
      }
      stream.Seek(entryEnd, 0);
      if (stream.Tell() != entryEnd) break;
    }
  }
  stream.Seek(sectionEnd, 0);
  return true;
}

WorldItemFactory::WorldItemFactory(u32 typeId, const Qel::PString& name)
    : typeId_(typeId), name_(name) {
  if (Factories() == nullptr) Factories() = new std::vector<WorldItemFactory*>();
  Factories()->push_back(this);
}

WorldItemFactory::~WorldItemFactory() {
  std::vector<WorldItemFactory*>*& factories = Factories();
  if (factories == nullptr) return;
  std::erase(*factories, this);
  if (factories->empty()) {
    delete factories;
    factories = nullptr;
  }
}

WorldFactoryItem* WorldItemFactory::Create(u32 typeId, u32 listValue, TStream& stream) {
  if (Factories() == nullptr) return nullptr;
  for (WorldItemFactory* factory : *Factories()) {
    if (factory->GetTypeId() == typeId) return factory->CreateItem(listValue, stream);
  }
  return nullptr;
}
