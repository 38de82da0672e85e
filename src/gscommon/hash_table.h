// Chained hash tables whose chains stay sorted by key, so that walking a table (bucket by bucket,
// each chain in order) gives the same order whatever the insertion order was. Library images are
// written in that order.
//
// HashTable<V> keeps heap entries with one kind of key per table: texts (not copied; the caller
// keeps them alive), integers wide enough for a host pointer, or pairs of 32-bit ids.
// HashNodeTable chains IHashNode objects themselves and never owns them.
#pragma once

#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "qel/types.h"

namespace Utils {

// h = h * 3 + c over the bytes taken as signed values, modulo 2^32.
u32 HashString(const char* text);

template <typename V>
class HashTable {
 public:
  struct Entry {
    const char* text = nullptr;  // text keys
    u64 key = 0;                 // integer keys; the first id of a pair
    u32 second = 0;              // the second id of a pair
    V value{};
    Entry* next = nullptr;
  };

  // A position in the table: the link that points at the entry, and its bucket. The accessors
  // may be used only while Valid().
  class Iterator {
   public:
    bool Valid() const { return link_ != nullptr && *link_ != nullptr; }
    // Moves to the following entry in table order; false when there is none.
    bool Next();
    const char* Text() const { return (*link_)->text; }
    u64 Key() const { return (*link_)->key; }
    u32 FirstId() const { return static_cast<u32>((*link_)->key); }
    u32 SecondId() const { return (*link_)->second; }
    V& Value() const { return (*link_)->value; }

   private:
    friend class HashTable;
    Entry** link_ = nullptr;
    HashTable* table_ = nullptr;
    u32 bucket_ = 0;
  };

  explicit HashTable(u32 bucketCount = 0) { Init(bucketCount); }
  ~HashTable() {
    Clear();
    delete[] buckets_;
  }
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;

  // Deletes every entry and starts afresh with `bucketCount` empty buckets. A table without
  // buckets refuses every insertion.
  bool Init(u32 bucketCount);

  // Insertions place the entry before the first greater key of its chain and refuse a key that is
  // present (the first value stays), a key of another kind than the table's, and a null text.
  bool InsertString(const char* text, V value);
  bool InsertInt(u64 key, V value);
  bool InsertIdPair(u32 first, u32 second, V value);

  // Fill `it` (when given) and return true when the key is present.
  bool FindString(const char* text, Iterator* it = nullptr);
  bool FindInt(u64 key, Iterator* it = nullptr);
  bool FindIdPair(u32 first, u32 second, Iterator* it = nullptr);

  // The first entry in table order: bucket 0 upwards, each chain in order.
  bool Begin(Iterator* it);
  // Unlinks and deletes the entry at `it` and moves `it` to the following entry.
  bool Erase(Iterator* it);

  // Deletes every entry, last bucket first; the buckets stay.
  void Clear() {
    ClearWith([](V&) {});
  }
  // Clear, handing each value to `release` first.
  template <typename F>
  void ClearWith(F&& release);
  // Clear, deleting each value (values are pointers from new).
  void ClearAndDelete() {
    static_assert(std::is_pointer_v<V>, "ClearAndDelete needs pointer values");
    ClearWith([](V& v) { delete v; });
  }

  u32 Count() const { return count_; }
  u32 BucketCount() const { return bucketCount_; }

 private:
  enum class KeyKind : u8 { kNone, kText, kInt, kIdPair };

  // Walks the bucket's chain while `compare` (entry against the wanted key) is negative, and
  // returns the link where the key is or would be; `found` tells which.
  template <typename Compare>
  Entry** Locate(u32 bucket, Compare&& compare, bool* found);
  template <typename Compare>
  bool Insert(KeyKind kind, u32 bucket, Compare&& compare, Entry* entry);
  template <typename Compare>
  bool Find(KeyKind kind, u32 bucket, Compare&& compare, Iterator* it);
  bool KindFits(KeyKind kind) const { return count_ == 0 || kind_ == kind; }

  Entry** buckets_ = nullptr;
  u32 bucketCount_ = 0;
  u32 count_ = 0;
  KeyKind kind_ = KeyKind::kNone;
};

// A node that chains itself into a HashNodeTable.
class IHashNode {
 public:
  IHashNode() = default;
  IHashNode(const IHashNode&) = delete;
  IHashNode& operator=(const IHashNode&) = delete;
  virtual ~IHashNode() = default;
  virtual u32 Hash() const = 0;
  // Negative when this node sorts before `other`, zero when they are the same key.
  virtual int Compare(const IHashNode& other) const = 0;

