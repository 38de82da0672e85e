#include "daemon/filter_evaluator.h"

#include <algorithm>
#include <string>

#include "assetdata/category.h"
#include "platform/ascii_text.h"
#include "pymclient/pym_filter_codes.h"

namespace PymDaemonSrv {

namespace {

namespace fc = PymFilterCodes;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameText(std::string_view a, std::string_view b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  if (!ignoreCase) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool ListHasEntry(std::string_view list, std::string_view term, bool ignoreCase) {
  while (!list.empty()) {
    const size_t end = list.find_first_of(";,");
    if (SameText(Trim(list.substr(0, end)), term, ignoreCase)) return true;
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return false;
}

template <typename T>
bool InRange(T value, T low, T high, bool lowInclusive, bool highInclusive) {
  const bool aboveLow = lowInclusive ? value >= low : value > low;
  const bool belowHigh = highInclusive ? value <= high : value < high;
  return aboveLow && belowHigh;
}

}  // namespace

FilterEvaluator::FilterEvaluator() = default;

void FilterEvaluator::SetCategoryMatcher(CategoryMatcher matcher) {
  categories_ = std::move(matcher);
}

bool FilterEvaluator::PlainListMatch(std::string_view list, std::string_view terms,
                                     bool ignoreCase) {
  while (!terms.empty()) {
    const size_t end = terms.find(';');
    const std::string_view term = Trim(terms.substr(0, end));
    if (!term.empty() && !ListHasEntry(list, term, ignoreCase)) return false;
    if (end == std::string_view::npos) break;
    terms.remove_prefix(end + 1);
  }
  return true;
}

const std::string* FilterEvaluator::ListField(u32 kind, const AssetRecord& asset) {
  switch (kind) {
    case fc::kStringCategoryList:
      return &asset.categories;
    case fc::kStringEraList:
      return &asset.era;
    case fc::kStringKeywordList:
      return &asset.keywords;
    case fc::kStringRegionList:
      return &asset.region;
    default:
      return nullptr;
  }
}

bool FilterEvaluator::MatchName(const FilterTree& tree, const FilterNode& node,
                                std::string_view nameLower) {
  const std::string_view text = tree.Text(node);
  if (node.Has(FilterNode::kExact)) return nameLower == text;
  return nameLower.find(text) != std::string_view::npos;
}

bool FilterEvaluator::MatchList(const FilterTree& tree, const FilterNode& node,
                                const std::string& list) const {
  const std::string_view text = tree.Text(node);
  switch (node.kind) {
    case fc::kStringCategoryList:
      // Category texts are expressions (OR '|', AND ';', NOT '-') over the asset's list; both
      // texts end in a NUL already, so nothing is copied per asset.
      if (!categories_) return MatchCategoryExpression(list.c_str(), text.data());
      return categories_(list, text);
    case fc::kStringEraList:
    case fc::kStringKeywordList:
    case fc::kStringRegionList:
      return PlainListMatch(list, text, true);
    default:
      return false;
  }
}

bool FilterEvaluator::MatchString(const FilterTree& tree, const FilterNode& node,
                                  const AssetRecord& asset) const {
  if (node.kind == fc::kStringAssetName) return MatchName(tree, node, asset.nameLower);
  const std::string* list = ListField(node.kind, asset);
  return list != nullptr && MatchList(tree, node, *list);
}

bool FilterEvaluator::Matches(const FilterTree* filter, const AssetRecord& asset) const {
  return filter == nullptr || MatchNode(*filter, filter->Root(), asset);
}

bool FilterEvaluator::MatchNode(const FilterTree& tree, const FilterNode& node,
                                const AssetRecord& asset) const {
  switch (node.type) {
    case FilterNode::Type::kGroup: {
      const bool all = node.Has(FilterNode::kAllChildren);
      bool result = all;
      for (u32 child = tree.IndexOf(node) + 1; child < node.end; child = tree.Node(child).end) {
        if (MatchNode(tree, tree.Node(child), asset) != all) {
          result = !all;
          break;
        }
      }
      return result != node.Has(FilterNode::kNegated);
    }
    case FilterNode::Type::kString:
      return MatchString(tree, node, asset);
    case FilterNode::Type::kBool:
      return node.kind < fc::kFlagCount && asset.HasFlag(node.kind);
    case FilterNode::Type::kInt: {
      i64 value;
      switch (node.kind) {
        case fc::kIntLocalRating:
          value = asset.rating;
          break;
        case fc::kIntAuthor:
          value = asset.kuid.userId;
          break;
        case fc::kIntVersion:
          value = asset.kuid.version;
          break;
        default:
          return false;
      }
      const FilterTree::Bounds& b = tree.BoundsOf(node);
      return InRange(value, b.intLow, b.intHigh, node.Has(FilterNode::kLowInclusive),
                     node.Has(FilterNode::kHighInclusive));
    }
    case FilterNode::Type::kTimestamp: {
      u64 value;
      switch (node.kind) {
        case fc::kTimestampInstallation:
          value = asset.installTime;
          break;
        case fc::kTimestampModification:
          value = asset.modifyTime;
          break;
        default:
          return false;
      }
      const FilterTree::Bounds& b = tree.BoundsOf(node);
      return InRange(value, b.timeLow, b.timeHigh, node.Has(FilterNode::kLowInclusive),
                     node.Has(FilterNode::kHighInclusive));
    }
    case FilterNode::Type::kAssetID:
      return node.kind == fc::kAssetIDAssetId &&
             std::binary_search(tree.AssetsBegin(node), tree.AssetsEnd(node), asset.kuid);
  }
  return false;
}

}  // namespace PymDaemonSrv
