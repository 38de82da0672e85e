// Constants of the semantic pass: their types, conversions between them, and the folding of an
// operator whose operands are all constants.
#pragma once

#include "qel/types.h"

struct ParseNode;

namespace GSCompiler {

// The type of a constant of kind 0 bool, 1 int, 2 float, 3 string.
i32 ConstantType(i32 constantKind);

// The bits of a bool, int or float constant converted to the type `targetType` (bool, int or
// float; any other type keeps the bits). Floats convert to int as at run time: NaN and values
// out of the int range give the least int.
u32 ConvertConstantBits(i32 constantKind, u32 value, i32 targetType);

// Turns an operator node whose operands are bool, int or float constants into the constant it
// computes. Left alone: string operands, operand types that the operator does not take, and
// divisions that would fault (by zero, or the least int by -1), which the run time reports.
void FoldConstantOperator(ParseNode& node);

}  // namespace GSCompiler
