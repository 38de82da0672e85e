// The semantic pass over one unit's parse tree: it enters the unit's classes, functions and
// variables into the symbol tables, numbers slots, keeps defines, opens and closes scope levels,
// and reports every declaration error with the unit's file name and the node's line.
#pragma once

#include "qel/types.h"

class GSCompilerState;
class UnitRecord;
struct ParseNode;

namespace GSCompiler {

// Bound of the walk's explicit stack, far above any real script's nesting; nesting that needs
// more is refused.
constexpr u32 kSemanticStackEntries = 100000;

// Runs over the unit's top-level list. Declaration-only (included units) enters the
// declarations and skips function bodies and the checks. True when no check failed.
bool SemanticPass(UnitRecord& unit, GSCompilerState& state, bool declarationOnly);

}  // namespace GSCompiler
