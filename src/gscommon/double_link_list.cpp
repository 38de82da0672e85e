#include "gscommon/double_link_list.h"

namespace Utils {

IDoubleLinkListNode::~IDoubleLinkListNode() {
  if (next_ != nullptr) {
    previous_->next_ = next_;
    next_->previous_ = previous_;
  }
}

DoubleLinkList::DoubleLinkList() {
  sentinel_.next_ = &sentinel_;
  sentinel_.previous_ = &sentinel_;
}

DoubleLinkList::~DoubleLinkList() {
  // Nodes may outlive the list; leave them unlinked so they can join another one.
  IDoubleLinkListNode* node = sentinel_.next_;
  while (node != &sentinel_) {
    IDoubleLinkListNode* next = node->next_;
    node->next_ = node->previous_ = nullptr;
    node = next;
  }
  sentinel_.next_ = sentinel_.previous_ = nullptr;
}

void DoubleLinkList::LinkBetween(IDoubleLinkListNode* node, IDoubleLinkListNode* previous,
                                 IDoubleLinkListNode* next) {
  node->previous_ = previous;
  node->next_ = next;
  previous->next_ = node;
  next->previous_ = node;
  ++count_;
}

bool DoubleLinkList::PushBack(IDoubleLinkListNode* node) {
  if (node == nullptr || node->IsLinked()) return false;
  LinkBetween(node, sentinel_.previous_, &sentinel_);
  return true;
}

bool DoubleLinkList::PushFront(IDoubleLinkListNode* node) {
  if (node == nullptr || node->IsLinked()) return false;
  LinkBetween(node, &sentinel_, sentinel_.next_);
  return true;
}

bool DoubleLinkList::InsertBefore(IDoubleLinkListNode* position, IDoubleLinkListNode* node) {
  if (position == nullptr || !position->IsLinked() || node == nullptr || node->IsLinked()) {
    return false;
  }
  LinkBetween(node, position->previous_, position);
  return true;
}

bool DoubleLinkList::Remove(IDoubleLinkListNode* node) {
  if (node == nullptr || !node->IsLinked() || node == &sentinel_) return false;
  node->previous_->next_ = node->next_;
  node->next_->previous_ = node->previous_;
  node->next_ = node->previous_ = nullptr;
  --count_;
  return true;
}

void DoubleLinkList::DeleteAll() {
  while (IDoubleLinkListNode* node = First()) {
    Remove(node);
    delete node;
  }
}

}  // namespace Utils
