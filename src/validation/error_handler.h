// The one collector of the validation library's findings. Every check reports to it with a
// severity and, where there is one, the container or tag the finding belongs to; the validation
// run empties it before an asset and copies the errors and warnings into the results log after.
// A finding that repeats one already held for the same owner is refused.
//
// The list has no lock: validations are serialised by the validation lock.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "qel/pstring.h"
#include "qel/types.h"

namespace TETLib {

class Container;
class Tag;

// One finding. The container and tag are identities only: compared, never dereferenced.
struct ErrorRecord {
  // The record's severity is the results-log entry type it becomes.
  static constexpr u32 kError = 3;
  static constexpr u32 kWarning = 2;
  static constexpr u32 kMessage = 0;

  const Container* container = nullptr;
  const Tag* tag = nullptr;
  // A message key, or a localised and formatted text.
  Qel::PString key;
  u32 severity = kMessage;
};

class ErrorHandler {
 public:
  // Creates the process's handler with an empty list; always true.
  static bool CreateInstance();
  // Deletes the handler and its records; nothing when there is none.
  static void DestroyInstance();
  // Null when not created.
  static ErrorHandler* Instance();

  ErrorHandler() = default;
  virtual ~ErrorHandler() = default;
  ErrorHandler(const ErrorHandler&) = delete;
  ErrorHandler& operator=(const ErrorHandler&) = delete;

  virtual void ClearRecords();

  // Each adds a record of its severity and owner and returns true, or returns false and adds
  // nothing when a record with the same owner and key is held already, whatever its severity.
  // The container form matches records with that container (a null container matches every
  // record without one), the tag form likewise by tag, the key-only form any record of the key.
  virtual bool AddError(const Qel::PString& key, const Container* container);
  virtual bool AddError(const Qel::PString& key, const Tag* tag);
  virtual bool AddError(const Qel::PString& key);
  virtual bool AddWarning(const Qel::PString& key, const Container* container);
  virtual bool AddWarning(const Qel::PString& key, const Tag* tag);
  virtual bool AddWarning(const Qel::PString& key);
  virtual bool AddMessage(const Qel::PString& key, const Container* container);
  virtual bool AddMessage(const Qel::PString& key, const Tag* tag);
  virtual bool AddMessage(const Qel::PString& key);

  // Hooks for tracing a load; they record nothing. A handler that records traces overrides
  // TracesLoads too: the load formats no trace text for a handler that would drop it.
  virtual bool TracesLoads() const { return false; }
  virtual bool TraceContainer(const Qel::PString& text, const void* object);
  virtual bool TraceTag(const Qel::PString& text, const void* object);

  // True when no record bears the key.
  virtual bool IsKeyUnused(const Qel::PString& key) const;
  // Delete the first record of that (non-null) tag or container, the ones a tag or container
  // leaves behind when it is destroyed.
  virtual void RemoveTagRecord(const Tag* tag);
  virtual void RemoveContainerRecord(const Container* container);

  // In the order of arrival.
  const std::vector<std::unique_ptr<ErrorRecord>>& GetRecords() const { return records_; }

 private:
  enum class Owner : u8 { kContainer, kTag, kNone };
  bool Add(const Qel::PString& key, u32 severity, Owner form, const Container* container,
           const Tag* tag);
  void Unindex(const ErrorRecord& record);

  // A key with the tag or container of a record (null for a record without one).
  struct KeyOwner {
    Qel::PString key;
    const void* owner;
    bool operator==(const KeyOwner&) const = default;
  };
  struct KeyOwnerHash {
    size_t operator()(const KeyOwner& k) const {
      return std::hash<Qel::PString>()(k.key) ^ (std::hash<const void*>()(k.owner) * 31);
    }
  };

  std::vector<std::unique_ptr<ErrorRecord>> records_;
  // How many records hold each key, and each key with each record's container and tag: a run
  // with a finding for most of many thousand tags asks whether it repeats one for each.
  std::unordered_map<Qel::PString, u32> byKey_;
  std::unordered_map<KeyOwner, u32, KeyOwnerHash> byContainer_;
  std::unordered_map<KeyOwner, u32, KeyOwnerHash> byTag_;
  // Records that name a tag or a container: most tags and containers go without one, and then
  // without a look through the list.
  size_t tagRecords_ = 0;
  size_t containerRecords_ = 0;
  // A bit per address hash of every tag and container a record named since the list was last
  // empty: a tree that goes whole asks for each of its tags and containers, and most never had
  // a record.
  std::bitset<1024> ownerFilter_;
  static size_t OwnerBit(const void* owner) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(owner);
    return ((at >> 4) ^ (at >> 14)) & 1023;
  }
};

}  // namespace TETLib
