#include "gscompiler/parse_node.h"

#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace GSCompiler {

namespace {

// Small units stay in a small first block; large ones grow to blocks that the kernel can back
// with huge pages, since a big tree otherwise costs one page fault every 4 KiB.
constexpr size_t kFirstBlockBytes = size_t(64) << 10;
constexpr size_t kLargestBlockBytes = size_t(2) << 20;

}  // namespace

ParseNodeArena::~ParseNodeArena() { FreeAll(); }

void* ParseNodeArena::TakeFromNewBlock() {
  if (current_ + 1 < blocks_.size()) {
    const Block& kept = blocks_[++current_];
    lastBlock_ = kept.nodes;
    sizeOfLast_ = u32(kept.bytes / sizeof(ParseNode));
    usedInLast_ = 1;
    Platform::UnpoisonMemory(lastBlock_, sizeof(ParseNode));
    return lastBlock_;
  }
  const size_t bytes =
      blocks_.empty() ? kFirstBlockBytes : std::min(blocks_.back().bytes * 2, kLargestBlockBytes);
  const size_t alignment = bytes == kLargestBlockBytes ? kLargestBlockBytes : alignof(ParseNode);
  // Left uninitialised: every node is built in place by its taker.
  void* memory = ::operator new(bytes, std::align_val_t(alignment), std::nothrow);
  if (!memory) return nullptr;
#ifdef MADV_HUGEPAGE
  // Only advice: where huge pages are off, the block is ordinary memory.
  if (bytes == kLargestBlockBytes) madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  blocks_.push_back({static_cast<ParseNode*>(memory), bytes});
  current_ = blocks_.size() - 1;
  lastBlock_ = static_cast<ParseNode*>(memory);
  sizeOfLast_ = u32(bytes / sizeof(ParseNode));
  usedInLast_ = 1;
  return lastBlock_;
}

void ParseNodeArena::FreeAll() {
  for (const Block& block : blocks_) {
    Platform::UnpoisonMemory(block.nodes, block.bytes);
    const size_t alignment =
        block.bytes == kLargestBlockBytes ? kLargestBlockBytes : alignof(ParseNode);
    ::operator delete(block.nodes, std::align_val_t(alignment));
  }
  blocks_.clear();
  current_ = 0;
  lastBlock_ = nullptr;
  usedInLast_ = 0;
  sizeOfLast_ = 0;
}

void ParseNodeArena::Rewind() {
  if (blocks_.empty()) return;
  for (const Block& block : blocks_) Platform::PoisonMemory(block.nodes, block.bytes);
  current_ = 0;
  lastBlock_ = blocks_.front().nodes;
  sizeOfLast_ = u32(blocks_.front().bytes / sizeof(ParseNode));
  usedInLast_ = 0;
}

namespace {

// A node as every taker starts it. Copying it is a handful of wide moves, where zeroing the node
// in place became a string instruction whose start-up cost more than the copy, once per node.
constexpr ParseNode kFreshNode = [] {
  ParseNode node{};
  node.typeCode = kTypeNone;
  node.slot = -1;
  return node;
}();

}  // namespace

ParseNode* NewParseNode(ParseNodeArena& arena, i32 group, i32 kind, i32 line, i32 code) {
  void* memory = arena.Take();
  if (!memory) return nullptr;
  std::memcpy(memory, &kFreshNode, sizeof(ParseNode));
  ParseNode* node = static_cast<ParseNode*>(memory);
  node->group = static_cast<i16>(group);
  node->kind = static_cast<i16>(kind);
  node->line = line;
  node->code = static_cast<i16>(code);
  return node;
}

