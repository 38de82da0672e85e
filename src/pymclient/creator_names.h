// Display names of creators by user id: fixed names for the special ids and the maker's own
// accounts, then a process-wide cache, then the daemon. The cache has no lock: the command
// handlers and the script natives use it from the main thread.
#pragma once

#include <unordered_map>

#include "core/chunked_list.h"
#include "qel/pstring.h"
#include "qel/types.h"

struct CreatorRecord {
  Qel::PString name;  // lower case
  u32 userId = 0;
  u32 second = 0;
};

class CreatorNameCache {
 public:
  static CreatorNameCache& Get();

  // Appends and indexes nothing; the caller indexes the record it gets back.
  CreatorRecord& AppendRecord(const CreatorRecord& record);
  void ClearRecords();
  void ClearIndexes();

  // Later records of the same id, second value or name take the index entry; old records stay.
  bool Add(u32 userId, const Qel::PString& name, u32 second);
  const CreatorRecord* FindById(u32 userId) const;

 private:
  ChunkedList<CreatorRecord, 13> records_;
  std::unordered_map<u32, const CreatorRecord*> byId_;
  std::unordered_map<u32, const CreatorRecord*> bySecond_;
  std::unordered_map<Qel::PString, const CreatorRecord*> byName_;
};

// The name of the id with its second value (-1 unless the cache or the daemon gave one). A request
// that fails caches the empty name for the id, so it is not asked again. Always true.
bool LookupCreatorName(u32 userId, u32& second, Qel::PString& name);
Qel::PString GetCreatorName(u32 userId);
// False when the id is -1 and the name empty (nothing is added).
bool AddCreatorRecord(u32 userId, const Qel::PString& name, u32 second);
// True for the user ids of the maker's own accounts.
bool IsBuiltInCreatorId(u32 userId);
