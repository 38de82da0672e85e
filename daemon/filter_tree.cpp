#include "daemon/filter_tree.h"

#include <algorithm>

#include "daemon/byte_cursor.h"
#include "daemon/daemon_limits.h"
#include "pymclient/pym_filter_codes.h"

namespace PymDaemonSrv {

namespace {

namespace fc = PymFilterCodes;

// Smallest possible element: a bool (tag and index). Bounds child counts against the bytes left.
constexpr size_t kMinElementSize = 8;
constexpr size_t kKUIDSize = 8;

class FilterParser {
 public:
  FilterParser(const u8* data, size_t size) : in_(data, size) {}

  FilterParseResult Parse() {
    FilterParseResult result;
    u32 tag;
    if (!in_.ReadU32(tag)) return Failed("filter shorter than its tag");
    if (tag != fc::kTagNone) {
      result.root = ReadElement(tag, 1);
      if (!result.root) return Failed(error_);
    }
    if (in_.Remaining() != 0) return Failed("bytes left after the filter");
    result.ok = true;
    return result;
  }

 private:
  FilterParseResult Failed(std::string text) {
    FilterParseResult result;
    result.error = std::move(text);
    return result;
  }

  std::unique_ptr<FilterNode> Error(const char* text) {
    if (error_.empty()) error_ = text;
    return nullptr;
  }

  bool ReadFlag(bool& out) {
    u8 b;
    if (!in_.ReadU8(b)) return false;
    out = b != 0;
    return true;
  }

  std::unique_ptr<FilterNode> ReadElement(u32 tag, u32 level) {
    if (level > fc::kMaxNesting) return Error("filter nested too deeply");
    auto node = std::make_unique<FilterNode>();
    bool ok = false;
    switch (tag) {
      case fc::kTagGroup: {
        node->type = FilterNode::Type::kGroup;
        u32 count = 0;
        ok = ReadFlag(node->allChildren) && ReadFlag(node->negated) && in_.ReadU32(count);
        if (!ok) break;
        if (count > in_.Remaining() / kMinElementSize) return Error("filter group count too large");
        node->children.reserve(count);
        for (u32 i = 0; i < count; ++i) {
          u32 childTag;
          if (!in_.ReadU32(childTag)) return Error("filter truncated");
          auto child = ReadElement(childTag, level + 1);
          if (!child) return nullptr;
          node->children.push_back(std::move(child));
        }
        break;
      }
      case fc::kTagString:
        node->type = FilterNode::Type::kString;
        ok = in_.ReadU32(node->kind) && in_.ReadText(node->text, kMaxFilterText) &&
             ReadFlag(node->exact);
        node->textLower = node->text;
        for (char& c : node->textLower) {
          if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        }
        break;
      case fc::kTagBool:
        node->type = FilterNode::Type::kBool;
        ok = in_.ReadU32(node->kind);
        break;
      case fc::kTagInt: {
        node->type = FilterNode::Type::kInt;
        i32 low = 0;
        i32 high = 0;
        ok = in_.ReadU32(node->kind) && in_.ReadI32(low) && in_.ReadI32(high) &&
             ReadFlag(node->lowInclusive) && ReadFlag(node->highInclusive);
        node->low = low;
        node->high = high;
        break;
      }
      case fc::kTagTimestamp:
        node->type = FilterNode::Type::kTimestamp;
        ok = in_.ReadU32(node->kind) && in_.ReadU64(node->timeLow) && in_.ReadU64(node->timeHigh) &&
             ReadFlag(node->lowInclusive) && ReadFlag(node->highInclusive);
        break;
      case fc::kTagAssetID: {
        node->type = FilterNode::Type::kAssetID;
        u32 count = 0;
        ok = in_.ReadU32(node->kind) && in_.ReadU32(count);
        if (!ok) break;
        if (count > in_.Remaining() / kKUIDSize) return Error("filter asset count too large");
        node->assets.resize(count);
        for (u32 i = 0; i < count && ok; ++i) ok = in_.ReadKUID(node->assets[i]);
        std::sort(node->assets.begin(), node->assets.end());
        node->assets.erase(std::unique(node->assets.begin(), node->assets.end()),
                           node->assets.end());
        break;
      }
      default:
        return Error("unknown filter element tag");
    }
    if (!ok) return Error("filter truncated");
    return node;
  }

  ByteCursor in_;
  std::string error_;
};

}  // namespace

FilterParseResult ParseFilterPayload(const u8* data, size_t size) {
  return FilterParser(data, size).Parse();
}

}  // namespace PymDaemonSrv
