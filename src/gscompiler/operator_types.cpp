#include "gscompiler/operator_types.h"

#include "gscompiler/parse_node.h"

namespace GSCompiler {

namespace {

bool IsNumber(i32 t) { return t == kTypeInt || t == kTypeFloat; }
bool IsScalar(i32 t) { return t == kTypeBool || IsNumber(t) || t == kTypeString; }
bool IsArray(i32 t) { return t >= kTypeBoolArray && t <= kTypeObjectArray; }
// What "!", "and" and "or" take.
bool IsTestable(i32 t) { return IsScalar(t) || t == kTypeObject || IsArray(t); }
bool IsReference(i32 t) { return t == kTypeString || t == kTypeObject || IsArray(t); }

i32 Arithmetic(i32 left, i32 right) {
  if (!IsNumber(left) || !IsNumber(right)) return kTypeNone;
  return left == kTypeInt && right == kTypeInt ? kTypeInt : kTypeFloat;
}

bool Comparable(i32 left, i32 right) {
  if (IsScalar(left) && IsScalar(right)) return true;
  if (left == kTypeNull) return right == kTypeNull || IsReference(right);
  if (right == kTypeNull) return IsReference(left);
  if (left == kTypeObject) return right == kTypeObject;
  return IsArray(left) && left == right;
}

}  // namespace

bool IsIndexable(i32 type) { return type == kTypeString || IsArray(type); }

i32 UnaryResultType(i32 op, i32 operand) {
  switch (op) {
    case kOpPostDec:
    case kOpPostInc:
    case kOpPreDec:
    case kOpPreInc:
    case kOpPlus:
    case kOpNegate:
      return IsNumber(operand) ? operand : kTypeNone;
    case kOpNot:
      return IsTestable(operand) ? kTypeBool : kTypeNone;
    case kOpComplement:
      return operand == kTypeInt ? kTypeInt : kTypeNone;
    default:
      return kTypeNone;
  }
}

i32 BinaryResultType(i32 op, i32 left, i32 right) {
  switch (op) {
    case kOpMul:
    case kOpDiv:
    case kOpMod:
    case kOpSub:
      return Arithmetic(left, right);
    case kOpAdd: {
      const bool text = left == kTypeString || right == kTypeString;
      if (text) return IsScalar(left) && IsScalar(right) ? kTypeString : kTypeNone;
      return Arithmetic(left, right);
    }
    case kOpShiftLeft:
    case kOpShiftRight:
    case kOpBitAnd:
    case kOpBitXor:
    case kOpBitOr:
      return left == kTypeInt && right == kTypeInt ? kTypeInt : kTypeNone;
    case kOpLess:
    case kOpGreater:
    case kOpLessEqual:
    case kOpGreaterEqual:
    case kOpEqual:
    case kOpNotEqual:
      return Comparable(left, right) ? kTypeBool : kTypeNone;
    case kOpAnd:
    case kOpOr:
      return IsTestable(left) && IsTestable(right) ? kTypeBool : kTypeNone;
    default:
      return kTypeNone;
  }
}

}  // namespace GSCompiler
