#include "qel/pstring.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace Qel {

struct PString::Node {
  std::atomic<u32> refs;
  u32 length;
  size_t hash;
  char text[1];  // length + 1 bytes, zero-terminated

  std::string_view View() const { return {text, length}; }
};

namespace {

size_t HashText(std::string_view text) {
  // FNV-1a: cheap, and stable across runs so hashed containers iterate the same way every time.
  u64 h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return static_cast<size_t>(h ? h : 1);
}

// Open addressing with linear probing, at most half full. A slot keeps its node's hash beside
// the pointer, so that probing a large table touches no node but the one that matches. A node's
// place comes from the high bits of its hash times a large odd constant, which mixes every bit
// of the hash in. Guarded by the cache's mutex.
class NodeTable {
 public:
  NodeTable() : slots_(size_t(1) << kInitialBits), shift_(64 - kInitialBits) {}

  size_t Size() const { return count_; }

  // Brings the slot where a search for the hash starts into the cache.
  void PrefetchSlot(size_t hash) const { __builtin_prefetch(&slots_[Home(hash, shift_)]); }
  // Brings the node of that slot into the cache, once the slot is there.
  void PrefetchNode(size_t hash) const {
    const Slot& slot = slots_[Home(hash, shift_)];
    // Unconditional: the compiler dropped this prefetch when it was made under a condition. One
    // of a null or of another node never faults.
    __builtin_prefetch(slot.node);
  }

  // The node holding the text, or nullptr.
  PString::Node* Find(std::string_view text, size_t hash) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(hash, shift_);; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (!slot.node) return nullptr;
      if (slot.hash == hash && slot.node->View() == text) return slot.node;
    }
  }

  // The node must not be present yet.
  void Insert(PString::Node* node) {
    if (2 * (count_ + 1) > slots_.size()) {
      // Texts nobody holds any more go before the table grows for them, so a stream of
      // short-lived texts (the names of damaged mesh files, say) cannot grow it without bound. A
      // collection leaves the table at most a quarter full: one per as many inserts as it scans.
      FreeUnused();
      if (4 * (count_ + 1) > slots_.size()) Rebuild(BitsFor(2 * (count_ + 1)));
    }
    Place(slots_, shift_, node);
    ++count_;
    ++insertedSinceCollection_;
  }

  // A collection frees what was dropped since the last one, and most of that came in as nodes
  // inserted since: a walk after fewer inserts than a quarter of what the last collection left
  // would scan the whole table for little, and is left to a later call. Growth collects on its
  // own, so what waits stays bounded.
  bool IsCollectionDue() const { return 4 * insertedSinceCollection_ >= countAtCollection_; }
  size_t Collect() {
    const size_t freed = FreeUnused();
    insertedSinceCollection_ = 0;
    countAtCollection_ = count_;
    return freed;
  }

  // Frees every node whose count is zero and returns how many went.
  size_t FreeUnused() {
    // Under the lock a zero count cannot rise again, though others may still fall to zero: the
    // new table is sized and allocated before anything is freed.
    size_t live = 0;
    for (const Slot& slot : slots_) {
      if (slot.node && slot.node->refs.load(std::memory_order_acquire) != 0) ++live;
    }
    // Nothing to free: the table stays as it is rather than being laid out afresh.
    if (live == count_) return 0;
    const u32 bits = BitsFor(live);
    std::vector<Slot> slots(size_t(1) << bits);
    size_t freed = 0;
    for (const Slot& slot : slots_) {
      PString::Node* node = slot.node;
      if (!node) continue;
      if (node->refs.load(std::memory_order_acquire) == 0) {
        node->refs.~atomic<u32>();
        std::free(node);
        ++freed;
      } else {
        Place(slots, 64 - bits, node);
      }
    }
    slots_.swap(slots);
    shift_ = 64 - bits;
    count_ -= freed;
    return freed;
  }

 private:
  static constexpr u32 kInitialBits = 10;

  struct Slot {
    size_t hash = 0;
    PString::Node* node = nullptr;
  };

  static size_t Home(size_t hash, u32 shift) {
    return size_t((u64(hash) * 0x9E3779B97F4A7C15ull) >> shift);
  }
  // The table size, as a power of two, that holds `count` nodes at most half full.
  static u32 BitsFor(size_t count) {
    u32 bits = kInitialBits;
    while ((size_t(1) << bits) < 2 * count) ++bits;
    return bits;
  }
  static void Place(std::vector<Slot>& slots, u32 shift, PString::Node* node) {
    const size_t mask = slots.size() - 1;
    size_t i = Home(node->hash, shift);
    while (slots[i].node) i = (i + 1) & mask;
    slots[i] = {node->hash, node};
  }

  void Rebuild(u32 bits) {
    std::vector<Slot> slots(size_t(1) << bits);
    for (const Slot& slot : slots_) {
      if (slot.node) Place(slots, 64 - bits, slot.node);
    }
    slots_.swap(slots);
    shift_ = 64 - bits;
  }

  std::vector<Slot> slots_;
  u32 shift_;
  size_t count_ = 0;
  size_t insertedSinceCollection_ = 0;
  size_t countAtCollection_ = 0;
};

