// The parser's entry as the driver sees it.
#pragma once

#include <istream>

#include "qel/types.h"

class UnitRecord;

namespace GSCompiler {

// Parses `length` bytes of `text` into the unit's tree. Returns 0 on success, 1 after a syntax
// error and 2 after a stack overflow; the parser's own report has already counted one error in
// the unit.
int ParseTokens(UnitRecord& unit, const char* text, u32 length);

// ParseTokens from a stream; a failure of the scanner also returns 1, reported and counted once.
int ParseUnitStream(UnitRecord& unit, std::istream& input);

}  // namespace GSCompiler
