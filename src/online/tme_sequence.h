// Reliable sequence numbers run 1..255 and wrap to 1; 0 marks an unreliable packet. Order is
// decided by the signed 8-bit difference, so it holds across the wrap within half the range.
#pragma once

#include "qel/types.h"

namespace Tme {

inline u8 NextSequence(u8 s) {
  return s == 255 ? u8(1) : u8(s + 1);
}

inline i8 SequenceDifference(u8 a, u8 b) {
  return i8(u8(a - b));
}

inline bool IsBefore(u8 a, u8 b) {
  return SequenceDifference(a, b) < 0;
}

inline bool IsAtOrBefore(u8 a, u8 b) {
  return SequenceDifference(a, b) < 1;
}

}  // namespace Tme
