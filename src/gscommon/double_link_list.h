// An intrusive doubly linked list with an embedded sentinel. Nodes derive from
// IDoubleLinkListNode and belong to at most one list at a time; the list never owns them unless
// DeleteAll is called.
#pragma once

#include "qel/types.h"

namespace Utils {

class IDoubleLinkListNode {
 public:
  IDoubleLinkListNode() = default;
  IDoubleLinkListNode(const IDoubleLinkListNode&) = delete;
  IDoubleLinkListNode& operator=(const IDoubleLinkListNode&) = delete;
  // A node destroyed while still linked takes itself out of its neighbours' links, so walks stay
  // sound; remove nodes first all the same, or the list's count runs ahead.
  virtual ~IDoubleLinkListNode();

  bool IsLinked() const { return next_ != nullptr; }

 private:
  friend class DoubleLinkList;
  IDoubleLinkListNode* next_ = nullptr;
  IDoubleLinkListNode* previous_ = nullptr;
};

class DoubleLinkList {
 public:
  DoubleLinkList();
  // Unlinks the remaining nodes without deleting them.
  ~DoubleLinkList();
  DoubleLinkList(const DoubleLinkList&) = delete;
  DoubleLinkList& operator=(const DoubleLinkList&) = delete;

  // Insertions refuse a null node and a node that is already in a list.
  bool PushBack(IDoubleLinkListNode* node);
  bool PushFront(IDoubleLinkListNode* node);
  // Inserts `node` before `position`, a node of this list.
  bool InsertBefore(IDoubleLinkListNode* position, IDoubleLinkListNode* node);
  // Unlinks a node of this list; false for a node that is in no list.
  bool Remove(IDoubleLinkListNode* node);
  // Unlinks and deletes every node, first to last.
  void DeleteAll();

  // Walks; null past either end.
  IDoubleLinkListNode* First() const { return Real(sentinel_.next_); }
  IDoubleLinkListNode* Last() const { return Real(sentinel_.previous_); }
  IDoubleLinkListNode* Next(const IDoubleLinkListNode* node) const { return Real(node->next_); }
  IDoubleLinkListNode* Previous(const IDoubleLinkListNode* node) const {
    return Real(node->previous_);
  }

  u32 Count() const { return count_; }
  bool IsEmpty() const { return count_ == 0; }

 private:
  IDoubleLinkListNode* Real(IDoubleLinkListNode* node) const {
    return node == &sentinel_ ? nullptr : node;
  }
  void LinkBetween(IDoubleLinkListNode* node, IDoubleLinkListNode* previous,
                   IDoubleLinkListNode* next);

  u32 count_ = 0;
  // The end marker: the first node's previous and the last node's next.
  IDoubleLinkListNode sentinel_;
};

}  // namespace Utils
