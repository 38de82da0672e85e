#include "gscommon/hash_table.h"

#include <cstring>

namespace Utils {

u32 HashString(const char* text) {
  u32 h = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    h = h * 3 + static_cast<u32>(static_cast<i32>(static_cast<i8>(*c)));
  }
  return h;
}

bool HashNodeTable::Init(u32 bucketCount) {
  // An empty table of that size is already what a new one would be: a compiler that starts
  // afresh for every unit keeps its buckets rather than freeing and clearing them each time.
  if (bucketCount != 0 && bucketCount == bucketCount_ && count_ == 0) return true;
  Release();
  if (bucketCount == 0) return false;
  buckets_ = new (std::nothrow) IHashNode*[bucketCount]();
  if (buckets_ == nullptr) return false;
  bucketCount_ = bucketCount;
  return true;
}

bool HashNodeTable::Insert(IHashNode* node) {
  if (node == nullptr || bucketCount_ == 0) return false;
  const u32 hash = node->Hash();
  IHashNode** link = &buckets_[hash % bucketCount_];
  while (*link != nullptr) {
    int c = node->Compare(**link);
    if (c == 0) return false;
    if (c < 0) break;
    link = &(*link)->hashNext_;
  }
  node->hashNext_ = *link;
  node->insertedHash_ = hash;
  node->inserted_ = true;
  *link = node;
  ++count_;
  return true;
}

IHashNode* HashNodeTable::Find(const IHashNode& key) const {
  if (bucketCount_ == 0) return nullptr;
  for (IHashNode* node = buckets_[key.Hash() % bucketCount_]; node != nullptr;
       node = node->hashNext_) {
    int c = key.Compare(*node);
    if (c == 0) return node;
    if (c < 0) break;
  }
  return nullptr;
}

bool HashNodeTable::Remove(IHashNode* node) {
  if (node == nullptr || bucketCount_ == 0) return false;
  for (IHashNode** link = &buckets_[node->Hash() % bucketCount_]; *link != nullptr;
       link = &(*link)->hashNext_) {
    if (*link == node) {
      *link = node->hashNext_;
      node->hashNext_ = nullptr;
      --count_;
      return true;
    }
  }
  return false;
}

void HashNodeTable::Clear() {
  for (u32 b = 0; b < bucketCount_; ++b) {
    IHashNode* node = buckets_[b];
    buckets_[b] = nullptr;
    while (node != nullptr) {
      IHashNode* next = node->hashNext_;
      node->hashNext_ = nullptr;
      node = next;
    }
  }
  count_ = 0;
}

void HashNodeTable::Forget() {
  // Without a node every bucket is empty already.
  if (buckets_ != nullptr && count_ != 0) {
    std::memset(buckets_, 0, sizeof(IHashNode*) * bucketCount_);
  }
  count_ = 0;
}

void HashNodeTable::Release() {
  if (count_ != 0) Clear();
  delete[] buckets_;
  buckets_ = nullptr;
  bucketCount_ = 0;
}

IHashNode* HashNodeTable::FirstFrom(u32 bucket) const {
  for (u32 b = bucket; b < bucketCount_; ++b) {
    if (buckets_[b] != nullptr) return buckets_[b];
  }
  return nullptr;
}

IHashNode* HashNodeTable::Next(const IHashNode* node) const {
  if (node == nullptr || bucketCount_ == 0) return nullptr;
  if (node->hashNext_ != nullptr) return node->hashNext_;
  const u32 hash = node->inserted_ ? node->insertedHash_ : node->Hash();
  return FirstFrom(hash % bucketCount_ + 1);
}

}  // namespace Utils
