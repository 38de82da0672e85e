// A balanced (AVL) search tree of intrusive nodes, walked in key order with a fixed stack. The
// tree does not own its nodes. Its height stays within the walk's 32 levels: an insert beyond
// kMaxNodes nodes is refused.
#pragma once

#include "qel/types.h"

namespace Utils {

class GSIAVLNode {
 public:
  enum Balance : u32 { kLeftHigh = 0, kEven = 1, kRightHigh = 2 };

  virtual ~GSIAVLNode() = default;
  // -1, 0 or 1 as this node's key is below, equal to or above the other's.
  virtual int Compare(const GSIAVLNode& other) const = 0;

  u32 balance = kEven;
  GSIAVLNode* left = nullptr;
  GSIAVLNode* right = nullptr;
};

class GSIAVLTree {
 public:
  // Fewer nodes than the smallest AVL tree of 33 levels.
  static constexpr u32 kMaxNodes = 9227463;
  static constexpr u32 kWalkDepth = 32;

  GSIAVLTree() = default;
  virtual ~GSIAVLTree() = default;
  GSIAVLTree(const GSIAVLTree&) = delete;
  GSIAVLTree& operator=(const GSIAVLTree&) = delete;

  GSIAVLNode* Find(const GSIAVLNode& key) const;
  // False, the tree unchanged, when the key is present or the tree is full.
  bool Insert(GSIAVLNode* node);
  // Unlinks the node with that key and returns it; null when there is none.
  GSIAVLNode* Remove(const GSIAVLNode& key);

  // The in-order walk.
  class Walk {
   public:
    void Begin(const GSIAVLTree& tree);
    void Next();

    GSIAVLNode* Current() const { return depth_ > 0 ? stack_[depth_ - 1] : nullptr; }

   private:
    void PushLeftSpine(GSIAVLNode* node);

    // The path from the root to the current node, less the nodes already passed on the left.
    GSIAVLNode* stack_[kWalkDepth] = {};
    u32 depth_ = 0;
  };

  GSIAVLNode* root = nullptr;
  u32 count = 0;
};

}  // namespace Utils
