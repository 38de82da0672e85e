// Decides whether an indexed asset matches a parsed search filter.
//
// Groups: first flag 1 needs every child, 0 any child (so an empty "all" group matches every
// asset and an empty "any" group none); the negation flag inverts the group's result. Names match
// as a case-insensitive substring, or whole with the exact byte. Era, region and keyword texts
// match when every ';'-separated term is an entry of the asset's list (case-insensitive). Category
// texts go through a replaceable matcher, so that category expressions can take over from the
// plain list matching. Kinds and flag indexes that the daemon does not know match nothing.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "daemon/asset_record.h"
#include "daemon/filter_tree.h"

namespace PymDaemonSrv {

// True when the category list satisfies the expression of a category-list filter.
using CategoryMatcher =
    std::function<bool(std::string_view categories, std::string_view expression)>;

class FilterEvaluator {
 public:
  FilterEvaluator();

  // A null matcher restores category-expression matching (the default).
  void SetCategoryMatcher(CategoryMatcher matcher);

  // A null filter matches every asset. Time is linear in the filter's elements.
  bool Matches(const FilterTree* filter, const AssetRecord& asset) const;

  // Every term of `terms` (separated by ';', blanks trimmed, empty terms ignored) equals an entry
  // of `list` (separated by ';' or ','). No terms at all match any list.
  static bool PlainListMatch(std::string_view list, std::string_view terms, bool ignoreCase);

  // The parts of Matches that the search index calls on its own columns. The asset's list that a
  // string node of this kind reads (categories, era, keywords, region); null for the name and for
  // kinds the daemon does not know.
  static const std::string* ListField(u32 kind, const AssetRecord& asset);
  // A name node against the asset's lower-case name.
  static bool MatchName(const FilterTree& tree, const FilterNode& node, std::string_view nameLower);
  // A list node (a kind that ListField knows) against that list.
  bool MatchList(const FilterTree& tree, const FilterNode& node, const std::string& list) const;

 private:
  bool MatchNode(const FilterTree& tree, const FilterNode& node, const AssetRecord& asset) const;
  bool MatchString(const FilterTree& tree, const FilterNode& node, const AssetRecord& asset) const;

  CategoryMatcher categories_;
};

}  // namespace PymDaemonSrv
