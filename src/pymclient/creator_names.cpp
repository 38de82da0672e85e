#include "pymclient/creator_names.h"

#include <algorithm>

#include "core/stream.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"

namespace {

constexpr u32 kNoId = 0xFFFFFFFFu;
constexpr u32 kUnknownId = 0xFFFFFFFEu;  // -2

// The user ids under which the maker publishes its own content; they show as the maker's name.
constexpr u32 kBuiltInCreatorIds[10] = {7, 19, 23, 41, 58, 64, 77, 89, 97, 101};

const Qel::PString& NoCreatorName() {
  static const Qel::PString name("-");
  return name;
}
const Qel::PString& UnknownCreatorName() {
  static const Qel::PString name("unknown");
  return name;
}
const Qel::PString& MakerName() {
  static const Qel::PString name("Olbek");
  return name;
}

void EraseIndexOf(std::unordered_map<u32, const CreatorRecord*>& index, u32 key) {
  index.erase(key);
}

}  // namespace

CreatorNameCache& CreatorNameCache::Get() {
  static CreatorNameCache cache;
  return cache;
}

CreatorRecord& CreatorNameCache::AppendRecord(const CreatorRecord& record) {
  return records_.PushBack(record);
}

void CreatorNameCache::ClearRecords() {
  ClearIndexes();
  records_.Clear();
}

void CreatorNameCache::ClearIndexes() {
  byId_.clear();
  bySecond_.clear();
  byName_.clear();
}

bool CreatorNameCache::Add(u32 userId, const Qel::PString& name, u32 second) {
  if (userId == kNoId && name.IsEmpty()) return false;
  const Qel::PString lower = name.Lower();
  EraseIndexOf(byId_, userId);
  EraseIndexOf(bySecond_, second);
  if (!lower.IsEmpty()) byName_.erase(lower);
  const CreatorRecord& record = AppendRecord({lower, userId, second});
  if (userId != kNoId) byId_[userId] = &record;
  bySecond_[second] = &record;
  if (!lower.IsEmpty()) byName_[lower] = &record;
  return true;
}

const CreatorRecord* CreatorNameCache::FindById(u32 userId) const {
  auto it = byId_.find(userId);
  return it != byId_.end() ? it->second : nullptr;
}

bool IsBuiltInCreatorId(u32 userId) {
  return std::find(std::begin(kBuiltInCreatorIds), std::end(kBuiltInCreatorIds), userId) !=
         std::end(kBuiltInCreatorIds);
}

bool LookupCreatorName(u32 userId, u32& second, Qel::PString& name) {
  second = kNoId;
  if (userId == 0) {
    name = NoCreatorName();
  } else if (userId == kUnknownId) {
    name = UnknownCreatorName();
  } else if (i32(userId) < 0 || IsBuiltInCreatorId(userId)) {
    name = MakerName();
  } else if (const CreatorRecord* cached = CreatorNameCache::Get().FindById(userId)) {
    name = cached->name;
    second = cached->second;
  } else {
    name = Qel::PString();
    PymRequest r;
    r.Out().WriteU32(userId);
    if (r.Transact(PymProtocol::kOpCreatorName)) {
      r.In().ReadU32(second, kNoId);
      r.In().ReadPString(name);
    }
    AddCreatorRecord(userId, name, second);
    name = name.Lower();
  }
  return true;
}

Qel::PString GetCreatorName(u32 userId) {
  u32 second = 0;
  Qel::PString name;
  LookupCreatorName(userId, second, name);
  return name;
}

bool AddCreatorRecord(u32 userId, const Qel::PString& name, u32 second) {
  return CreatorNameCache::Get().Add(userId, name, second);
}
