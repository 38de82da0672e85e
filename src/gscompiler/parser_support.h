// What the generated parser needs from the compiler, and the stream form of the parse entry.
#pragma once

#include <cstddef>
#include <istream>

#include "qel/types.h"

class UnitRecord;

// The generated parser: 0 on success, 1 after a syntax error, 2 after a stack overflow.
int yyparse();

namespace GSCompiler {

// The parser's stack memory. Blocks still held when an exception leaves the parser are freed by
// ReleaseParserStacks, which keeps those that ParserStacksInUse named before the parse began:
// they belong to an enclosing parse.
void* AllocParserStack(size_t bytes);
void FreeParserStack(void* block);
u32 ParserStacksInUse();
void ReleaseParserStacks(u32 kept);

// Reports "<text>, line <n>" at the current scanner's line as a counted error of the current
// unit; without a current scanner the text alone, still counted.
void ReportParseError(const char* text);

// Scans and parses the unit from input into its tree; the unit becomes the current one. Returns
// 0 on success, 1 after a syntax error or a failure of the scanner, 2 after a stack overflow;
// each failure has been reported and counted once.
int ParseUnitStream(UnitRecord& unit, std::istream& input);

}  // namespace GSCompiler
