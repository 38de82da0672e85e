// A map from points to values that answers exact-match lookups: every value stored under a point
// equal, coordinate for coordinate, to the query (so +0 equals -0 and NaN matches nothing). The
// node pointer array holds an arranged prefix, a kd-tree laid out implicitly by median splits,
// and a tail of nodes inserted since, scanned linearly. A policy decides when the whole array is
// arranged again; with the automatic policy (the default) a map filled by alternating lookups and
// inserts rearranges once the tail passes 1000 entries or an eighth of the arranged part.
#pragma once

#include <cmath>
#include <utility>

#include "mesh/kq_array.h"
#include "mesh/kq_memory_chain.h"
#include "qel/types.h"

template <typename Value, typename Coord, int Dims, int BlockNodes>
class KQMapKDTree {
 public:
  // Rebuild policy codes; N >= 0 rebuilds when the count passes N.
  static constexpr i32 kPolicyNever = -1;
  static constexpr i32 kPolicyAlways = -2;
  static constexpr i32 kPolicyAutomatic = -3;

  struct Node {
    Coord point[Dims];
    u8 axis;     // split axis once arranged; 0xFF when inserted
    u8 deleted;  // 1 when the node no longer counts
    Value value;
  };

  KQMapKDTree() : nodes_(1), chain_(u32(sizeof(Node)) * BlockNodes, u32(sizeof(Node))) {}
  virtual ~KQMapKDTree() = default;
  KQMapKDTree(const KQMapKDTree&) = delete;
  KQMapKDTree& operator=(const KQMapKDTree&) = delete;

  void Insert(const Coord* point, Value value) {
    Node* node = static_cast<Node*>(chain_.Carve());
    for (int i = 0; i < Dims; ++i) node->point[i] = point[i];
    node->axis = 0xFF;
    node->deleted = 0;
    node->value = value;
    nodes_.Add(node);
    ++insertsSinceBuild_;
    if (!lazy_ && insertPolicy_ != kPolicyNever && Asks(insertPolicy_, insertsSinceBuild_, true)) {
      Rebuild();
    }
  }

  // Fills results with the values stored under the point; returns their count.
  i32 Lookup(const Coord* point, KQArray<Value>& results) {
    if (lazy_ && (Asks(insertPolicy_, insertsSinceBuild_, true) ||
                  Asks(lookupPolicy_, removalsSinceBuild_, false))) {
      Rebuild();
    }
    results.Clear();
    for (int i = 0; i < Dims; ++i) {
      if (std::isnan(point[i])) return 0;
    }
    query_ = point;
    results_ = &results;
    if (builtSize_ > 0) Search(0, builtSize_ - 1);
    for (i32 i = builtSize_; i < nodes_.Count(); ++i) Collect(nodes_[i]);
    results_ = nullptr;
    return results.Count();
  }

  // Arranges the whole array; the tail becomes empty.
  void Rebuild() {
    builtSize_ = nodes_.Count();
    insertsSinceBuild_ = 0;
    removalsSinceBuild_ = 0;
    Arrange(0, builtSize_ - 1);
  }

  i32 GetCount() const { return nodes_.Count(); }
  i32 GetBuiltSize() const { return builtSize_; }
  i32 GetInsertsSinceBuild() const { return insertsSinceBuild_; }

 private:
  // Whether a policy asks for a rebuild at this count of inserts (or of removals).
  bool Asks(i32 policy, i32 count, bool inserts) const {
    if (policy == kPolicyNever) return false;
    if (policy == kPolicyAlways) return true;
    if (policy >= 0) return count > policy;
    if (inserts) return count >= 1001 || (count >= 11 && i64(count) * 8 > builtSize_);
    return count >= 11 && i64(count) * 4 > builtSize_;
  }

  bool Matches(const Node* node) const {
    if (node->deleted) return false;
    for (int i = 0; i < Dims; ++i) {
      if (!(node->point[i] == query_[i])) return false;
    }
    return true;
  }
  void Collect(const Node* node) {
    if (Matches(node)) results_->Add(node->value);
  }

  void Search(i32 lo, i32 hi) {
    while (lo <= hi) {
      const i32 mid = lo + (hi - lo) / 2;
      const Node* node = nodes_[mid];
      const Coord diff = query_[node->axis] - node->point[node->axis];
      if (diff < 0) {
        hi = mid - 1;
      } else if (diff > 0) {
        lo = mid + 1;
      } else {
        // Equal on the axis, or a stored NaN that orders nothing: both sides may hold matches.
        Collect(node);
        Search(lo, mid - 1);
        lo = mid + 1;
      }
    }
  }

  void Arrange(i32 lo, i32 hi) {
    if (hi < lo) return;
    if (hi == lo) {
      nodes_[lo]->axis = 0;
      return;
    }
    const int axis = WidestAxis(lo, hi);
    const i32 mid = lo + (hi - lo) / 2;
    Select(lo, hi, mid, axis);
    nodes_[mid]->axis = u8(axis);
    Arrange(lo, mid - 1);
    Arrange(mid + 1, hi);
  }

  // The axis of the largest extent; ties keep the lower axis.
  int WidestAxis(i32 lo, i32 hi) const {
    Coord min[Dims], max[Dims];
    for (int i = 0; i < Dims; ++i) min[i] = max[i] = nodes_[lo]->point[i];
    for (i32 k = lo + 1; k <= hi; ++k) {
      for (int i = 0; i < Dims; ++i) {
        const Coord c = nodes_[k]->point[i];
        if (c < min[i]) min[i] = c;
        if (c > max[i]) max[i] = c;
      }
    }
    int axis = 0;
    for (int i = 1; i < Dims; ++i) {
      if (max[axis] - min[axis] < max[i] - min[i]) axis = i;
    }
    return axis;
  }

  // Quick-select: afterwards entry k is the one a full sort on the axis would put there, with
  // nothing greater before it and nothing smaller after it. Hoare partitions around the median of
  // the first, middle and last entries; a pivot taken from the range keeps every scan inside it.
  void Select(i32 lo, i32 hi, i32 k, int axis) {
    Node** a = nodes_.Data();
    while (hi > lo) {
      Coord first = a[lo]->point[axis], middle = a[lo + (hi - lo) / 2]->point[axis],
            last = a[hi]->point[axis];
      if (middle < first) std::swap(first, middle);
      if (last < middle) std::swap(middle, last);
      if (middle < first) std::swap(first, middle);
      const Coord pivot = middle;
      i32 i = lo - 1;
      i32 j = hi + 1;
      for (;;) {
        do {
          ++i;
        } while (a[i]->point[axis] < pivot);
        do {
          --j;
        } while (a[j]->point[axis] > pivot);
        if (i >= j) break;
        std::swap(a[i], a[j]);
      }
      if (k <= j) {
        hi = j;
      } else {
        lo = j + 1;
      }
    }
  }

  KQArray<Node*> nodes_;
  KQMemoryChain chain_;
  i32 builtSize_ = 0;
  i32 insertsSinceBuild_ = 0;
  i32 removalsSinceBuild_ = 0;
  i32 insertPolicy_ = kPolicyAutomatic;
  i32 lookupPolicy_ = kPolicyAutomatic;
  bool lazy_ = true;
  const Coord* query_ = nullptr;
  KQArray<Value>* results_ = nullptr;
};
