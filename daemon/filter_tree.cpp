#include "daemon/filter_tree.h"

#include <algorithm>

#include "daemon/byte_cursor.h"
#include "daemon/daemon_limits.h"
#include "platform/ascii_text.h"
#include "pymclient/pym_filter_codes.h"

namespace PymDaemonSrv {

namespace fc = PymFilterCodes;

namespace {

// Smallest possible element: a bool (tag and index). Bounds child counts against the bytes left.
constexpr size_t kMinElementSize = 8;
constexpr size_t kKUIDSize = 8;

}  // namespace

// Reads the bytes twice: a counting pass that also validates, then a filling pass into storage
// reserved to the exact size, so that a large filter costs no growth slack.
class FilterParser {
 public:
  FilterParser(const u8* data, size_t size) : data_(data), size_(size) {}

  FilterParseResult Parse() {
    FilterParseResult result;
    u32 tag = 0;
    if (!Pass(tag)) {
      result.error = error_;
      return result;
    }
    if (tag != fc::kTagNone) {
      auto tree = std::make_unique<FilterTree>();
      tree->nodes_.reserve(nodeCount_);
      tree->spans_.reserve(spanCount_);
      tree->bounds_.reserve(boundsCount_);
      tree->texts_.reserve(textBytes_);
      tree->kuids_.reserve(kuidCount_);
      tree_ = tree.get();
      if (!Pass(tag)) {
        result.error = error_;
        return result;
      }
      result.root = std::move(tree);
    }
    result.ok = true;
    return result;
  }

 private:
  bool Pass(u32& tag) {
    in_ = ByteCursor(data_, size_);
    terms_ = 0;
    if (!in_.ReadU32(tag)) return Error("filter shorter than its tag");
    if (tag != fc::kTagNone && !ReadElement(tag, 1)) return false;
    if (in_.Remaining() != 0) return Error("bytes left after the filter");
    return true;
  }

  bool Error(const char* text) {
    if (error_.empty()) error_ = text;
    return false;
  }

  bool ReadFlag(u8& flags, FilterNode::Flag flag) {
    u8 b;
    if (!in_.ReadU8(b)) return false;
    if (b != 0) flags |= flag;
    return true;
  }

  // Adds the node (filling pass) or counts it; returns its index.
  u32 AddNode(const FilterNode& node) {
    if (tree_ == nullptr) return nodeCount_++;
    tree_->nodes_.push_back(node);
    return u32(tree_->nodes_.size() - 1);
  }

