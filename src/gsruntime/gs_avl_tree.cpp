#include "gsruntime/gs_avl_tree.h"

namespace Utils {

namespace {

using Node = GSIAVLNode;

// The left subtree of `root` is two levels higher than its right. `shrunk` tells whether the
// rotated subtree ends up lower than before the rotation.
Node* RotateLeftHeavy(Node* root, bool* shrunk) {
  Node* l = root->left;
  if (l->balance != Node::kRightHigh) {
    root->left = l->right;
    l->right = root;
    if (l->balance == Node::kEven) {  // only after a removal
      root->balance = Node::kLeftHigh;
      l->balance = Node::kRightHigh;
      *shrunk = false;
    } else {
      root->balance = Node::kEven;
      l->balance = Node::kEven;
      *shrunk = true;
    }
    return l;
  }
  Node* g = l->right;
  l->right = g->left;
  root->left = g->right;
  g->left = l;
  g->right = root;
  root->balance = g->balance == Node::kLeftHigh ? Node::kRightHigh : Node::kEven;
  l->balance = g->balance == Node::kRightHigh ? Node::kLeftHigh : Node::kEven;
  g->balance = Node::kEven;
  *shrunk = true;
  return g;
}

Node* RotateRightHeavy(Node* root, bool* shrunk) {
  Node* r = root->right;
  if (r->balance != Node::kLeftHigh) {
    root->right = r->left;
    r->left = root;
    if (r->balance == Node::kEven) {
      root->balance = Node::kRightHigh;
      r->balance = Node::kLeftHigh;
      *shrunk = false;
    } else {
      root->balance = Node::kEven;
      r->balance = Node::kEven;
      *shrunk = true;
    }
    return r;
  }
  Node* g = r->left;
  r->left = g->right;
  root->right = g->left;
  g->right = r;
  g->left = root;
  root->balance = g->balance == Node::kRightHigh ? Node::kLeftHigh : Node::kEven;
  r->balance = g->balance == Node::kLeftHigh ? Node::kRightHigh : Node::kEven;
  g->balance = Node::kEven;
  *shrunk = true;
  return g;
}

Node* InsertAt(Node* root, Node* node, bool* grew, bool* duplicate) {
  if (root == nullptr) {
    node->left = node->right = nullptr;
    node->balance = Node::kEven;
    *grew = true;
    return node;
  }
  const int order = root->Compare(*node);
  if (order == 0) {
    *duplicate = true;
    *grew = false;
    return root;
  }
  bool shrunk = false;
  if (order > 0) {
    root->left = InsertAt(root->left, node, grew, duplicate);
    if (!*grew) return root;
    if (root->balance == Node::kRightHigh) {
      root->balance = Node::kEven;
      *grew = false;
    } else if (root->balance == Node::kEven) {
      root->balance = Node::kLeftHigh;
    } else {
      root = RotateLeftHeavy(root, &shrunk);
      *grew = false;
    }
  } else {
    root->right = InsertAt(root->right, node, grew, duplicate);
    if (!*grew) return root;
    if (root->balance == Node::kLeftHigh) {
      root->balance = Node::kEven;
      *grew = false;
    } else if (root->balance == Node::kEven) {
      root->balance = Node::kRightHigh;
    } else {
      root = RotateRightHeavy(root, &shrunk);
      *grew = false;
    }
  }
  return root;
}

// The left subtree of `root` became one level lower.
Node* LeftShrunk(Node* root, bool* shrunk) {
  if (root->balance == Node::kLeftHigh) {
    root->balance = Node::kEven;
    *shrunk = true;
    return root;
  }
  if (root->balance == Node::kEven) {
    root->balance = Node::kRightHigh;
    *shrunk = false;
    return root;
  }
  return RotateRightHeavy(root, shrunk);
}

Node* RightShrunk(Node* root, bool* shrunk) {
  if (root->balance == Node::kRightHigh) {
    root->balance = Node::kEven;
    *shrunk = true;
    return root;
  }
  if (root->balance == Node::kEven) {
    root->balance = Node::kLeftHigh;
    *shrunk = false;
    return root;
  }
  return RotateLeftHeavy(root, shrunk);
}

Node* RemoveRightmost(Node* root, Node** out, bool* shrunk) {
  if (root->right == nullptr) {
    *out = root;
    *shrunk = true;
    return root->left;
  }
  root->right = RemoveRightmost(root->right, out, shrunk);
  return *shrunk ? RightShrunk(root, shrunk) : root;
}

Node* RemoveLeftmost(Node* root, Node** out, bool* shrunk) {
  if (root->left == nullptr) {
    *out = root;
    *shrunk = true;
    return root->right;
  }
  root->left = RemoveLeftmost(root->left, out, shrunk);
  return *shrunk ? LeftShrunk(root, shrunk) : root;
}

Node* RemoveAt(Node* root, const Node& key, Node** removed, bool* shrunk) {
  if (root == nullptr) {
    *shrunk = false;
    return nullptr;
  }
  const int order = root->Compare(key);
  if (order > 0) {
    root->left = RemoveAt(root->left, key, removed, shrunk);
    return *shrunk ? LeftShrunk(root, shrunk) : root;
  }
  if (order < 0) {
    root->right = RemoveAt(root->right, key, removed, shrunk);
    return *shrunk ? RightShrunk(root, shrunk) : root;
  }
  *removed = root;
  Node* replacement = nullptr;
  if (root->left != nullptr) {
    Node* left = RemoveRightmost(root->left, &replacement, shrunk);
    replacement->left = left;
    replacement->right = root->right;
    replacement->balance = root->balance;
    return *shrunk ? LeftShrunk(replacement, shrunk) : replacement;
  }
  if (root->right != nullptr) {
    Node* right = RemoveLeftmost(root->right, &replacement, shrunk);
    replacement->right = right;
    replacement->left = nullptr;
    replacement->balance = root->balance;
    return *shrunk ? RightShrunk(replacement, shrunk) : replacement;
  }
  *shrunk = true;
  return nullptr;
}

}  // namespace

GSIAVLNode* GSIAVLTree::Find(const GSIAVLNode& key) const {
  GSIAVLNode* node = root;
  while (node != nullptr) {
    const int order = node->Compare(key);
    if (order == 0) return node;
    node = order < 0 ? node->right : node->left;
  }
  return nullptr;
}

bool GSIAVLTree::Insert(GSIAVLNode* node) {
  if (node == nullptr || count >= kMaxNodes) return false;
  bool grew = false;
  bool duplicate = false;
  root = InsertAt(root, node, &grew, &duplicate);
  if (duplicate) return false;
  ++count;
  return true;
}

GSIAVLNode* GSIAVLTree::Remove(const GSIAVLNode& key) {
  GSIAVLNode* removed = nullptr;
  bool shrunk = false;
  root = RemoveAt(root, key, &removed, &shrunk);
  if (removed != nullptr) {
    --count;
    removed->left = removed->right = nullptr;
    removed->balance = GSIAVLNode::kEven;
  }
  return removed;
}

void GSIAVLTree::Walk::PushLeftSpine(GSIAVLNode* node) {
  for (; node != nullptr && depth_ < kWalkDepth; node = node->left) stack_[depth_++] = node;
}

void GSIAVLTree::Walk::Begin(const GSIAVLTree& tree) {
  depth_ = 0;
  PushLeftSpine(tree.root);
}

void GSIAVLTree::Walk::Next() {
  if (depth_ == 0) return;
  GSIAVLNode* visited = stack_[--depth_];
  PushLeftSpine(visited->right);
}

}  // namespace Utils
