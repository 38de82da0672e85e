// Whole-file writes that never leave a partial file behind.
#pragma once

#include <initializer_list>

#include "qel/types.h"

namespace Qel {
class PString;
}  // namespace Qel

struct WritePiece {
  const void* data;
  u32 size;
};

enum class WriteResult { kWritten, kOpenFailed, kWriteFailed };

// Creates (or truncates) path, inside rootName when that is set, and writes the pieces in order.
// A failed or short write, or a failing close, removes the file again and gives kWriteFailed.
WriteResult WriteFileChecked(const Qel::PString& rootName, const char* path,
                             std::initializer_list<WritePiece> pieces);
