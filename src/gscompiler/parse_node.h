// The parse-tree node that the grammar builds and the later passes walk.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gscommon/gs_types.h"
#include "platform/asan_poison.h"
#include "qel/types.h"

class UnitRecord;

namespace GSCompiler {

// Node groups.
enum ParseGroup : i32 {
  kGroupDeclaration = 0,
  kGroupStatement = 1,
  kGroupExpression = 2,
};

// Kinds of group 0 (declarations and types).
enum DeclarationKind : i32 {
  kDeclFunction = 0,
  kDeclPrototype = 1,
  kDeclInclude = 2,
  kDeclClass = 3,
  kDeclVariableList = 4,
  kDeclDeclarator = 5,
  kDeclType = 6,
  kDeclParameter = 7,
  kDeclName = 8,
};

// Kinds of group 1 (statements).
enum StatementKind : i32 {
  kStmtReturn = 0,
  kStmtBreak = 1,
  kStmtContinue = 2,
  kStmtGoto = 3,
  kStmtFor = 4,
  kStmtWhile = 5,
  kStmtSwitch = 6,
  kStmtIf = 7,
  kStmtDefault = 8,
  kStmtCase = 9,
  kStmtLabel = 10,
  kStmtBlock = 11,
  kStmtWait = 12,
  kStmtOn = 13,
};

// Kinds of group 2 (expressions).
enum ExpressionKind : i32 {
  kExprOperator = 0,
  kExprConstant = 1,
  kExprIdentifier = 2,
  kExprCall = 3,
  kExprMember = 4,
  kExprMe = 5,
  kExprNull = 6,
};

// Operator codes of expression kind 0.
enum OperatorCode : i32 {
  kOpPostDec = 0,
  kOpPostInc = 1,
  kOpMember = 2,
  kOpPlus = 3,
  kOpNegate = 4,
  kOpNot = 5,
  kOpComplement = 6,
  kOpPreDec = 7,
  kOpPreInc = 8,
  kOpRange = 9,
  kOpIndex = 10,
  kOpCast = 11,
  kOpMul = 12,
  kOpDiv = 13,
  kOpMod = 14,
  kOpAdd = 15,
  kOpSub = 16,
  kOpShiftLeft = 17,
  kOpShiftRight = 18,
  kOpLess = 19,
  kOpGreater = 20,
  kOpLessEqual = 21,
  kOpGreaterEqual = 22,
  kOpEqual = 23,
  kOpNotEqual = 24,
  kOpBitAnd = 25,
  kOpBitXor = 26,
  kOpBitOr = 27,
  kOpAnd = 28,
  kOpOr = 29,
  kOpAssign = 30,
  kOpSize = 31,
  kOpIsClass = 32,
  kOpCopy = 33,
  kOpNew = 34,
  // A comma expression in parentheses, one operand: child 0 is the chain of its operands, each
  // but the last marked discarded, and its value is the last one's.
  kOpComma = 35,
};

// Codes of constant nodes (expression kind 1).
enum ConstantCode : i32 {
  kConstBool = 0,
  kConstInt = 1,
  kConstFloat = 2,
  kConstString = 3,
};

// Type codes of type nodes and expressions are the shared ones.
using namespace GSTypes;

// Flag bits: the declaration specifiers, then the marks of the parser and code generator.
enum ParseFlag : u32 {
  kFlagPublic = kSpecPublic,
  kFlagNative = kSpecNative,
  kFlagStatic = kSpecStatic,
  kFlagFinal = kSpecFinal,
  kFlagThread = kSpecThread,
  kFlagGame = kSpecGame,
  kFlagDefine = kSpecDefine,
  kFlagSecured = kSpecSecured,
  // On an expression that names a class rather than a value.
  kFlagStaticClass = kSpecStatic,
  // Set by the semantic pass: a switch that has its default; a call named through a member
  // access; an expression that can be assigned.
  kFlagHasDefault = 0x1000,
  kFlagMemberCall = 0x2000,
  kFlagLValue = 0x4000,
  kFlagValueConsumed = 0x800000,
  kFlagMemberVariables = 0x4000000,
  kFlagFunctionBody = 0x8000000,
  kFlagDiscarded = 0x10000000,
  // Set by the semantic pass on a block that opened a scope level, which its end closes again.
  kFlagOpenedScope = 0x20000000,
  // Set by the semantic pass on a name or member access that reads a data member, whose slot is
  // then a field slot rather than a local slot. A local's symbol is gone once its function has
  // been checked, so code generation cannot ask it.
  kFlagField = 0x40000000,
};

}  // namespace GSCompiler

// The fields that every walk reads come first, so that a visit touches as few cache lines as it
// can: trees are far larger than the caches. A large unit has over a million nodes, so the node is
// kept to 96 bytes: the codes are narrow, and fields that no node uses together share storage.
struct ParseNode {
  ParseNode* child[4];
  ParseNode* next;  // the next node of the same list
  ParseNode* parent;
  i16 group;
  i16 kind;
  i16 code;      // type or operator code; -1 when unused
  i16 typeCode;  // of an expression or type; kTypeNone until known (set by the semantic pass)
  u32 flags;
  i32 line;
  // Names, string constants and include file names point into the unit's text memory; numeric
  // constants keep their bits in `value`. Host pointers do not fit a script word, hence two fields.
  const char* text;
  u32 value;
  // Filled in by the semantic pass.
  i32 slot;  // of a declared variable or parameter; -1 when none
  // Expressions, types and declarations have a class and a symbol; only statements have an owner
  // and a chain.
  union {
    const char* className;  // the class of an object type
    ParseNode* owner;       // the statement a break, continue, case, default or on belongs to
  };
  union {
    void* symbol;      // the symbol that a declaration made or a name resolved to
    ParseNode* chain;  // the next case/default of a switch, or on of a wait
  };
};
static_assert(sizeof(void*) != 8 || sizeof(ParseNode) == 96, "ParseNode grew");

namespace GSCompiler {

// The nodes of one unit, handed out in order from blocks that live until the unit is emptied.
// A node is never given back alone, so taking one is a bump of a counter.
class ParseNodeArena {
 public:
  ParseNodeArena() = default;
  ~ParseNodeArena();
  ParseNodeArena(const ParseNodeArena&) = delete;
  ParseNodeArena& operator=(const ParseNodeArena&) = delete;

  // Room for one node, uninitialised; null when memory runs out.
  void* Take() {
    if (usedInLast_ == sizeOfLast_) return TakeFromNewBlock();
    ParseNode* node = lastBlock_ + usedInLast_++;
    Platform::UnpoisonMemory(node, sizeof(ParseNode));
    return node;
  }
  void FreeAll();
  // Forgets every node but keeps the blocks for the next ones: a unit compiled a class at a
  // time holds only the nodes of the class at hand. The forgotten nodes are poisoned for
  // AddressSanitizer, so that a pointer kept across the rewind is caught when read.
  void Rewind();

 private:
  struct Block {
    ParseNode* nodes;
    size_t bytes;
  };

  void* TakeFromNewBlock();

  std::vector<Block> blocks_;
  size_t current_ = 0;  // the block that nodes are taken from
  ParseNode* lastBlock_ = nullptr;
  u32 usedInLast_ = 0;
  u32 sizeOfLast_ = 0;
};

// A zeroed node from the arena with the given fields and the semantic words at their initial
// values; null when memory runs out.
ParseNode* NewParseNode(ParseNodeArena& arena, i32 group, i32 kind, i32 line, i32 code);

// An indented listing of the node, its children and its next chain, one node a line.
std::string DumpParseTree(const ParseNode* node);

}  // namespace GSCompiler
