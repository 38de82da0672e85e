#include "qel/pstring.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

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

struct NodeHash {
  using is_transparent = void;
  size_t operator()(const PString::Node* n) const { return n->hash; }
  size_t operator()(std::string_view v) const { return HashText(v); }
};
struct NodeEq {
  using is_transparent = void;
  bool operator()(const PString::Node* a, const PString::Node* b) const { return a == b; }
  bool operator()(std::string_view v, const PString::Node* n) const { return n->View() == v; }
  bool operator()(const PString::Node* n, std::string_view v) const { return n->View() == v; }
};

struct Cache {
  std::mutex lock;
  std::unordered_set<PString::Node*, NodeHash, NodeEq> nodes;
};

// Built on first use and never destroyed, so static PString constants in any translation unit,
// and strings released during static destruction, always find it.
Cache& TheCache() {
  static Cache* cache = new Cache;
  return *cache;
}

PString::Node* Intern(std::string_view text) {
  if (text.empty()) return nullptr;
  Cache& cache = TheCache();
  const size_t hash = HashText(text);
  std::lock_guard<std::mutex> guard(cache.lock);
  auto it = cache.nodes.find(text);
  if (it != cache.nodes.end()) {
    (*it)->refs.fetch_add(1, std::memory_order_relaxed);
    return *it;
  }
  void* mem = std::malloc(offsetof(PString::Node, text) + text.size() + 1);
  if (!mem) throw std::bad_alloc();
  auto* node = static_cast<PString::Node*>(mem);
  new (&node->refs) std::atomic<u32>(1);
  node->length = static_cast<u32>(text.size());
  node->hash = hash;
  std::memcpy(node->text, text.data(), text.size());
  node->text[text.size()] = '\0';
  cache.nodes.insert(node);
  return node;
}

void AddRef(PString::Node* node) {
  if (node) node->refs.fetch_add(1, std::memory_order_relaxed);
}

// A node whose count reaches zero stays in the cache; only a collection frees it, under the cache
// lock, which is also the only place a zero count can rise again (a fresh Intern).
void Release(PString::Node* node) {
  if (node) node->refs.fetch_sub(1, std::memory_order_acq_rel);
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

size_t PStringCache::CollectGarbage() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  size_t freed = 0;
  for (auto it = cache.nodes.begin(); it != cache.nodes.end();) {
    PString::Node* node = *it;
    if (node->refs.load(std::memory_order_acquire) == 0) {
      it = cache.nodes.erase(it);
      node->refs.~atomic<u32>();
      std::free(node);
      ++freed;
    } else {
      ++it;
    }
  }
  return freed;
}

size_t PStringCache::Size() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  return cache.nodes.size();
}

PStringPair::~PStringPair() {
  second = PString();
  first = PString();
}

}  // namespace Qel
