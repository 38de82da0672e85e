// The daemon's own reading of a search filter: the byte form parsed into a plain tree that the
// evaluator walks. Parsing is strict where the bytes are hostile (unknown tags, truncated bodies,
// nesting beyond the shared limit) and never trusts a count beyond the bytes that are present.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/kuid.h"
#include "qel/types.h"

namespace PymDaemonSrv {

struct FilterNode {
  enum class Type { kGroup, kString, kBool, kInt, kTimestamp, kAssetID };

  Type type = Type::kGroup;
  // Group: allChildren is the first flag (1: every child must match, 0: any child).
  bool allChildren = true;
  bool negated = false;
  std::vector<std::unique_ptr<FilterNode>> children;
  // String, Int, Timestamp, AssetID kind; Bool flag index.
  u32 kind = 0;
  std::string text;
  // The text with ASCII letters lowered, so that name matching need not fold it per asset.
  std::string textLower;
  bool exact = false;
  // Int bounds are widened to i64 so that both integer kinds share one comparison.
  i64 low = 0;
  i64 high = 0;
  u64 timeLow = 0;
  u64 timeHigh = 0;
  bool lowInclusive = false;
  bool highInclusive = false;
  // AssetID: sorted, without duplicates.
  std::vector<KUID> assets;
};

struct FilterParseResult {
  bool ok = false;
  // Null with ok set: the request carried no filter (u32 0), which matches every asset.
  std::unique_ptr<FilterNode> root;
  std::string error;
};

// Parses a whole search payload: one element (tag and body), or u32 0 for no filter. Bytes left
// over after the element are an error.
FilterParseResult ParseFilterPayload(const u8* data, size_t size);

}  // namespace PymDaemonSrv