namespace {

constexpr u32 kMaxIndentDepth = 40;

const char* const kDeclarationNames[] = {"function", "prototype", "include",
                                         "class",    "variables", "declarator",
                                         "type",     "parameter", "name"};
const char* const kStatementNames[] = {"return", "break",  "continue", "goto",    "for",
                                       "while",  "switch", "if",       "default", "case",
                                       "label",  "block",  "wait",     "on"};
const char* const kExpressionNames[] = {"operator", "constant", "identifier", "call",
                                        "member",   "me",       "null"};
const char* const kOperatorNames[] = {
    "postfix --", "postfix ++", ".",     "unary +", "unary -", "!",  "~",  "prefix --",
    "prefix ++",  "range",      "index", "cast",    "*",       "/",  "%",  "+",
    "-",          "<<",         ">>",    "<",       ">",       "<=", ">=", "==",
    "!=",         "&",          "^",     "|",       "and",     "or", "=",  "size",
    "isclass",    "copy",       "new",   ","};
const char* const kTypeNames[] = {"void", "bool", "int", "float", "string", "object"};

struct FlagName {
  u32 bit;
  const char* name;
};
const FlagName kFlagNames[] = {
    {kFlagPublic, "public"},          {kFlagNative, "native"},
    {kFlagStatic, "static"},          {kFlagFinal, "final"},
    {kFlagThread, "thread"},          {kFlagGame, "game"},
    {kFlagDefine, "define"},          {kFlagSecured, "secured"},
    {kFlagValueConsumed, "consumed"}, {kFlagMemberVariables, "member"},
    {kFlagFunctionBody, "body"},      {kFlagDiscarded, "discarded"},
};

template <size_t N>
const char* NameIn(const char* const (&names)[N], i32 index) {
  return index >= 0 && size_t(index) < N ? names[index] : nullptr;
}

void AppendQuoted(std::string& out, const char* text) {
  out.push_back('"');
  for (const char* p = text ? text : ""; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(char(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out.push_back(char(c));
    }
  }
  out.push_back('"');
}

void AppendTypeName(std::string& out, i32 code) {
  const bool array = code >= kTypeArrayOffset && code < 2 * kTypeArrayOffset;
  const char* name = NameIn(kTypeNames, array ? code - kTypeArrayOffset : code);
  if (!name) {
    out += "code " + std::to_string(code);
    return;
  }
  out += name;
  if (array) out += "[]";
}

void AppendConstant(std::string& out, const ParseNode& node) {
  switch (node.code) {
    case kConstBool:
      out += node.value ? "bool true" : "bool false";
      return;
    case kConstInt:
      out += "int " + std::to_string(i32(node.value));
      return;
    case kConstFloat: {
      float value;
      std::memcpy(&value, &node.value, sizeof value);
      char text[32];
      std::snprintf(text, sizeof text, "float %.9g", double(value));
      out += text;
      return;
    }
    case kConstString:
      out += "string ";
      AppendQuoted(out, node.text);
      return;
    default:
      out += "code " + std::to_string(node.code);
  }
}

std::string Label(const ParseNode& node) {
  std::string out;
  const char* name = nullptr;
  switch (node.group) {
    case kGroupDeclaration:
      name = NameIn(kDeclarationNames, node.kind);
      break;
    case kGroupStatement:
      name = NameIn(kStatementNames, node.kind);
      break;
    case kGroupExpression:
      name = NameIn(kExpressionNames, node.kind);
      break;
    default:
      break;
  }
  if (!name) {
    out = "group " + std::to_string(node.group) + " kind " + std::to_string(node.kind);
  } else {
    out = name;
  }
  if (node.group == kGroupDeclaration && node.kind == kDeclType) {
    out.push_back(' ');
    AppendTypeName(out, node.code);
  } else if (node.group == kGroupExpression && node.kind == kExprOperator) {
    const char* op = NameIn(kOperatorNames, node.code);
    out += ' ';
    out += op ? op : "code " + std::to_string(node.code);
  } else if (node.group == kGroupExpression && node.kind == kExprConstant) {
    out.push_back(' ');
    AppendConstant(out, node);
  } else if (node.text) {
    out.push_back(' ');
    AppendQuoted(out, node.text);
  }
  for (const FlagName& flag : kFlagNames) {
    if (node.flags & flag.bit) {
      out.push_back(' ');
      out += flag.name;
    }
  }
  out += " @" + std::to_string(node.line);
  return out;
}

}  // namespace

std::string DumpParseTree(const ParseNode* node) {
  struct Pending {
    const ParseNode* node;
    u32 depth;
    i32 slot;  // the child slot that the list it belongs to hangs from; -1 at top level
  };
  // An explicit stack: left-leaning operator chains can be far deeper than a call stack.
  std::vector<Pending> pending;
  if (node) pending.push_back({node, 0, -1});
  std::string out;
  while (!pending.empty()) {
    const Pending item = pending.back();
    pending.pop_back();
    const ParseNode& current = *item.node;
    // Deep nesting would make the indentation grow with the square of the depth.
    if (item.depth <= kMaxIndentDepth) {
      out.append(size_t(item.depth) * 2, ' ');
    } else {
      out.append(size_t(kMaxIndentDepth) * 2, ' ');
      out += "<" + std::to_string(item.depth) + "> ";
    }
    if (item.slot >= 0) out += "[" + std::to_string(item.slot) + "] ";
    out += Label(current);
    out.push_back('\n');
    // The next node prints after this node's subtree, so it goes below the children.
    if (current.next) pending.push_back({current.next, item.depth, item.slot});
    for (i32 slot = 3; slot >= 0; --slot) {
      if (current.child[slot]) pending.push_back({current.child[slot], item.depth + 1, slot});
    }
  }
  return out;
}

}  // namespace GSCompiler
