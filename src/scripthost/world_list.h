// The live objects of a script world: an indexed list of items with an optional spatial index by
// baseboard, broadcasts, and persistence in two stream formats (the versioned list and the data
// blocks). Items are re-created on load by factories found by a 32-bit type id. Used from the
// script thread only.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "core/kuid.h"
#include "pymclient/identifiable_type.h"
#include "qel/pstring.h"
#include "qel/types.h"

class TStream;

// A point of the world: a baseboard (720 units square) and a place on it.
struct WorldCoordinate {
  static constexpr f64 kBaseboardSize = 720.0;

  i16 baseboardX = 0;
  i16 baseboardY = 0;
  f32 x = 0;
  f32 y = 0;
  f32 z = 0;
  u8 normalised = 0;

  // Moves whole baseboards out of x and y into the indices. Counts beyond the 16-bit range (and
  // NaN, read as 0) are clamped first, so a far-off or broken value never wraps.
  static void Normalise(WorldCoordinate& coordinate);
};

struct WorldBounds {
  u8 valid = 1;
  i16 baseboardX = 0;
  i16 baseboardY = 0;
  f32 minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;
};

class WorldBaseItem {
 public:
  virtual ~WorldBaseItem() = default;
  virtual void LoadRecordBody(TStream&) {}
  virtual void SaveRecordBody(TStream&) {}
  virtual void Notify() {}
  virtual u32 GetFlags() const { return 1; }
  virtual void NotifyFlagged(u32 /*argument*/, u32 /*flags*/) {}
  virtual void LoadSectionData(TStream&) {}
  virtual void SaveSectionData(TStream&) {}
  virtual void LoadDataBlock(TStream&) {}
  virtual void SaveDataBlock(TStream&) {}
};

class WorldFactoryItem {
 public:
  virtual ~WorldFactoryItem() = default;
  virtual u32 GetTypeId() const = 0;
};

class WorldList;

class WorldListItem : public WorldBaseItem, public WorldFactoryItem, public IdentifiableType {
 public:
  WorldListItem() = default;
  // Leaves the list (and its spatial index) it is in.
  ~WorldListItem() override;
  WorldListItem(const WorldListItem&) = delete;
  WorldListItem& operator=(const WorldListItem&) = delete;

  virtual KUID GetItemKUID() const { return KUID(); }
  virtual void OnAdded() {}
  virtual void OnRemoved() {}
  virtual void GetBounds(WorldBounds& bounds) const { bounds = WorldBounds(); }

  WorldList* GetList() const { return list_; }
  i32 GetIndex() const { return index_; }

 private:
  friend class WorldList;
  WorldList* list_ = nullptr;
  i32 index_ = -1;
};

class WorldList : public WorldBaseItem {
 public:
  static constexpr u32 kBlockMagic = 0xFEEDCEEB;
  static constexpr u32 kEndMarker = 0xFFFFFFFF;
  static constexpr u32 kListVersion = 5;
  // The one type id whose items the data blocks carry.
  static constexpr u32 kDataBlockTypeId = 0x6A6E4F62;  // 'jnOb'
  static constexpr u32 kMaxRecordLength = 0xFFFFFF;
  // Indices of a loaded list stay below this: a hostile index must not grow the list without
  // bound.
  static constexpr u32 kMaxIndex = 0x1000000;

  WorldList() = default;
  // Clears: every item is destroyed.
  ~WorldList() override;
  WorldList(const WorldList&) = delete;
  WorldList& operator=(const WorldList&) = delete;

  // The index the item got; -1 for an item already in a list.
  i32 Add(WorldListItem* item);
  void Remove(WorldListItem* item);
  // Destroys every item whose flags, masked with `mask`, equal mask & wanted.
  void DestroyItems(u32 mask, u32 wanted);
  void Clear();

  // Slots in use (the highest used index + 1); emptied slots hold null.
  u32 Count() const { return count_; }
  WorldListItem* At(u32 index) const;
  // Non-zero while the list is being walked.
  u32 locked = 0;
  u32 listValue = 0;

  void EnableSpatialIndex();
  // The items entered under a baseboard; empty without a spatial index.
  std::vector<WorldListItem*> ItemsOn(i16 baseboardX, i16 baseboardY) const;
  static u32 BaseboardKey(i16 x, i16 y) { return u32(u16(x)) | (u32(u16(y)) << 16); }

  void Notify() override;
  void NotifyFlagged(u32 argument, u32 flags) override;
  void LoadDataBlock(TStream& stream) override;
  void SaveDataBlock(TStream& stream) override;

  // False when the version is unknown or the list ended at an inconsistency (the stream's error
  // is set then too); what was read before stays.
  bool LoadList(TStream& stream, bool clearFirst, u32 sectionArgument);
  void SaveList(TStream& stream, u32 mask, u32 wanted);

  // What a record being loaded or saved publishes for its item.
  struct RecordContext {
    KUID kuid;
    u32 listValue = 0;
    bool active = false;
  };
  static const RecordContext& CurrentRecord();

 private:
  void EnterAt(u32 index, WorldListItem* item);
  void IndexInsert(WorldListItem* item);
  void IndexRemove(WorldListItem* item);
  bool Matches(const WorldListItem* item, u32 mask, u32 wanted) const {
    return (item->GetFlags() & mask) == (mask & wanted);
  }
  // False when the section cannot be placed in the stream.
  bool LoadDataSection(TStream& stream, u32 argument);

  void GrowTo(u32 count);
  // The first slot from `index` on that holds an item; Count() when none does.
  u32 NextUsed(u32 index) const;
  // Stores into a slot, growing the count to cover it; null empties one.
  void SetSlot(u32 index, WorldListItem* item);

  // Slots live in pages made on first store, so a far index costs one page, not the whole run of
  // slots before it.
  static constexpr u32 kPageSize = 1024;
  std::vector<std::unique_ptr<WorldListItem*[]>> pages_;
  u32 count_ = 0;
  u32 evenCursor_ = 0;
  u32 oddCursor_ = 1;
  std::unique_ptr<std::map<u32, std::set<WorldListItem*>>> spatial_;
};

// Makes items of one type id; registered process-wide while it lives.
class WorldItemFactory {
 public:
  WorldItemFactory(u32 typeId, const Qel::PString& name);
  virtual ~WorldItemFactory();
  WorldItemFactory(const WorldItemFactory&) = delete;
  WorldItemFactory& operator=(const WorldItemFactory&) = delete;

  virtual WorldFactoryItem* CreateItem(u32 listValue, TStream& stream) = 0;
  u32 GetTypeId() const { return typeId_; }
  const Qel::PString& GetName() const { return name_; }

  // The first registered factory of the type id makes the item; null without one.
  static WorldFactoryItem* Create(u32 typeId, u32 listValue, TStream& stream);

 private:
  u32 typeId_;
  Qel::PString name_;
};
