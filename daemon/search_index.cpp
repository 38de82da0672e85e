#include "daemon/search_index.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "pymclient/pym_filter_codes.h"

namespace PymDaemonSrv {

namespace {

namespace fc = PymFilterCodes;

template <typename T>
bool InRange(T value, T low, T high, bool lowInclusive, bool highInclusive) {
  const bool aboveLow = lowInclusive ? value >= low : value > low;
  const bool belowHigh = highInclusive ? value <= high : value < high;
  return aboveLow && belowHigh;
}

// The order in which a group tries its terms: those that cost least per record first.
int CostOf(const FilterNode& node) {
  switch (node.type) {
    case FilterNode::Type::kString:
      return node.kind == fc::kStringAssetName ? 2 : 1;
    case FilterNode::Type::kGroup:
      return 3;
    default:
      return 0;
  }
}

}  // namespace

SearchIndex::SearchIndex(const std::vector<std::unique_ptr<AssetRecord>>& records)
    : size_(records.size()) {
  kuids_.reserve(size_);
  flags_.reserve(size_);
  ratings_.reserve(size_);
  installTimes_.reserve(size_);
  modifyTimes_.reserve(size_);
  nameStarts_.reserve(size_ + 1);
  size_t nameBytes = 0;
  for (const auto& r : records) nameBytes += r->nameLower.size();
  names_.reserve(nameBytes);
  struct Builder {
    ListColumn* column;
    u32 kind;
    std::unordered_map<std::string_view, u32> known;
  };
  Builder lists[] = {{&categories_, fc::kStringCategoryList, {}},
                     {&eras_, fc::kStringEraList, {}},
                     {&keywords_, fc::kStringKeywordList, {}},
                     {&regions_, fc::kStringRegionList, {}}};
  for (Builder& b : lists) b.column->ids.reserve(size_);
  for (const auto& r : records) {
    kuids_.push_back(r->kuid);
    flags_.push_back(r->flags);
    ratings_.push_back(r->rating);
    installTimes_.push_back(r->installTime);
    modifyTimes_.push_back(r->modifyTime);
    nameStarts_.push_back(names_.size());
    names_ += r->nameLower;
    for (Builder& b : lists) {
      // The views point into the records, which outlive the build.
      const std::string& text = *FilterEvaluator::ListField(b.kind, *r);
      auto [it, added] = b.known.try_emplace(text, u32(b.column->values.size()));
      if (added) b.column->values.push_back(text);
      b.column->ids.push_back(it->second);
    }
  }
  nameStarts_.push_back(names_.size());
}

// One query: the filter's terms evaluated over sets of record positions.
class SearchIndex::Query {
 public:
  Query(const SearchIndex& index, const FilterTree& tree, const FilterEvaluator& evaluator)
      : index_(index), tree_(tree), evaluator_(evaluator), words_((index.size_ + 63) / 64) {}

  Bits All() const {
    Bits bits(words_, ~u64(0));
    if (index_.size_ % 64 != 0) bits.back() = (u64(1) << (index_.size_ % 64)) - 1;
    return bits;
  }

  // The records of `in` that the node matches.
  Bits Match(const FilterNode& node, const Bits& in) {
    switch (node.type) {
      case FilterNode::Type::kGroup:
        return MatchGroup(node, in);
      case FilterNode::Type::kString:
        return MatchString(node, in);
      case FilterNode::Type::kBool: {
        if (node.kind >= fc::kFlagCount || node.kind >= 32) return Bits(words_, 0);
        const u32 bit = u32(1) << node.kind;
        return Select(in, [&](size_t i) { return (index_.flags_[i] & bit) != 0; });
      }
      case FilterNode::Type::kInt:
        return MatchInt(node, in);
      case FilterNode::Type::kTimestamp: {
        const std::vector<u64>* column =
            node.kind == fc::kTimestampInstallation   ? &index_.installTimes_
            : node.kind == fc::kTimestampModification ? &index_.modifyTimes_
                                                      : nullptr;
        if (column == nullptr) return Bits(words_, 0);
        const FilterTree::Bounds& b = tree_.BoundsOf(node);
        const bool lowIn = node.Has(FilterNode::kLowInclusive);
        const bool highIn = node.Has(FilterNode::kHighInclusive);
        return Select(in, [&](size_t i) {
          return InRange((*column)[i], b.timeLow, b.timeHigh, lowIn, highIn);
        });
      }
      case FilterNode::Type::kAssetID: {
        Bits out(words_, 0);
        if (node.kind != fc::kAssetIDAssetId) return out;
        for (const KUID* k = tree_.AssetsBegin(node); k != tree_.AssetsEnd(node); ++k) {
          auto it = std::lower_bound(index_.kuids_.begin(), index_.kuids_.end(), *k);
          if (it == index_.kuids_.end() || *it != *k) continue;
          const size_t i = size_t(it - index_.kuids_.begin());
          out[i / 64] |= in[i / 64] & (u64(1) << (i % 64));
        }
        return out;
      }
    }
    return Bits(words_, 0);
  }

