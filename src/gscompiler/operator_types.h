// The result types of the unary and two-operand operators for their operand types.
#pragma once

#include "qel/types.h"

namespace GSCompiler {

// Indexable: a string or an array of bool, int, float, string or object (never void[]).
bool IsIndexable(i32 type);

// The type of a unary operator (codes 0, 1, 3 to 8) on an operand; kTypeNone when it does not
// take that operand.
i32 UnaryResultType(i32 op, i32 operand);

// The type of a two-operand operator (codes 12 to 29); kTypeNone when it does not take the pair.
i32 BinaryResultType(i32 op, i32 left, i32 right);

}  // namespace GSCompiler
