#include "gscompiler/constant_folding.h"

#include <climits>
#include <cstring>

#include "gscommon/script_arithmetic.h"
#include "gscompiler/parse_node.h"

namespace GSCompiler {

namespace {

struct Constant {
  i32 kind;
  u32 bits;

  bool IsFloat() const { return kind == kConstFloat; }
  bool IsInt() const { return kind == kConstInt; }
  bool IsNumber() const { return kind == kConstInt || kind == kConstFloat; }
  i32 Int() const { return static_cast<i32>(bits); }
  float Float() const {
    if (kind != kConstFloat) return static_cast<float>(Int());
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
};

u32 FloatBits(float f) {
  u32 bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

bool IsConstant(const ParseNode* node) {
  return node != nullptr && node->group == kGroupExpression && node->kind == kExprConstant &&
         node->code >= kConstBool && node->code <= kConstFloat;
}

void Become(ParseNode& node, i32 kind, u32 bits) {
  node.kind = kExprConstant;
  node.code = kind;
  node.value = bits;
  node.text = nullptr;
  node.typeCode = ConstantType(kind);
  for (ParseNode*& child : node.child) child = nullptr;
}

bool FoldUnary(ParseNode& node, const Constant& a) {
  switch (node.code) {
    case kOpPlus:
      if (!a.IsNumber()) return false;
      Become(node, a.kind, a.bits);
      return true;
    case kOpNegate:
      if (a.IsInt())
        Become(node, kConstInt, 0u - a.bits);
      else if (a.IsFloat())
        Become(node, kConstFloat, FloatBits(-0.0f - a.Float()));
      else
        return false;
      return true;
    case kOpNot:
      Become(node, kConstBool, (a.IsFloat() ? a.Float() == 0.0f : a.bits == 0) ? 1 : 0);
      return true;
    case kOpComplement:
      if (!a.IsInt()) return false;
      Become(node, kConstInt, ~a.bits);
      return true;
    default:
      return false;
  }
}

// The order that the comparison instructions give, so that a folded comparison agrees with the
// one the program would have made.
bool Compare(i32 op, const Constant& a, const Constant& b, bool* result) {
  const int order = a.IsFloat() || b.IsFloat() ? GSByteCode::CompareFloats(a.Float(), b.Float())
                                               : GSByteCode::CompareInts(a.Int(), b.Int());
  switch (op) {
    case kOpLess:
      *result = order < 0;
      return true;
    case kOpGreater:
      *result = order > 0;
      return true;
    case kOpLessEqual:
      *result = order <= 0;
      return true;
    case kOpGreaterEqual:
      *result = order >= 0;
      return true;
    case kOpEqual:
      *result = order == 0;
      return true;
    case kOpNotEqual:
      *result = order != 0;
      return true;
    default:
      return false;
  }
}

// The five arithmetic operators over one kind of operand; ints come as u32 so that they wrap.
template <typename T, typename Divide, typename Remainder>
bool Arithmetic(i32 op, T x, T y, Divide divide, Remainder remainder, T* result) {
  switch (op) {
    case kOpMul:
      *result = x * y;
      return true;
    case kOpDiv:
      *result = divide(x, y);
      return true;
    case kOpMod:
      *result = remainder(x, y);
      return true;
    case kOpAdd:
      *result = x + y;
      return true;
    case kOpSub:
      *result = x - y;
      return true;
    default:
      return false;
  }
}

bool FoldArithmetic(ParseNode& node, const Constant& a, const Constant& b) {
  if (!a.IsNumber() || !b.IsNumber()) return false;
  const i32 op = node.code;
  const bool division = op == kOpDiv || op == kOpMod;
  if (a.IsInt() && b.IsInt()) {
    if (division && (b.bits == 0 || (a.Int() == INT_MIN && b.Int() == -1))) return false;
    u32 r;
    if (!Arithmetic(
            op, a.bits, b.bits,
            [](u32 x, u32 y) { return u32(GSByteCode::Divide(i32(x), i32(y))); },
            [](u32 x, u32 y) { return u32(GSByteCode::Remainder(i32(x), i32(y))); }, &r)) {
      return false;
    }
    Become(node, kConstInt, r);
    return true;
  }
  // Only +0.0 is the run time's divide-by-zero error; -0.0 divides.
  if (division && FloatBits(b.Float()) == 0) return false;
  float r;
  if (!Arithmetic(
          op, a.Float(), b.Float(), [](float x, float y) { return x / y; },
          [](float x, float y) { return GSByteCode::FloatRemainder(x, y); }, &r)) {
    return false;
  }
  Become(node, kConstFloat, FloatBits(r));
  return true;
}

bool FoldBinary(ParseNode& node, const Constant& a, const Constant& b) {
  const i32 op = node.code;
  switch (op) {
    case kOpMul:
    case kOpDiv:
    case kOpMod:
    case kOpAdd:
    case kOpSub:
      return FoldArithmetic(node, a, b);
    case kOpShiftLeft:
    case kOpShiftRight:
    case kOpBitAnd:
    case kOpBitXor:
    case kOpBitOr: {
      if (!a.IsInt() || !b.IsInt()) return false;
      u32 r = 0;
      if (op == kOpShiftLeft) r = u32(GSByteCode::ShiftLeft(a.Int(), b.Int()));
      // Constants shift keeping the sign, unlike the run time's shift.
      if (op == kOpShiftRight) r = u32(GSByteCode::ShiftRightArithmetic(a.Int(), b.Int()));
      if (op == kOpBitAnd) r = a.bits & b.bits;
      if (op == kOpBitXor) r = a.bits ^ b.bits;
      if (op == kOpBitOr) r = a.bits | b.bits;
      Become(node, kConstInt, r);
      return true;
    }
    case kOpAnd:
      Become(node, kConstBool, a.bits != 0 && b.bits != 0 ? 1 : 0);
      return true;
    case kOpOr:
      Become(node, kConstBool, a.bits != 0 || b.bits != 0 ? 1 : 0);
      return true;
    default: {
      bool result;
      if (!Compare(op, a, b, &result)) return false;
      Become(node, kConstBool, result ? 1 : 0);
      return true;
    }
  }
}

}  // namespace

i32 ConstantType(i32 constantKind) {
  return constantKind >= kConstBool && constantKind <= kConstString ? constantKind + 1 : kTypeNone;
}

u32 ConvertConstantBits(i32 constantKind, u32 value, i32 targetType) {
  const Constant c{constantKind, value};
  if (!c.IsNumber() && constantKind != kConstBool) return value;
  switch (targetType) {
    case kTypeBool:
      return (c.IsFloat() ? c.Float() != 0.0f : value != 0) ? 1 : 0;
    case kTypeInt: {
      if (!c.IsFloat()) return value;
      // As the conversion instruction does it at run time.
      return u32(GSByteCode::FloatToInt(c.Float()));
    }
    case kTypeFloat:
      return c.IsFloat() ? value : FloatBits(c.Float());
    default:
      return value;
  }
}

void FoldConstantOperator(ParseNode& node) {
  if (node.group != kGroupExpression || node.kind != kExprOperator) return;
  const ParseNode* left = node.child[0];
  const ParseNode* right = node.child[1];
  if (!IsConstant(left)) return;
  const Constant a{left->code, left->value};
  if (node.code >= kOpPlus && node.code <= kOpComplement) {
    FoldUnary(node, a);
    return;
  }
  if (node.code < kOpMul || node.code > kOpOr || !IsConstant(right)) return;
  const Constant b{right->code, right->value};
  // A bool takes part only in comparisons and the logical operators.
  if ((a.kind == kConstBool || b.kind == kConstBool) &&
      !(node.code >= kOpLess && node.code <= kOpNotEqual) && node.code != kOpAnd &&
      node.code != kOpOr) {
    return;
  }
  FoldBinary(node, a, b);
}

}  // namespace GSCompiler