struct Cache {
  std::mutex lock;
  NodeTable nodes;
};

// Built on first use and never destroyed, so static PString constants in any translation unit,
// and strings released during static destruction, always find it.
Cache& TheCache() {
  static Cache* cache = new Cache;
  return *cache;
}

// The node of a text that is not empty, with `refs` new references; the caller holds the cache's
// lock.
PString::Node* InternLocked(Cache& cache, std::string_view text, size_t hash, u32 refs = 1) {
  if (PString::Node* found = cache.nodes.Find(text, hash)) {
    found->refs.fetch_add(refs, std::memory_order_relaxed);
    return found;
  }
  void* mem = std::malloc(offsetof(PString::Node, text) + text.size() + 1);
  if (!mem) throw std::bad_alloc();
  auto* node = static_cast<PString::Node*>(mem);
  new (&node->refs) std::atomic<u32>(refs);
  node->length = static_cast<u32>(text.size());
  node->hash = hash;
  std::memcpy(node->text, text.data(), text.size());
  node->text[text.size()] = '\0';
  try {
    cache.nodes.Insert(node);
  } catch (...) {
    std::free(node);
    throw;
  }
  return node;
}

PString::Node* Intern(std::string_view text) {
  if (text.empty()) return nullptr;
  Cache& cache = TheCache();
  // Hashed once, outside the lock.
  const size_t hash = HashText(text);
  std::lock_guard<std::mutex> guard(cache.lock);
  return InternLocked(cache, text, hash);
}

void AddRef(PString::Node* node) {
  if (node) node->refs.fetch_add(1, std::memory_order_relaxed);
}

// A node whose count reaches zero stays in the cache; only a collection frees it, under the cache
// lock, which is also the only place a zero count can rise again (a fresh Intern).
void Release(PString::Node* node) {
  if (node) node->refs.fetch_sub(1, std::memory_order_acq_rel);
}

