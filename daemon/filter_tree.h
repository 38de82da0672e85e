// The daemon's own reading of a search filter: the byte form parsed into a flat tree that the
// evaluator walks. Parsing is strict where the bytes are hostile (unknown tags, truncated bodies,
// nesting beyond the shared limit, more terms than kMaxFilterTerms) and never trusts a count
// beyond the bytes that are present. A parsed filter takes at most a few times its bytes: nodes
// are 16 bytes, texts and asset sets live in pools sized exactly by a counting pass.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/kuid.h"
#include "daemon/daemon_limits.h"
#include "qel/types.h"

namespace PymDaemonSrv {

struct FilterNode {
  enum class Type : u8 { kGroup, kString, kBool, kInt, kTimestamp, kAssetID };
  enum Flag : u8 {
    // Group: every child must match (the first flag); otherwise any child.
    kAllChildren = 1,
    kNegated = 2,
    kExact = 4,
    kLowInclusive = 8,
    kHighInclusive = 16,
  };

  bool Has(Flag flag) const { return (flags & flag) != 0; }

  Type type = Type::kGroup;
  u8 flags = 0;
  // String, Int, Timestamp, AssetID kind; Bool flag index.
  u32 kind = 0;
  // Index of the node after this one's subtree: a group's children follow it up to here.
  u32 end = 0;
  // String and AssetID: index of the span; Int and Timestamp: index of the bounds.
  u32 data = 0;
};
static_assert(sizeof(FilterNode) == 16);

class FilterTree {
 public:
  struct Span {
    u32 offset;
    u32 length;
  };
  // Int bounds are widened to i64 so that both integer kinds share one comparison.
  struct Bounds {
    i64 intLow;
    i64 intHigh;
    u64 timeLow;
    u64 timeHigh;
  };

  const FilterNode& Root() const { return nodes_[0]; }
  const FilterNode& Node(u32 index) const { return nodes_[index]; }
  u32 IndexOf(const FilterNode& node) const { return u32(&node - nodes_.data()); }
  size_t NodeCount() const { return nodes_.size(); }
  // A string node's text; for an asset-name node with ASCII letters lowered, so that name
  // matching need not fold it per asset. A NUL follows the text in its pool.
  std::string_view Text(const FilterNode& node) const {
    const Span& s = spans_[node.data];
    return std::string_view(texts_).substr(s.offset, s.length);
  }
  // An AssetID node's set: sorted, without duplicates.
  const KUID* AssetsBegin(const FilterNode& node) const {
    return kuids_.data() + spans_[node.data].offset;
  }
  const KUID* AssetsEnd(const FilterNode& node) const {
    return AssetsBegin(node) + spans_[node.data].length;
  }
  const Bounds& BoundsOf(const FilterNode& node) const { return bounds_[node.data]; }
  // Heap bytes the tree holds.
  size_t MemoryBytes() const;

 private:
  friend class FilterParser;

  std::vector<FilterNode> nodes_;
  std::vector<Span> spans_;
  std::vector<Bounds> bounds_;
  std::string texts_;
  std::vector<KUID> kuids_;
};

struct FilterParseResult {
  bool ok = false;
  // Null with ok set: the request carried no filter (u32 0), which matches every asset.
  std::unique_ptr<FilterTree> root;
  std::string error;
};

// Parses a whole search payload: one element (tag and body), or u32 0 for no filter. Bytes left
// over after the element are an error.
FilterParseResult ParseFilterPayload(const u8* data, size_t size);

}  // namespace PymDaemonSrv
