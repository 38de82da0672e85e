// The columns that searches filter on, laid out for them: a snapshot of the in-memory index taken
// after it changed, so that a query reads packed arrays instead of walking 100,000 records.
//
// A query is answered as sets of record positions (one bit per record): each term narrows the
// set that its group passes down, so that a group of terms looks at ever fewer records, and the
// cheap terms (flags, numbers, asset sets, the lists) go before the name text. Lists repeat a
// few values over many assets, so each distinct value is matched once a query. The answer is the
// one FilterEvaluator gives record by record, in KUID order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/filter_evaluator.h"
#include "daemon/filter_tree.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class SearchIndex {
 public:
  // `records` sorted by KUID.
  explicit SearchIndex(const std::vector<std::unique_ptr<AssetRecord>>& records);

  // The KUIDs of the records that match, in KUID order; a null filter matches every record.
  std::vector<KUID> Find(const FilterTree* filter, const FilterEvaluator& evaluator) const;

 private:
  using Bits = std::vector<u64>;
  // One list column: the distinct texts and each record's index into them.
  struct ListColumn {
    std::vector<std::string> values;
    std::vector<u32> ids;
  };
  class Query;

  size_t size_ = 0;
  std::vector<KUID> kuids_;
  std::vector<u32> flags_;
  std::vector<i32> ratings_;
  std::vector<u64> installTimes_;
  std::vector<u64> modifyTimes_;
  // The lower-case names end to end; record i's is [nameStarts_[i], nameStarts_[i + 1]).
  std::string names_;
  std::vector<size_t> nameStarts_;
  ListColumn categories_;
  ListColumn eras_;
  ListColumn keywords_;
  ListColumn regions_;
};

}  // namespace PymDaemonSrv
