// 128-bit type identifiers written as GUID text ("4C414E80-BBDA-11d4-9AD7-0001025364B8").
#pragma once

#include "qel/types.h"

namespace Qel {

struct UId {
  u32 data1 = 0;
  u16 data2 = 0;
  u16 data3 = 0;
  u8 data4[8] = {};

  UId() = default;
  // Reads the 8-4-4-4-12 hex form, optionally in braces, letters in any case. The variant bits are
  // not checked. Text of any other shape gives the all-zero id.
  explicit UId(const char* text);

  bool IsNull() const;
  bool operator==(const UId& o) const;
  bool operator!=(const UId& o) const { return !(*this == o); }
};

}  // namespace Qel
