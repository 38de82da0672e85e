// Query filters built through the client's filter classes, for the suites that write them.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/chunked_list.h"
#include "core/kuid.h"
#include "pymclient/pym_filter.h"

namespace filter_builders {

using ElementPtr = std::unique_ptr<PymFilterElement>;

inline ElementPtr Flag(u32 index) { return std::make_unique<PymFilterElementBool>(index); }
inline ElementPtr Str(u32 kind, const std::string& text) {
  return std::make_unique<PymFilterElementString>(kind, Qel::PString(text));
}
inline ElementPtr Int(u32 kind, i32 low, i32 high, bool li, bool hi) {
  auto e = std::make_unique<PymFilterElementInt>(kind);
  e->SetRange(low, high, li, hi);
  return e;
}
inline ElementPtr Time(u32 kind, u64 low, u64 high, bool li, bool hi) {
  auto e = std::make_unique<PymFilterElementTimestamp>(kind);
  e->SetRange(low, high, li, hi);
  return e;
}
inline ElementPtr Assets(const std::vector<KUID>& kuids) {
  ChunkedList<KUID, 128> list;
  for (const KUID& k : kuids) list.PushBack(k);
  return std::make_unique<PymFilterElementAssetID>(list);
}
template <class... E>
ElementPtr Group(bool negated, E&&... children) {
  auto g = std::make_unique<PymFilterElementGroup>();
  (g->AddElement(std::forward<E>(children)), ...);
  g->SetNegated(negated);
  return g;
}

}  // namespace filter_builders