  bool ReadElement(u32 tag, u32 level) {
    if (level > fc::kMaxNesting) return Error("filter nested too deeply");
    if (++terms_ > kMaxFilterTerms) return Error("filter has too many terms");
    FilterNode node;
    bool ok = false;
    switch (tag) {
      case fc::kTagGroup: {
        node.type = FilterNode::Type::kGroup;
        u32 count = 0;
        ok = ReadFlag(node.flags, FilterNode::kAllChildren) &&
             ReadFlag(node.flags, FilterNode::kNegated) && in_.ReadU32(count);
        if (!ok) break;
        if (count > in_.Remaining() / kMinElementSize) return Error("filter group count too large");
        const u32 self = AddNode(node);
        for (u32 i = 0; i < count; ++i) {
          u32 childTag;
          if (!in_.ReadU32(childTag)) return Error("filter truncated");
          if (!ReadElement(childTag, level + 1)) return false;
        }
        if (tree_ != nullptr) tree_->nodes_[self].end = u32(tree_->nodes_.size());
        return true;
      }
      case fc::kTagString: {
        node.type = FilterNode::Type::kString;
        std::string text;
        ok = in_.ReadU32(node.kind) && in_.ReadText(text, kMaxFilterText) &&
             ReadFlag(node.flags, FilterNode::kExact);
        if (!ok) break;
        if (node.kind == fc::kStringAssetName) {
          for (char& c : text) c = LowerAscii(c);
        }
        if (tree_ == nullptr) {
          ++spanCount_;
          textBytes_ += text.size() + 1;
        } else {
          node.data = u32(tree_->spans_.size());
          tree_->spans_.push_back({u32(tree_->texts_.size()), u32(text.size())});
          tree_->texts_ += text;
          tree_->texts_ += '\0';
        }
        break;
      }
      case fc::kTagBool:
        node.type = FilterNode::Type::kBool;
        ok = in_.ReadU32(node.kind);
        break;
      case fc::kTagInt: {
        node.type = FilterNode::Type::kInt;
        i32 low = 0;
        i32 high = 0;
        ok = in_.ReadU32(node.kind) && in_.ReadI32(low) && in_.ReadI32(high) &&
             ReadFlag(node.flags, FilterNode::kLowInclusive) &&
             ReadFlag(node.flags, FilterNode::kHighInclusive);
        if (ok) AddBounds(node, {low, high, 0, 0});
        break;
      }
      case fc::kTagTimestamp: {
        node.type = FilterNode::Type::kTimestamp;
        u64 low = 0;
        u64 high = 0;
        ok = in_.ReadU32(node.kind) && in_.ReadU64(low) && in_.ReadU64(high) &&
             ReadFlag(node.flags, FilterNode::kLowInclusive) &&
             ReadFlag(node.flags, FilterNode::kHighInclusive);
        if (ok) AddBounds(node, {0, 0, low, high});
        break;
      }
      case fc::kTagAssetID: {
        node.type = FilterNode::Type::kAssetID;
        u32 count = 0;
        ok = in_.ReadU32(node.kind) && in_.ReadU32(count);
        if (!ok) break;
        if (count > in_.Remaining() / kKUIDSize) return Error("filter asset count too large");
        if (tree_ == nullptr) {
          ++spanCount_;
          kuidCount_ += count;
          for (u32 i = 0; i < count && ok; ++i) {
            KUID kuid;
            ok = in_.ReadKUID(kuid);
          }
          break;
        }
        std::vector<KUID>& pool = tree_->kuids_;
        const size_t first = pool.size();
        for (u32 i = 0; i < count && ok; ++i) {
          KUID kuid;
          ok = in_.ReadKUID(kuid);
          pool.push_back(kuid);
        }
        const auto begin = pool.begin() + long(first);
        std::sort(begin, pool.end());
        pool.erase(std::unique(begin, pool.end()), pool.end());
        node.data = u32(tree_->spans_.size());
        tree_->spans_.push_back({u32(first), u32(pool.size() - first)});
        break;
      }
      default:
        return Error("unknown filter element tag");
    }
    if (!ok) return Error("filter truncated");
    const u32 self = AddNode(node);
    if (tree_ != nullptr) tree_->nodes_[self].end = self + 1;
    return true;
  }

  void AddBounds(FilterNode& node, const FilterTree::Bounds& bounds) {
    if (tree_ == nullptr) {
      ++boundsCount_;
      return;
    }
    node.data = u32(tree_->bounds_.size());
    tree_->bounds_.push_back(bounds);
  }

  const u8* data_;
  size_t size_;
  ByteCursor in_{nullptr, 0};
  std::string error_;
  // Null in the counting pass.
  FilterTree* tree_ = nullptr;
  u32 terms_ = 0;
  u32 nodeCount_ = 0;
  u32 spanCount_ = 0;
  u32 boundsCount_ = 0;
  size_t textBytes_ = 0;
  size_t kuidCount_ = 0;
};

size_t FilterTree::MemoryBytes() const {
  return sizeof(*this) + nodes_.capacity() * sizeof(FilterNode) + spans_.capacity() * sizeof(Span) +
         bounds_.capacity() * sizeof(Bounds) + texts_.capacity() + kuids_.capacity() * sizeof(KUID);
}

FilterParseResult ParseFilterPayload(const u8* data, size_t size) {
  return FilterParser(data, size).Parse();
}

}  // namespace PymDaemonSrv