void ReleaseCount(PString::Node* node, u32 count) {
  node->refs.fetch_sub(count, std::memory_order_acq_rel);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace

PString::PString(const char* text) : node_(text ? Intern(text) : nullptr) {}
PString::PString(const char* text, size_t length)
    : node_(text ? Intern(std::string_view(text, length)) : nullptr) {}
PString::PString(std::string_view text) : node_(Intern(text)) {}
PString::PString(const PString& other) : node_(other.node_) { AddRef(node_); }
PString::~PString() { Release(node_); }

PString& PString::operator=(const PString& other) {
  Node* old = node_;
  AddRef(other.node_);  // before the release, so self-assignment never drops the last count
  node_ = other.node_;
  Release(old);
  return *this;
}

PString& PString::operator=(PString&& other) noexcept {
  if (this != &other) {
    Release(node_);
    node_ = other.node_;
    other.node_ = nullptr;
  }
  return *this;
}

PString& PString::operator=(const char* text) {
  Node* fresh = text ? Intern(text) : nullptr;
  Release(node_);
  node_ = fresh;
  return *this;
}

const char* PString::Get() const { return node_ ? node_->text : nullptr; }
const char* PString::CStr() const { return node_ ? node_->text : ""; }
u32 PString::Length() const { return node_ ? node_->length : 0; }
std::string_view PString::View() const { return node_ ? node_->View() : std::string_view(); }
size_t PString::Hash() const { return node_ ? node_->hash : 0; }

bool PString::operator<(const PString& other) const { return View() < other.View(); }

bool PString::EqualsIgnoreCase(const char* text) const {
  if (!node_) return text == nullptr;
  if (!text) return false;
  const char* a = node_->text;
  while (*a && *text) {
    if (AsciiLower(*a) != AsciiLower(*text)) return false;
    ++a;
    ++text;
  }
  return *a == *text;
}

bool PString::EqualsIgnoreCase(const PString& other) const {
  if (node_ == other.node_) return true;
  if (!node_ || !other.node_ || node_->length != other.node_->length) return false;
  return EqualsIgnoreCase(other.node_->text);
}

PString PString::Lower() const {
  std::string s(View());
  for (char& c : s) c = AsciiLower(c);
  return PString(std::string_view(s));
}

PString PString::Upper() const {
  std::string s(View());
  for (char& c : s) c = AsciiUpper(c);
  return PString(std::string_view(s));
}

void PString::ToLower() { *this = Lower(); }
void PString::ToUpper() { *this = Upper(); }

void PString::Left(u32 n) {
  if (n < Length()) *this = PString(View().substr(0, n));
}

void PString::KeepRight(u32 n) {
  if (n < Length()) *this = PString(View().substr(Length() - n));
}

PString PString::operator+(const char* text) const {
  if (!text || !*text) return *this;
  std::string s(View());
  s += text;
  return PString(std::string_view(s));
}

PString PString::operator+(const PString& other) const {
  if (!other.node_) return *this;
  if (!node_) return other;
  std::string s(View());
  s += other.View();
  return PString(std::string_view(s));
}

void PString::Reserve(u32 count) const {
  if (node_) node_->refs.fetch_add(count, std::memory_order_relaxed);
}

void PString::ReleaseReserved(u32 count) const {
  if (node_ && count) node_->refs.fetch_sub(count, std::memory_order_acq_rel);
}

void PString::DropReserved(u32 count) {
  ReleaseReserved(count);
  node_ = nullptr;
}

void PString::InternMany(const std::string_view* texts, size_t count, PString* out, u32 reserve) {
  // Each text's slot is fetched kAhead texts before it is probed, and its node half as far: the
  // node's fetch waits for the slot, which must have come by then.
  constexpr size_t kAhead = 32;
  std::vector<size_t> hashes(count);
  for (size_t i = 0; i < count; ++i) hashes[i] = texts[i].empty() ? 0 : HashText(texts[i]);
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  for (size_t i = 0; i < count + kAhead; ++i) {
    if (i < count) cache.nodes.PrefetchSlot(hashes[i]);
    if (i >= kAhead / 2 && i - kAhead / 2 < count) cache.nodes.PrefetchNode(hashes[i - kAhead / 2]);
    if (i >= kAhead) {
      const size_t at = i - kAhead;
      if (!texts[at].empty()) {
        out[at].node_ = InternLocked(cache, texts[at], hashes[at], 1 + reserve);
      }
    }
  }
}

void PStringReleaser::Clear() {
  for (Slot& slot : slots_) slot = Slot{nullptr, 0};
  used_ = true;
}

void PStringReleaser::Replace(Slot& slot, PString::Node* node) {
  if (slot.node) ReleaseCount(slot.node, slot.count);
  // A string seen once is most often pushed out soon by another, and its count goes down then.
  __builtin_prefetch(node);
  slot.node = node;
  slot.count = 0;
}

void PStringReleaser::Flush() {
  if (!used_) return;
  for (Slot& slot : slots_) {
    if (slot.node) ReleaseCount(slot.node, slot.count);
  }
  used_ = false;
}

size_t PStringCache::CollectGarbage() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  return cache.nodes.IsCollectionDue() ? cache.nodes.Collect() : 0;
}

size_t PStringCache::CollectAllGarbage() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  return cache.nodes.Collect();
}

size_t PStringCache::Size() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  return cache.nodes.Size();
}

PStringPair::~PStringPair() {
  second = PString();
  first = PString();
}

}  // namespace Qel