 private:
  friend class HashNodeTable;
  IHashNode* hashNext_ = nullptr;
  // The hash as of the last insertion: a walk moves to the following bucket without hashing the
  // key again. Keys do not change while their node is in a table.
  u32 insertedHash_ = 0;
  bool inserted_ = false;
};

class HashNodeTable {
 public:
  explicit HashNodeTable(u32 bucketCount = 0) { Init(bucketCount); }
  ~HashNodeTable() { Release(); }
  HashNodeTable(const HashNodeTable&) = delete;
  HashNodeTable& operator=(const HashNodeTable&) = delete;

  // Empties the table and gives it `bucketCount` buckets; without buckets inserts fail.
  bool Init(u32 bucketCount);

  // Places the node before the first node of its chain that compares greater; false when an
  // equal node is present or the node is null.
  bool Insert(IHashNode* node);
  // The first node that compares equal to `key`, or null.
  IHashNode* Find(const IHashNode& key) const;
  // Unlinks this very node; false when it is not in the table.
  bool Remove(IHashNode* node);
  // Unlinks every node (the nodes are not freed) and keeps the buckets.
  void Clear();
  // Clear and free the buckets.
  void Release();
  // Empties the buckets without touching the nodes, for an owner that frees the nodes at the
  // same time; their links are left as they were.
  void Forget();

  // Table order: bucket 0 upwards, each chain in order; null at the end.
  IHashNode* First() const { return FirstFrom(0); }
  IHashNode* Next(const IHashNode* node) const;

  u32 Count() const { return count_; }
  u32 BucketCount() const { return bucketCount_; }

 private:
  IHashNode* FirstFrom(u32 bucket) const;

