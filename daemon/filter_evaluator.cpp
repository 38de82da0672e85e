#include "daemon/filter_evaluator.h"

#include <algorithm>
#include <string>

#include "assetdata/category.h"
#include "pymclient/pym_filter_codes.h"

namespace PymDaemonSrv {

namespace {

namespace fc = PymFilterCodes;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

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

FilterEvaluator::FilterEvaluator() { SetCategoryMatcher(nullptr); }

void FilterEvaluator::SetCategoryMatcher(CategoryMatcher matcher) {
  if (matcher) {
    categories_ = std::move(matcher);
  } else {
    // Category texts are expressions (OR '|', AND ';', NOT '-') over the asset's list.
    categories_ = [](std::string_view list, std::string_view expression) {
      return MatchCategoryExpression(std::string(list).c_str(), std::string(expression).c_str());
    };
  }
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

bool FilterEvaluator::MatchString(const FilterNode& node, const AssetRecord& asset) const {
  switch (node.kind) {
    case fc::kStringAssetName:
      if (node.exact) return asset.nameLower == node.textLower;
      return asset.nameLower.find(node.textLower) != std::string::npos;
    case fc::kStringCategoryList:
      return categories_(asset.categories, node.text);
    case fc::kStringEraList:
      return PlainListMatch(asset.era, node.text, true);
    case fc::kStringKeywordList:
      return PlainListMatch(asset.keywords, node.text, true);
    case fc::kStringRegionList:
      return PlainListMatch(asset.region, node.text, true);
    default:
      return false;
  }
}

bool FilterEvaluator::Matches(const FilterNode* root, const AssetRecord& asset) const {
  if (root == nullptr) return true;
  const FilterNode& node = *root;
  switch (node.type) {
    case FilterNode::Type::kGroup: {
      bool result = node.allChildren;
      for (const auto& child : node.children) {
        if (Matches(child.get(), asset) != node.allChildren) {
          result = !node.allChildren;
          break;
        }
      }
      return result != node.negated;
    }
    case FilterNode::Type::kString:
      return MatchString(node, asset);
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
      return InRange(value, node.low, node.high, node.lowInclusive, node.highInclusive);
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
      return InRange(value, node.timeLow, node.timeHigh, node.lowInclusive, node.highInclusive);
    }
    case FilterNode::Type::kAssetID:
      return node.kind == fc::kAssetIDAssetId &&
             std::binary_search(node.assets.begin(), node.assets.end(), asset.kuid);
  }
  return false;
}

}  // namespace PymDaemonSrv