 private:
  static bool Empty(const Bits& bits) {
    return std::all_of(bits.begin(), bits.end(), [](u64 w) { return w == 0; });
  }

  // The records of `in` for which `test` holds.
  template <class Test>
  Bits Select(const Bits& in, Test test) const {
    Bits out(words_, 0);
    for (size_t w = 0; w < words_; ++w) {
      u64 word = in[w];
      u64 kept = 0;
      while (word != 0) {
        const int bit = __builtin_ctzll(word);
        word &= word - 1;
        if (test(w * 64 + size_t(bit))) kept |= u64(1) << bit;
      }
      out[w] = kept;
    }
    return out;
  }

  Bits MatchGroup(const FilterNode& node, const Bits& in) {
    std::vector<const FilterNode*> children;
    for (u32 child = tree_.IndexOf(node) + 1; child < node.end; child = tree_.Node(child).end) {
      children.push_back(&tree_.Node(child));
    }
    std::stable_sort(
        children.begin(), children.end(),
        [](const FilterNode* a, const FilterNode* b) { return CostOf(*a) < CostOf(*b); });
    Bits matched;
    if (node.Has(FilterNode::kAllChildren)) {
      // Each term looks only at the records that the terms before it kept.
      matched = in;
      for (const FilterNode* child : children) {
        if (Empty(matched)) break;
        matched = Match(*child, matched);
      }
    } else {
      // Each term looks only at the records that no term before it matched.
      matched.assign(words_, 0);
      Bits rest = in;
      for (const FilterNode* child : children) {
        if (Empty(rest)) break;
        const Bits hit = Match(*child, rest);
        for (size_t w = 0; w < words_; ++w) {
          matched[w] |= hit[w];
          rest[w] &= ~hit[w];
        }
      }
    }
    if (node.Has(FilterNode::kNegated)) {
      for (size_t w = 0; w < words_; ++w) matched[w] = in[w] & ~matched[w];
    }
    return matched;
  }

  Bits MatchString(const FilterNode& node, const Bits& in) {
    if (node.kind == fc::kStringAssetName) {
      const std::string_view names = index_.names_;
      const std::vector<size_t>& starts = index_.nameStarts_;
      return Select(in, [&](size_t i) {
        return FilterEvaluator::MatchName(tree_, node,
                                          names.substr(starts[i], starts[i + 1] - starts[i]));
      });
    }
    const ListColumn* column = node.kind == fc::kStringCategoryList  ? &index_.categories_
                               : node.kind == fc::kStringEraList     ? &index_.eras_
                               : node.kind == fc::kStringKeywordList ? &index_.keywords_
                               : node.kind == fc::kStringRegionList  ? &index_.regions_
                                                                     : nullptr;
    if (column == nullptr) return Bits(words_, 0);
    // Each distinct text is matched at most once: -1 not yet, then 0 or 1.
    std::vector<i8> verdicts(column->values.size(), -1);
    return Select(in, [&](size_t i) {
      const u32 id = column->ids[i];
      if (verdicts[id] < 0)
        verdicts[id] = evaluator_.MatchList(tree_, node, column->values[id]) ? 1 : 0;
      return verdicts[id] == 1;
    });
  }

  Bits MatchInt(const FilterNode& node, const Bits& in) {
    const FilterTree::Bounds& b = tree_.BoundsOf(node);
    const bool lowIn = node.Has(FilterNode::kLowInclusive);
    const bool highIn = node.Has(FilterNode::kHighInclusive);
    const auto test = [&](i64 value) { return InRange(value, b.intLow, b.intHigh, lowIn, highIn); };
    switch (node.kind) {
      case fc::kIntLocalRating:
        return Select(in, [&](size_t i) { return test(index_.ratings_[i]); });
      case fc::kIntAuthor:
        return Select(in, [&](size_t i) { return test(index_.kuids_[i].userId); });
      case fc::kIntVersion:
        return Select(in, [&](size_t i) { return test(index_.kuids_[i].version); });
      default:
        return Bits(words_, 0);
    }
  }

  const SearchIndex& index_;
  const FilterTree& tree_;
  const FilterEvaluator& evaluator_;
  size_t words_;
};

std::vector<KUID> SearchIndex::Find(const FilterTree* filter,
                                    const FilterEvaluator& evaluator) const {
  if (filter == nullptr) return kuids_;
  Query query(*this, *filter, evaluator);
  const Bits matched = query.Match(filter->Root(), query.All());
  std::vector<KUID> out;
  for (size_t w = 0; w < matched.size(); ++w) {
    for (u64 word = matched[w]; word != 0; word &= word - 1) {
      out.push_back(kuids_[w * 64 + size_t(__builtin_ctzll(word))]);
    }
  }
  return out;
}

}  // namespace PymDaemonSrv