  IHashNode** buckets_ = nullptr;
  u32 bucketCount_ = 0;
  u32 count_ = 0;
};

// ---- HashTable implementation ----

template <typename V>
bool HashTable<V>::Iterator::Next() {
  if (!Valid()) return false;
  Entry* entry = *link_;
  if (entry->next != nullptr) {
    link_ = &entry->next;
    return true;
  }
  for (u32 b = bucket_ + 1; b < table_->bucketCount_; ++b) {
    if (table_->buckets_[b] != nullptr) {
      bucket_ = b;
      link_ = &table_->buckets_[b];
      return true;
    }
  }
  link_ = nullptr;
  return false;
}

template <typename V>
bool HashTable<V>::Init(u32 bucketCount) {
  Clear();
  delete[] buckets_;
  buckets_ = nullptr;
  bucketCount_ = 0;
  kind_ = KeyKind::kNone;
  if (bucketCount == 0) return false;
  buckets_ = new (std::nothrow) Entry*[bucketCount]();
  if (buckets_ == nullptr) return false;
  bucketCount_ = bucketCount;
  return true;
}

template <typename V>
template <typename Compare>
typename HashTable<V>::Entry** HashTable<V>::Locate(u32 bucket, Compare&& compare, bool* found) {
  Entry** link = &buckets_[bucket];
  *found = false;
  while (*link != nullptr) {
    int c = compare(**link);
    if (c >= 0) {
      *found = c == 0;
      break;
    }
    link = &(*link)->next;
  }
  return link;
}

template <typename V>
template <typename Compare>
bool HashTable<V>::Insert(KeyKind kind, u32 bucket, Compare&& compare, Entry* entry) {
  bool found;
  Entry** link = Locate(bucket, compare, &found);
  if (found) {
    delete entry;
    return false;
  }
  entry->next = *link;
  *link = entry;
  kind_ = kind;
  ++count_;
  return true;
}

template <typename V>
template <typename Compare>
bool HashTable<V>::Find(KeyKind kind, u32 bucket, Compare&& compare, Iterator* it) {
  if (count_ == 0 || kind_ != kind) return false;
  bool found;
  Entry** link = Locate(bucket, compare, &found);
  if (found && it != nullptr) {
    it->link_ = link;
    it->table_ = this;
    it->bucket_ = bucket;
  }
  return found;
}

namespace hash_table_detail {

inline int Order(u64 a, u64 b) { return a < b ? -1 : (a > b ? 1 : 0); }

}  // namespace hash_table_detail

template <typename V>
bool HashTable<V>::InsertString(const char* text, V value) {
  if (text == nullptr || bucketCount_ == 0 || !KindFits(KeyKind::kText)) return false;
  Entry* entry = new (std::nothrow) Entry;
  if (entry == nullptr) return false;
  entry->text = text;
  entry->value = std::move(value);
  return Insert(
      KeyKind::kText, HashString(text) % bucketCount_,
      [text](const Entry& e) { return std::strcmp(e.text, text); }, entry);
}

template <typename V>
bool HashTable<V>::InsertInt(u64 key, V value) {
  if (bucketCount_ == 0 || !KindFits(KeyKind::kInt)) return false;
  Entry* entry = new (std::nothrow) Entry;
  if (entry == nullptr) return false;
  entry->key = key;
  entry->value = std::move(value);
  return Insert(
      KeyKind::kInt, static_cast<u32>((key >> 1) % bucketCount_),
      [key](const Entry& e) { return hash_table_detail::Order(e.key, key); }, entry);
}

template <typename V>
bool HashTable<V>::InsertIdPair(u32 first, u32 second, V value) {
  if (bucketCount_ == 0 || !KindFits(KeyKind::kIdPair)) return false;
  Entry* entry = new (std::nothrow) Entry;
  if (entry == nullptr) return false;
  entry->key = first;
  entry->second = second;
  entry->value = std::move(value);
  auto compare = [first, second](const Entry& e) {
    int c = hash_table_detail::Order(e.key, first);
    return c != 0 ? c : hash_table_detail::Order(e.second, second);
  };
  return Insert(KeyKind::kIdPair, first % bucketCount_, compare, entry);
}

template <typename V>
bool HashTable<V>::FindString(const char* text, Iterator* it) {
  if (text == nullptr || bucketCount_ == 0) return false;
  return Find(
      KeyKind::kText, HashString(text) % bucketCount_,
      [text](const Entry& e) { return std::strcmp(e.text, text); }, it);
}

template <typename V>
bool HashTable<V>::FindInt(u64 key, Iterator* it) {
  if (bucketCount_ == 0) return false;
  return Find(
      KeyKind::kInt, static_cast<u32>((key >> 1) % bucketCount_),
      [key](const Entry& e) { return hash_table_detail::Order(e.key, key); }, it);
}

template <typename V>
bool HashTable<V>::FindIdPair(u32 first, u32 second, Iterator* it) {
  if (bucketCount_ == 0) return false;
  auto compare = [first, second](const Entry& e) {
    int c = hash_table_detail::Order(e.key, first);
    return c != 0 ? c : hash_table_detail::Order(e.second, second);
  };
  return Find(KeyKind::kIdPair, first % bucketCount_, compare, it);
}

template <typename V>
bool HashTable<V>::Begin(Iterator* it) {
  it->table_ = this;
  it->link_ = nullptr;
  for (u32 b = 0; b < bucketCount_; ++b) {
    if (buckets_[b] != nullptr) {
      it->bucket_ = b;
      it->link_ = &buckets_[b];
      return true;
    }
  }
  return false;
}

template <typename V>
bool HashTable<V>::Erase(Iterator* it) {
  if (it == nullptr || it->table_ != this || !it->Valid()) return false;
  Entry* entry = *it->link_;
  *it->link_ = entry->next;
  delete entry;
  --count_;
  if (*it->link_ == nullptr) {
    // The chain ended here: step on to the next bucket that holds an entry.
    it->link_ = nullptr;
    for (u32 b = it->bucket_ + 1; b < bucketCount_; ++b) {
      if (buckets_[b] != nullptr) {
        it->bucket_ = b;
        it->link_ = &buckets_[b];
        break;
      }
    }
  }
  return true;
}

template <typename V>
template <typename F>
void HashTable<V>::ClearWith(F&& release) {
  for (u32 b = bucketCount_; b-- > 0;) {
    Entry* entry = buckets_[b];
    buckets_[b] = nullptr;
    while (entry != nullptr) {
      Entry* next = entry->next;
      release(entry->value);
      delete entry;
      entry = next;
    }
  }
  count_ = 0;
  kind_ = KeyKind::kNone;
}

}  // namespace Utils
