// Interned, reference-counted strings.
//
// Every distinct text lives once in a process-wide cache; a PString is a handle to its node, so
// equality is a pointer comparison. The empty string is the null handle: Get() returns nullptr
// and Length() 0. Nodes whose count drops to zero stay cached until a collection, or until
// the cache would otherwise grow.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "qel/types.h"

namespace Qel {

class PString {
 public:
  struct Node;

  PString() = default;
  PString(const char* text);  // NOLINT(runtime/explicit): interning a literal is the common case
  PString(const char* text, size_t length);
  explicit PString(std::string_view text);
  explicit PString(const std::string& text) : PString(std::string_view(text)) {}
  PString(const PString& other);
  PString(PString&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  ~PString();

  PString& operator=(const PString& other);
  PString& operator=(PString&& other) noexcept;
  PString& operator=(const char* text);

  // The interned characters, or nullptr for the empty string.
  const char* Get() const;
  // Never null: "" for the empty string.
  const char* CStr() const;
  u32 Length() const;
  bool IsSet() const { return node_ != nullptr; }
  bool IsEmpty() const { return node_ == nullptr; }
  std::string_view View() const;

  bool operator==(const PString& other) const { return node_ == other.node_; }
  bool operator!=(const PString& other) const { return node_ != other.node_; }
  // Orders by text, so sorted containers are stable across runs.
  bool operator<(const PString& other) const;

  // Case-insensitive comparison with a text: the empty string equals only a null text, and a null
  // text never equals a non-empty string.
  bool EqualsIgnoreCase(const char* text) const;
  bool EqualsIgnoreCase(const PString& other) const;

  // In place: replace the handle by the lower- or upper-case form (ASCII letters).
  void ToLower();
  void ToUpper();
  PString Lower() const;
  PString Upper() const;
  // Keep the first n characters; no change when n is not below the length.
  void Left(u32 n);
  // Keep the last n characters; no change when n is not below the length.
  void KeepRight(u32 n);

  PString operator+(const char* text) const;
  PString operator+(const PString& other) const;
  PString& operator+=(const char* text) { return *this = *this + text; }
  PString& operator+=(const PString& other) { return *this = *this + other; }

  // A stable hash of the text (the node's cached hash); 0 for the empty string.
  size_t Hash() const;

  // For a producer that hands out many handles of one string, such as a parse naming its tags:
  // Reserve takes `count` references in one step, TakeReserved makes a handle from one of them
  // without a step of its own, and ReleaseReserved gives back those never taken.
  void Reserve(u32 count) const;
  PString TakeReserved() const {
    PString handle;
    handle.node_ = node_;
    return handle;
  }
  void ReleaseReserved(u32 count) const;
  // For a producer that counts the handle's own reference among those it holds in reserve, and so
  // may have given it out with TakeReserved: gives back `count` references in one step and empties
  // the handle without a step of its own.
  void DropReserved(u32 count);

  // Interns `count` texts under one hold of the cache's lock into `out`, whose handles must be
  // empty. The cache is probed for several texts at a time, so that a large batch waits on
  // memory far less than as many single calls. Each handle comes with `reserve` references
  // reserved as by Reserve, taken in the same step as its own.
  static void InternMany(const std::string_view* texts, size_t count, PString* out,
                         u32 reserve = 0);

 private:
  friend class PStringReleaser;

  Node* node_ = nullptr;
};

// Gives back the references of many handles, taking one count step for all the handles of a
// string that it sees before it ends rather than one per handle.
class PStringReleaser {
 public:
  PStringReleaser() = default;
  ~PStringReleaser() { Flush(); }
  PStringReleaser(const PStringReleaser&) = delete;
  PStringReleaser& operator=(const PStringReleaser&) = delete;

  // Empties the handle; its reference goes at the latest when the releaser ends. Inline: a tree
  // that goes whole releases a name for every tag, nearly always one its slot holds already.
  void Release(PString& text) {
    PString::Node* node = text.node_;
    if (!node) return;
    text.node_ = nullptr;
    Count(node);
  }
  // As Release, for a handle whose memory goes right after without its destructor, such as one in
  // an array being freed: the handle is left as it was, so that its memory is only read.
  void ReleaseEnding(const PString& text) {
    if (text.node_) Count(text.node_);
  }
  void Flush();

 private:
  void Count(PString::Node* node) {
    if (!used_) Clear();
    static_assert(kSlots == 64);
    Slot& slot = slots_[(reinterpret_cast<uintptr_t>(node) * 0x9E3779B97F4A7C15ull) >> 58];
    if (slot.node != node) Replace(slot, node);
    ++slot.count;
  }

  // Few strings name most handles, such as the tag names of a tree: a small table by address.
  static constexpr size_t kSlots = 64;
  struct Slot {
    PString::Node* node;
    u32 count;
  };

  void Clear();
  // Gives the slot to `node`, with no handles counted yet, releasing those of its last string.
  static void Replace(Slot& slot, PString::Node* node);
  // Cleared on the first release, so that a releaser that is never used costs nothing.
  Slot slots_[kSlots];
  bool used_ = false;
};

class PStringCache {
 public:
  // Frees every cached node that no handle refers to any more; returns how many were freed.
  // Called at every pass of a loop: it walks the table only once a quarter of its nodes came
  // in since the last walk, and returns 0 without looking otherwise.
  static size_t CollectGarbage();
  // The same walk, made at once: for those that need every dropped node gone now.
  static size_t CollectAllGarbage();
  // Number of cached nodes (live or awaiting collection).
  static size_t Size();
};

// Two adjacent strings, such as a property's name and value text.
struct PStringPair {
  PString first;
  PString second;
  PStringPair() = default;
  PStringPair(PString a, PString b) : first(std::move(a)), second(std::move(b)) {}
  PStringPair(const PStringPair&) = default;
  PStringPair& operator=(const PStringPair&) = default;
  ~PStringPair();
};

}  // namespace Qel

template <>
struct std::hash<Qel::PString> {
  size_t operator()(const Qel::PString& s) const noexcept { return s.Hash(); }
};
