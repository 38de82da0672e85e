#include "gscompiler/semantic_pass.h"

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gscompiler/compile_report.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/constant_folding.h"
#include "gscompiler/gs_symbol_table.h"
#include "gscompiler/operator_types.h"
#include "gscompiler/parse_node.h"

namespace GSCompiler {

namespace {

constexpr u32 kSpecifierMask = 0x1FF;
constexpr u32 kIllegalClassSpecifiers = kSpecPublic | kSpecNative | kSpecThread | kSpecDefine;
constexpr u32 kIllegalFunctionSpecifiers = kSpecStatic | kSpecGame | kSpecDefine | kSpecSecured;
constexpr u32 kIllegalMemberSpecifiers =
    kSpecNative | kSpecStatic | kSpecFinal | kSpecThread | kSpecGame | kSpecSecured;
constexpr u32 kIllegalLocalSpecifiers = kSpecifierMask & ~u32(kSpecConstructor);

const char* Text(const char* text) { return text != nullptr ? text : ""; }

bool Is(const ParseNode* node, i32 group, i32 kind) {
  return node != nullptr && node->group == group && node->kind == kind;
}

bool HasClassName(const char* name) { return name != nullptr && *name != 0; }

}  // namespace

class SemanticContext {
 public:
  SemanticContext(UnitRecord& unit, GSSymbolTable& table, bool declarationOnly)
      : unit_(unit), table_(table), declarationOnly_(declarationOnly) {}

  bool Run(ParseNode* root) {
    const i32 startLevel = table_.Level();
    Walk(root, declarationOnly_);
    // An aborted walk may leave levels open; the next unit starts where this one did.
    while (table_.Level() > startLevel) table_.CloseLevel();
    return !failed_ && !abort_;
  }

  // Drops what the walk keeps by node: the nodes of a checked class are given back for the next.
  void ForgetNodes() { chainTails_.clear(); }

 private:
  struct Entry {
    ParseNode* node;
    u8 state;
  };

  // Children are visited before their parent's post-visit, child 0 first; a node's next sibling
  // after its whole subtree.
  void Walk(ParseNode* root, bool declarationOnly) {
    // Grows with the nesting; the bound only stops hostile sources. A declaration's initialisers
    // are walked from within the walk that met it, once for every variable list, so each depth
    // keeps its stack's storage for the next walk at that depth.
    if (walkDepth_ == stacks_.size()) stacks_.push_back(std::make_unique<std::vector<Entry>>());
    std::vector<Entry>& stack = *stacks_[walkDepth_];
    struct DepthScope {
      size_t& depth;
      explicit DepthScope(size_t& d) : depth(d) { ++depth; }
      ~DepthScope() { --depth; }
    } scope(walkDepth_);
    stack.clear();
    stack.push_back({root, 0});
    while (!stack.empty() && !abort_) {
      const Entry entry = stack.back();
      stack.pop_back();
      ParseNode* node = entry.node;
      if (node == nullptr) continue;
      if (entry.state == 0) {
        // The tree is far larger than the caches and is walked in another order than it was
        // built in; asking for the nodes that come next at once lets their loads overlap.
        for (ParseNode* child : node->child) __builtin_prefetch(child);
        if (ParseNode* next = node->next) {
          // The next node of a list was asked for together with the node before it; its own
          // parts are asked for now, a subtree ahead of their visit.
          __builtin_prefetch(next->next);
          for (ParseNode* child : next->child) __builtin_prefetch(child);
        }
        if (!(declarationOnly && function_ != nullptr)) PreVisit(node, declarationOnly);
        if (abort_) break;
        if (skipChildren_) {
          skipChildren_ = false;
          childMask_ = kAllChildren;
          PushNext(stack, node);
          continue;
        }
        const u32 mask = childMask_;
        childMask_ = kAllChildren;
        stack.push_back({node, 1});
        if (stack.size() >= kSemanticStackEntries) return Overflow();
        for (i32 c = 3; c >= 0; --c) {
          ParseNode* child = node->child[c];
          if (child == nullptr || !(mask & (1u << c))) continue;
          child->parent = node;
          stack.push_back({child, 0});
          if (c > 0 && stack.size() >= kSemanticStackEntries) return Overflow();
        }
      } else {
        if (!declarationOnly) PostVisit(node);
        PushNext(stack, node);
      }
    }
  }

  static void PushNext(std::vector<Entry>& stack, ParseNode* node) {
    ParseNode* next = node->next;
    if (next == nullptr) return;
    // A sibling shares its list's parent; it is not a child of the node before it.
    next->parent = node->parent;
    stack.push_back({next, 0});
  }

  void Overflow() {
    ++unit_.errorCount;
    ReportMessage(&unit_, "Stack overflow; code nested too deep.");
    abort_ = true;
  }

  void InternalError(bool abort) {
    ++unit_.errorCount;
    ReportMessage(&unit_, "Internal compiler error.");
    failed_ = true;
    if (abort) abort_ = true;
  }

  // Reports one error at the node's line; the message's own "line %d" is the last argument.
  template <typename... Args>
  void Error(const ParseNode* node, const char* format, Args... args) {
    failed_ = true;
    const i32 line = node != nullptr ? node->line : 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    char message[kMaxMessageLength + 1];
    std::snprintf(message, sizeof message, format, args..., line);
#pragma GCC diagnostic pop
    ReportError(&unit_, true, false, line, "%s", message);
  }
  template <typename... Args>
  void Abort(const ParseNode* node, const char* format, Args... args) {
    Error(node, format, args...);
    abort_ = true;
  }

  void PreVisit(ParseNode* node, bool declarationOnly) {
    switch (node->group) {
      case kGroupDeclaration:
        // A declarator's name needs no visit; its initialiser does.
        if (node->kind == kDeclDeclarator) childMask_ = 1u << 1;
        if (node->kind == kDeclClass) DeclareClass(node, declarationOnly);
        if (node->kind == kDeclFunction || node->kind == kDeclPrototype) {
          DeclareFunction(node, declarationOnly);
        }
        if (node->kind == kDeclVariableList) DeclareVariables(node, declarationOnly);
        return;
      case kGroupStatement:
        // Past the deepest level, blocks share it and so must not close it either.
        if (node->kind == kStmtBlock && !(node->flags & kFlagFunctionBody) && table_.OpenLevel()) {
          node->flags |= kFlagOpenedScope;
        }
        return;
      case kGroupExpression:
        return;
      default:
        InternalError(false);
    }
  }

  void PostVisit(ParseNode* node) {
    switch (node->group) {
      case kGroupDeclaration:
        if (node->kind == kDeclFunction) function_ = nullptr;
        if (node->kind == kDeclClass) class_ = nullptr;
        if (node->kind == kDeclDeclarator) CheckDeclarator(node);
        // The type of a `new` names its class in a message of its own.
        if (node->kind == kDeclType) ResolveType(node, !IsOperator(node->parent, kOpNew));
        return;
      case kGroupStatement:
        if (node->kind == kStmtBlock && (node->flags & kFlagOpenedScope)) {
          node->flags &= ~u32(kFlagOpenedScope);
          table_.CloseLevel();
        }
        CheckStatement(node);
        return;
      case kGroupExpression:
        TypeExpression(node);
        return;
      default:
        return;
    }
  }

  // ---- Declarations ----

  void DeclareClass(ParseNode* node, bool declarationOnly) {
    const u32 specifiers = node->flags & kSpecifierMask;
    if (specifiers & kIllegalClassSpecifiers) {
      return Abort(node, "Class has illegal declaration specifiers, line %d.");
    }
    const char* name = node->child[0] != nullptr ? Text(node->child[0]->text) : "";
    if (table_.Lookup(name) != nullptr) {
      return Abort(node, "Class %s has already been declared, line %d.", name);
    }
    GSClassSymbol* cls = table_.NewClassSymbol(name);
    if (cls == nullptr || !table_.AddSymbol(nullptr, cls)) {
      table_.Discard(cls);
      return InternalError(true);
    }
    cls->flags = specifiers;
    node->symbol = cls;
    class_ = cls;
    for (const ParseNode* parent = node->child[1]; parent != nullptr; parent = parent->next) {
      cls->AddPendingParent(Text(parent->text), parent->line);
    }
    // An included class needs its ancestors as much as a class of this unit: they number its
    // functions and fields and admit its up-casts. Its errors are its own unit's to report, once,
    // when a class derives from it or its own unit compiles.
    if (!cls->ResolveParents(!declarationOnly) && !declarationOnly) failed_ = true;
  }

  // Gives a type node its code and class; `check` reports a class that is not declared.
  void ResolveType(ParseNode* type, bool check) {
    if (type == nullptr || type->typeCode != kTypeNone) return;
    type->typeCode = type->code;
    const ParseNode* classNode = type->child[0];
    if ((type->code != kTypeObject && type->code != kTypeObjectArray) || classNode == nullptr) {
      return;
    }
    type->className = classNode->text;
    if (check && table_.LookupClass(Text(type->className)) == nullptr) {
      Error(type, "object<%s> not declared, line %d.", Text(type->className));
    }
  }

  static GSTypes::TypeDescriptor TypeOf(const ParseNode* node) {
    if (node == nullptr) return {};
    return {node->typeCode, node->className};
  }

  void DeclareFunction(ParseNode* node, bool declarationOnly) {
    const bool prototype = node->kind == kDeclPrototype;
    const u32 specifiers = node->flags & kSpecifierMask;
    if ((specifiers & kIllegalFunctionSpecifiers) ||
        ((specifiers & kSpecNative) && (specifiers & kSpecThread))) {
      Error(node, "Function has illegal declaration specifiers, line %d.");
    }
    ParseNode* returnType = node->child[0];
    ResolveType(returnType, !declarationOnly);
    const char* baseName = node->child[1] != nullptr ? Text(node->child[1]->text) : "";

    // The decorated name "Class::base(types)" tells overloads apart.
    std::string& decorated = decorated_;
    decorated.assign(class_ != nullptr ? Text(class_->name) : "");
    decorated += "::";
    decorated += baseName;
    decorated += '(';
    i32 parameterCount = 0;
    for (ParseNode* p = node->child[2]; p != nullptr; p = p->next) {
      ResolveType(p->child[0], !declarationOnly);
      const GSTypes::TypeDescriptor type = TypeOf(p->child[0]);
      if (parameterCount++ > 0) decorated += ',';
      GSTypes::AppendTypeName(decorated, type);
    }
    decorated += ')';

    if (class_ != nullptr) CheckFinalOverride(node, decorated);

    GSFunctionSymbol* function = table_.NewFunctionSymbol(decorated.c_str());
    if (function == nullptr) return InternalError(true);
    const GSTypes::TypeDescriptor newReturn = TypeOf(returnType);
    if (!table_.AddSymbol(class_, function)) {
      table_.Discard(function);
      GSSymbol* found = class_ != nullptr ? class_->FindMember(decorated.c_str(), true)
                                          : table_.Lookup(decorated.c_str());
      if (found == nullptr || found->kind != kSymbolFunction ||
          !(found->flags & kSymbolPrototype)) {
        return Abort(node, "Function %s already declared, line %d.", baseName);
      }
      function = static_cast<GSFunctionSymbol*>(found);
      function->flags &= ~u32(kSymbolPrototype);
      if (!GSTypes::TypesEqual(function->Type(), newReturn)) {
        return Abort(node, "Function differs only by return type, line %d.");
      }
      if ((function->flags & kSpecifierMask) != specifiers) {
        Error(node, "Function specifiers differ from prototype, line %d.");
      }
    }
    function->typeCode = newReturn.code;
    function->returnClassName =
        HasClassName(newReturn.className) ? table_.KeepName(newReturn.className) : nullptr;
    function->flags = specifiers | (prototype ? u32(kSymbolPrototype) : 0);
    node->symbol = function;

    if (specifiers & kSpecThread) {
      if (class_ != nullptr) class_->flags |= kSpecGame;
      if (newReturn.code != kTypeVoid) Error(node, "thread function must return void, line %d.");
    }

    // Parameters take slots 1, 2, ...; slot 0 is `me`. A definition that completes its
    // prototype numbers them anew.
    function->parameterCountPlusOne = 1;
    function->localCount = 0;
    const bool define = !prototype && !declarationOnly;
    if (define) {
      function_ = function;
      if (node->child[3] != nullptr && table_.OpenLevel())
        node->child[3]->flags |= kFlagOpenedScope;
    }
    for (ParseNode* p = node->child[2]; p != nullptr; p = p->next) {
      const i32 slot = function->parameterCountPlusOne++;
      p->slot = slot;
      if (p->child[1] != nullptr) p->child[1]->slot = slot;
      if (define) DeclareParameter(p, slot);
    }
    // The declaration has taken in the return type, the name and the parameters.
    if (define) {
      childMask_ = 1u << 3;
    } else {
      skipChildren_ = true;
    }
  }

  void DeclareParameter(ParseNode* parameter, i32 slot) {
    const char* name = parameter->child[1] != nullptr ? Text(parameter->child[1]->text) : "";
    GSVariableSymbol* variable = table_.NewVariableSymbol(name);
    if (variable == nullptr) return InternalError(false);
    const GSTypes::TypeDescriptor type = TypeOf(parameter->child[0]);
    variable->typeCode = type.code;
    variable->className = HasClassName(type.className) ? table_.KeepName(type.className) : nullptr;
    variable->index = slot;
    if (!table_.AddSymbol(class_, variable)) {
      table_.Discard(variable);
      return Error(parameter, "Variable %s already declared in this scope, line %d.", name);
    }
    parameter->symbol = variable;
  }

  // A function of the same signature that an ancestor declares final cannot be declared again.
  void CheckFinalOverride(const ParseNode* node, const std::string& decorated) {
    const char* signature = decorated.c_str() + decorated.find("::");
    for (const GSClassSymbol::Ancestor& a : class_->Ancestors()) {
      std::string& key = overrideKey_;
      key.assign(Text(a.symbol->name));
      key += signature;
      const GSSymbol* found = a.symbol->FindMember(key.c_str(), true);
      if (found != nullptr && found->kind == kSymbolFunction && (found->flags & kSpecFinal)) {
        return Error(node, "Cannot override final function, line %d.");
      }
    }
  }

  void DeclareVariables(ParseNode* node, bool declarationOnly) {
    const u32 specifiers = node->flags & kSpecifierMask;
    const bool member = (node->flags & kFlagMemberVariables) != 0;
    if (member && (specifiers & kIllegalMemberSpecifiers)) {
      Error(node, "member declaration has invalid specifiers, line %d.");
    } else if (!member && (specifiers & kIllegalLocalSpecifiers)) {
      Error(node, "variable declaration has illegal specifiers, line %d.");
    }
    ResolveType(node->child[0], !declarationOnly);
    const GSTypes::TypeDescriptor type = TypeOf(node->child[0]);
    const char* className =
        HasClassName(type.className) ? table_.KeepName(type.className) : nullptr;

    for (ParseNode* d = node->child[1]; d != nullptr; d = d->next) {
      d->parent = node;
      ParseNode* nameNode = d->child[0];
      const char* name = nameNode != nullptr ? Text(nameNode->text) : "";
      GSVariableSymbol* variable = table_.NewVariableSymbol(name);
      if (variable == nullptr) return InternalError(false);
      variable->typeCode = type.code;
      variable->className = className;
      variable->flags = specifiers;
      const bool local = !member && function_ != nullptr;
      if (local) {
        // Locals follow the parameters in declaration order and are never reused.
        variable->index = function_->parameterCountPlusOne + function_->localCount++;
      }
      if (!table_.AddSymbol(class_, variable)) {
        table_.Discard(variable);
        Error(d, "Variable %s already declared in this scope, line %d.", name);
        continue;
      }
      d->symbol = variable;
      i32 slot = -1;
      if (local) {
        slot = variable->index;
      } else if (variable->scopeLevel == 0 && class_ != nullptr && variable->owner == class_) {
        slot = class_->inheritedMemberCount + variable->index;
      }
      if (nameNode != nullptr) nameNode->slot = slot;
    }
    // The initialisers are checked now, by a walk of their own; a define's value is wanted even
    // where the rest of the unit is only declared.
    Walk(node->child[1], declarationOnly && !(specifiers & kSpecDefine));
    skipChildren_ = true;
  }

  void CheckDeclarator(ParseNode* declarator) {
    GSVariableSymbol* variable = static_cast<GSVariableSymbol*>(declarator->symbol);
    if (variable == nullptr) return;
    const ParseNode* initial = declarator->child[1];
    if (variable->flags & kSpecDefine) {
      if (!Is(initial, kGroupExpression, kExprConstant)) {
        return Error(declarator, "define variable must have a const assignment, line %d.");
      }
      KeepDefineValue(*variable, *initial);
    }
    // An initialiser that no check has typed yet is left to the expression checks.
    if (initial != nullptr && initial->typeCode != kTypeNone) {
      CheckAssignable(declarator, variable->Type(), TypeOf(initial));
    }
  }

  void KeepDefineValue(GSVariableSymbol& variable, const ParseNode& constant) {
    if (variable.typeCode == kTypeString) {
      variable.defineText =
          table_.KeepName(constant.code == kConstString ? Text(constant.text) : "");
      return;
    }
    // The value is kept in the define's own type, so that a use reads it as that type.
    variable.defineValue = ConvertConstantBits(constant.code, constant.value, variable.typeCode);
  }

  void CheckAssignable(const ParseNode* node, const GSTypes::TypeDescriptor& target,
                       const GSTypes::TypeDescriptor& source) {
    if (!GSTypes::ConversionAdmitted(target.code, source.code)) {
      return Error(node, "cannot cast from %s to %s, line %d.", GSTypes::TypeName(&source).c_str(),
                   GSTypes::TypeName(&target).c_str());
    }
    if (!HasClassName(target.className) || !HasClassName(source.className)) return;
    const GSClassSymbol* sourceClass = table_.LookupClass(source.className);
    if (sourceClass == nullptr) {
      return Error(node, "class %s not defined, line %d.", source.className);
    }
    if (!sourceClass->IsOrDerivesFrom(table_.LookupClass(target.className))) {
      Error(node, "cannot cast from object<%s> to object<%s>, line %d.", source.className,
            target.className);
    }
  }

  // ---- Statements ----

  static bool IsOperator(const ParseNode* node, i32 op) {
    return Is(node, kGroupExpression, kExprOperator) && node->code == op;
  }
  static ParseNode* LastOf(ParseNode* list) {
    while (list != nullptr && list->next != nullptr) list = list->next;
    return list;
  }
  static bool IsVoidOrNone(const ParseNode* node) {
    return node == nullptr || node->typeCode == kTypeVoid || node->typeCode == kTypeVoidArray ||
           node->typeCode == kTypeNone;
  }

  // The nearest statement of one of the kinds (a bit mask of statement kinds) that encloses the
  // node within its function.
  static ParseNode* Enclosing(const ParseNode* node, u32 kinds) {
    for (ParseNode* p = node->parent; p != nullptr; p = p->parent) {
      if (p->group != kGroupStatement) {
        if (p->group == kGroupDeclaration) return nullptr;
        continue;
      }
      if (kinds & (1u << p->kind)) return p;
    }
    return nullptr;
  }
  // Appends in source order; the last link of each chain is kept, so that a switch of many
  // cases does not walk its chain once for each.
  void JoinChain(ParseNode* owner, ParseNode* node) {
    ParseNode*& tail = chainTails_[owner];
    (tail != nullptr ? tail->chain : owner->chain) = node;
    tail = node;
    node->owner = owner;
  }

  void CheckStatement(ParseNode* node) {
    constexpr u32 kLoops = (1u << kStmtFor) | (1u << kStmtWhile) | (1u << kStmtWait);
    switch (node->kind) {
      case kStmtIf:
        if (IsVoidOrNone(LastOf(node->child[0]))) Error(node, "invalid if expression, line %d.");
        return;
      case kStmtWhile:
        if (IsVoidOrNone(LastOf(node->child[0]))) Error(node, "invalid while expression, line %d.");
        return;
      case kStmtFor:
        if (node->child[1] != nullptr && IsVoidOrNone(LastOf(node->child[1]))) {
          Error(node, "invalid for expression, line %d.");
        }
        return;
      case kStmtSwitch:
        return CheckSwitch(node);
      case kStmtCase:
      case kStmtDefault:
        return CheckCaseOrDefault(node);
      case kStmtBreak:
        node->owner = Enclosing(node, kLoops | (1u << kStmtSwitch));
        if (node->owner == nullptr) Error(node, "illegal break, line %d.");
        return;
      case kStmtContinue:
        node->owner = Enclosing(node, kLoops);
        if (node->owner == nullptr) Error(node, "illegal continue, line %d.");
        return;
      case kStmtReturn:
        return CheckReturn(node);
      case kStmtBlock:
        if (node->flags & kFlagFunctionBody) CheckFunctionEnd(node);
        return;
      case kStmtWait:
        if (node->chain == nullptr) {
          Error(node, "wait statement must have at least 1 on statement, line %d.");
        }
        return;
      case kStmtOn:
        return CheckOn(node);
      default:
        return;
    }
  }

  void CheckSwitch(ParseNode* node) {
    bool anyCase = false, anyDefault = false;
    const ParseNode* body = node->child[1];
    for (const ParseNode* s = body != nullptr ? body->child[0] : nullptr; s; s = s->next) {
      anyCase |= Is(s, kGroupStatement, kStmtCase);
      anyDefault |= Is(s, kGroupStatement, kStmtDefault);
    }
    if (!anyCase) {
      Error(node, "switch statement without case, line %d.");
    } else if (!anyDefault) {
      Error(node, "switch statement without default, line %d.");
    }
    const ParseNode* value = LastOf(node->child[0]);
    if (value == nullptr || value->typeCode != kTypeInt) {
      Error(node, "switch expression not integral, line %d.");
    }
  }

  void CheckCaseOrDefault(ParseNode* node) {
    const bool isCase = node->kind == kStmtCase;
    ParseNode* owner = Enclosing(node, 1u << kStmtSwitch);
    if (owner == nullptr) {
      return Error(node, isCase ? "illegal case, line %d." : "illegal default, line %d.");
    }
    if (isCase) {
      const ParseNode* value = node->child[0];
      if (!Is(value, kGroupExpression, kExprConstant) || value->typeCode != kTypeInt) {
        Error(node, "case expression not constant or integral, line %d.");
      }
    } else {
      if (owner->flags & kFlagHasDefault) {
        return Error(node, "switch already has default, line %d.");
      }
      owner->flags |= kFlagHasDefault;
    }
    JoinChain(owner, node);
  }

  void CheckReturn(ParseNode* node) {
    const ParseNode* value = node->child[0];
    if (value != nullptr && function_ == nullptr) return InternalError(false);
    if (function_ == nullptr) return;
    const GSTypes::TypeDescriptor expected = function_->Type();
    const bool matches = value == nullptr ? expected.code == kTypeVoid
                                          : GSTypes::TypesEqual(TypeOf(value), expected);
    if (!matches) {
      Error(node, "return type mismatch, expecting %s, line %d.",
            GSTypes::TypeName(&expected).c_str());
    }
  }

  void CheckFunctionEnd(ParseNode* body) {
    ParseNode* last = LastOf(body->child[0]);
    if (Is(last, kGroupStatement, kStmtReturn) || function_ == nullptr) return;
    const GSTypes::TypeDescriptor type = function_->Type();
    if (type.code != kTypeVoid) {
      return Error(body, "expecting return type of %s, line %d.", GSTypes::TypeName(&type).c_str());
    }
    ParseNode* ret = NewParseNode(unit_.nodes, kGroupStatement, kStmtReturn, body->line, -1);
    if (ret == nullptr) return InternalError(false);
    ret->parent = body;
    if (last != nullptr) {
      last->next = ret;
    } else {
      body->child[0] = ret;
    }
  }

  void CheckOn(ParseNode* node) {
    if (ParseNode* owner = Enclosing(node, 1u << kStmtWait)) JoinChain(owner, node);
    const auto isText = [](const ParseNode* n) {
      return Is(n, kGroupExpression, kExprConstant) && n->code == kConstString;
    };
    if (!isText(node->child[0]) || !isText(node->child[1])) {
      Error(node,
            "on statement requires string constant for major and minor message types, line %d");
    }
    const ParseNode* target = node->child[2];
    if (target != nullptr && (target->typeCode != kTypeObject || !(target->flags & kFlagLValue))) {
      Error(node, "on statement requires object type for third parameter, line %d");
    }
  }

  // ---- Expressions ----

  void SetType(ParseNode* node, i32 code, const char* className) {
    node->typeCode = code;
    node->className = HasClassName(className) ? className : nullptr;
  }
  void SetType(ParseNode* node, const ParseNode* from) {
    SetType(node, from->typeCode, from->className);
  }

  void TypeExpression(ParseNode* node) {
    switch (node->kind) {
      case kExprConstant:
        node->typeCode = ConstantType(node->code);
        return;
      case kExprNull:
        node->typeCode = kTypeNull;
        return;
      case kExprMe:
        if (class_ == nullptr) return Error(node, "me keyword invalid in static, line %d.");
        return SetType(node, kTypeObject, class_->name);
      case kExprIdentifier:
        return TypeIdentifier(node);
      case kExprCall:
        return CheckCall(node);
      case kExprOperator:
        return TypeOperator(node);
      default:
        return;
    }
  }

  static bool IsCallee(const ParseNode* node) {
    return Is(node->parent, kGroupExpression, kExprCall) && node->parent->child[0] == node;
  }

  // A define's use becomes the constant it stands for.
  static void BecomeDefine(ParseNode* node, const GSVariableSymbol& define) {
    node->kind = kExprConstant;
    node->code = define.typeCode - 1;
    node->typeCode = ConstantType(node->code);
    node->value = define.defineValue;
    node->text = define.typeCode == kTypeString ? Text(define.defineText) : nullptr;
    node->flags &= ~u32(kFlagLValue);
    for (ParseNode*& child : node->child) child = nullptr;
  }

  void TypeVariable(ParseNode* node, GSVariableSymbol* variable, const GSClassSymbol* seenFrom) {
    if (variable->flags & kSpecDefine) return BecomeDefine(node, *variable);
    SetType(node, variable->typeCode, variable->className);
    // Its static bit would read as a class reference.
    node->flags |= (variable->flags & kSpecifierMask & ~u32(kFlagStaticClass)) | kFlagLValue;
    node->symbol = variable;
    const bool member = variable->owner != nullptr && variable->owner->kind == kSymbolClass &&
                        variable->scopeLevel == 0;
    if (member) node->flags |= kFlagField;
    node->slot =
        member ? static_cast<const GSClassSymbol*>(variable->owner)->MemberSlot(variable, seenFrom)
               : variable->index;
  }

  void TypeIdentifier(ParseNode* node) {
    const char* name = Text(node->text);
    GSSymbol* found = table_.Lookup(name, class_);
    if (found == nullptr || found->kind == kSymbolFunction) {
      if (!IsCallee(node)) Error(node, "variable %s not declared, line %d.", name);
      return;
    }
    if (found->kind == kSymbolClass) {
      SetType(node, kTypeObject, found->name);
      node->flags |= kFlagStaticClass;
      node->symbol = found;
      if (!(found->flags & kSpecStatic) && !IsOperator(node->parent, kOpMember)) {
        Error(node, "class %s is not static, line %d.", name);
      }
      return;
    }
    if (found->kind == kSymbolVariable) {
      TypeVariable(node, static_cast<GSVariableSymbol*>(found), class_);
    }
  }

  // A class-level member of the class or of its ancestors, never a parameter or local.
  static GSSymbol* FindClassMember(GSClassSymbol* cls, const char* name) {
    if (GSSymbol* found = cls->FindMember(name, true)) return found;
    for (const GSClassSymbol::Ancestor& a : cls->Ancestors()) {
      if (GSSymbol* found = a.symbol->FindMember(name, true)) return found;
    }
    return nullptr;
  }

  void TypeOperator(ParseNode* node) {
    ParseNode* left = node->child[0];
    ParseNode* right = node->child[1];
    const i32 op = node->code;
    const char* opName = GSTypes::OperatorName(op);
    switch (op) {
      case kOpPostDec:
      case kOpPostInc:
      case kOpPreDec:
      case kOpPreInc:
      case kOpPlus:
      case kOpNegate:
      case kOpNot:
      case kOpComplement: {
        const i32 type = left != nullptr ? UnaryResultType(op, left->typeCode) : kTypeNone;
        if (type == kTypeNone) {
          return Error(node, "illegal types for unary operand %s, line %d", opName);
        }
        const bool step =
            op == kOpPostDec || op == kOpPostInc || op == kOpPreDec || op == kOpPreInc;
        if (step && !(left->flags & kFlagLValue)) {
          return Error(node, "expression not an l-value for %s operator, line %d", opName);
        }
        node->typeCode = type;
        if (!step) FoldConstantOperator(*node);
        return;
      }
      case kOpMember:
        return TypeMember(node);
      case kOpRange:
      case kOpIndex:
        return TypeIndex(node);
      case kOpCast:
        return TypeCast(node);
      case kOpAssign:
        if (left == nullptr || right == nullptr) return;
        if (left->typeCode == kTypeNone || right->typeCode == kTypeNone) return;
        CheckAssignable(node, TypeOf(left), TypeOf(right));
        if (!(left->flags & kFlagLValue)) {
          return Error(node, "illegal l-value for assignment, line %d.");
        }
        return SetType(node, left);
      case kOpSize:
        if (left == nullptr || !IsIndexable(left->typeCode)) {
          return Error(node, ".size operator requires an array type, line %d.");
        }
        node->typeCode = kTypeInt;
        return;
      case kOpIsClass: {
        if (left == nullptr || left->typeCode != kTypeObject) {
          return Error(node, ".isclass operator requires an object type, line %d.");
        }
        const char* name = right != nullptr ? Text(right->text) : "";
        GSClassSymbol* cls = table_.LookupClass(name);
        if (cls == nullptr) {
          return Error(node, "class %s not declared for .isclass operator, line %d.", name);
        }
        node->symbol = cls;
        node->typeCode = kTypeBool;
        return;
      }
      case kOpCopy:
        return TypeCopy(node);
      case kOpNew:
        return TypeNew(node);
      case kOpComma:
        if (const ParseNode* last = LastOf(left)) SetType(node, last);
        return;
      default:
        break;
    }
    if (op < kOpMul || op > kOpOr) return;
    const i32 type = left != nullptr && right != nullptr
                         ? BinaryResultType(op, left->typeCode, right->typeCode)
                         : kTypeNone;
    if (type == kTypeNone) return Error(node, "illegal types for operand %s, line %d", opName);
    node->typeCode = type;
    FoldConstantOperator(*node);
  }

  void TypeMember(ParseNode* node) {
    const ParseNode* left = node->child[0];
    const char* name = node->child[1] != nullptr ? Text(node->child[1]->text) : "";
    if (left == nullptr) return;
    const i32 t = left->typeCode;
    if (t == kTypeVoid || t == kTypeBool || t == kTypeInt || t == kTypeFloat || t == kTypeNone) {
      return Error(node, ". operator cannot be used on a non-reference type, line %d.");
    }
    if (!HasClassName(left->className)) {
      return Error(node, "unknown object class for '.' operator, line %d.");
    }
    GSClassSymbol* cls = table_.LookupClass(left->className);
    if (cls == nullptr) return InternalError(false);
    const bool throughClass = (left->flags & kFlagStaticClass) != 0;
    // A function: the call resolves it, through a class name too.
    if (IsCallee(node)) {
      SetType(node, kTypeObject, cls->name);
      node->parent->flags |= kFlagMemberCall;
      node->symbol = cls;
      return;
    }
    GSSymbol* member = FindClassMember(cls, name);
    if (member == nullptr || member->kind != kSymbolVariable) {
      if (throughClass) {
        return Error(node, "%s is not a static class or variable within this class, line %d.",
                     name);
      }
      return Error(node, "member %s does not exist in object %s, line %d.", name, cls->name);
    }
    if (!(member->flags & kSpecPublic) && cls != class_) {
      Error(node, "member %s not public in object %s, line %d.", name, cls->name);
    }
    GSVariableSymbol* variable = static_cast<GSVariableSymbol*>(member);
    // A define is a constant, whatever it is reached through.
    if (throughClass && !(member->flags & (kSpecStatic | kSpecDefine))) {
      return Error(node, "%s is not a static class or variable within this class, line %d.", name);
    }
    TypeVariable(node, variable, cls);
  }

  // The name that messages give an operand: an identifier's, or a member access's member.
  static const char* OperandName(const ParseNode* node) {
    if (Is(node, kGroupExpression, kExprIdentifier)) return Text(node->text);
    if (IsOperator(node, kOpMember) && node->child[1] != nullptr) {
      return Text(node->child[1]->text);
    }
    return "";
  }

  void TypeIndex(ParseNode* node) {
    const bool range = node->code == kOpRange;
    const ParseNode* left = node->child[0];
    if (left == nullptr) return;
    if (!IsIndexable(left->typeCode)) {
      return Error(node,
                   range ? "%s not an array type for [,] operator, line %d"
                         : "%s not an array type for [] operator, line %d",
                   OperandName(left));
    }
    const auto integral = [](const ParseNode* n) {
      return n == nullptr || n->typeCode == kTypeInt;
    };
    bool ok = true;
    if (range) {
      if (!integral(node->child[1])) {
        ok = false;
        Error(node, "left index not integral for [,] operator, line %d");
      }
      if (!integral(node->child[2])) {
        ok = false;
        Error(node, "right index not integral for [,] operator, line %d");
      }
    } else if (node->child[1] == nullptr || node->child[1]->typeCode != kTypeInt) {
      ok = false;
      Error(node, "index not integral for [] operator, line %d");
    }
    if (!ok) return;
    i32 type = left->typeCode;
    if (!range) type = type == kTypeString ? kTypeInt : type - kTypeArrayOffset;
    SetType(node, type, left->className);
    node->flags |= kFlagLValue;
  }

  // The class name that casts compare: "object" names no class.
  static const char* CastClass(const char* name) {
    return HasClassName(name) && std::strcmp(name, "object") != 0 ? name : nullptr;
  }

  bool Castable(const GSTypes::TypeDescriptor& target, const GSTypes::TypeDescriptor& source) {
    if (!GSTypes::ConversionAdmitted(target.code, source.code)) return false;
    const char* to = CastClass(target.className);
    const char* from = CastClass(source.className);
    if (to == nullptr || from == nullptr) return true;
    const GSClassSymbol* a = table_.LookupClass(to);
    const GSClassSymbol* b = table_.LookupClass(from);
    return a != nullptr && b != nullptr && (a->IsOrDerivesFrom(b) || b->IsOrDerivesFrom(a));
  }

  void TypeCast(ParseNode* node) {
    const ParseNode* value = node->child[0];
    const ParseNode* type = node->child[1];
    if (value == nullptr || type == nullptr || value->typeCode == kTypeNone) return;
    const GSTypes::TypeDescriptor target = TypeOf(type);
    const GSTypes::TypeDescriptor source = TypeOf(value);
    if (!Castable(target, source)) {
      const bool classes = HasClassName(target.className) && HasClassName(source.className);
      return Error(node, "cannot cast from %s to %s, line %d.",
                   classes ? source.className : GSTypes::TypeName(source.code),
                   classes ? target.className : GSTypes::TypeName(target.code));
    }
    SetType(node, type);
  }

  static bool SameClass(const char* a, const char* b) {
    if (!HasClassName(a) || !HasClassName(b)) return !HasClassName(a) && !HasClassName(b);
    return std::strcmp(a, b) == 0;
  }

  void TypeCopy(ParseNode* node) {
    const ParseNode* left = node->child[0];
    const ParseNode* right = node->child[1];
    if (left == nullptr || !IsIndexable(left->typeCode)) {
      return Error(node, ".copy operator requires an array type, line %d.");
    }
    if (right == nullptr || !IsIndexable(right->typeCode)) {
      return Error(node, ".copy expression must be an array type, line %d.");
    }
    if (left->typeCode != right->typeCode || !SameClass(left->className, right->className)) {
      return Error(node, "left and right types incompatible for .copy operator, line %d.");
    }
    node->typeCode = kTypeVoid;
  }

  void TypeNew(ParseNode* node) {
    const ParseNode* type = node->child[0];
    if (type == nullptr) return;
    const i32 code = type->typeCode;
    const bool array = code >= kTypeBoolArray && code <= kTypeObjectArray;
    if (code != kTypeString && code != kTypeObject && !array) {
      return Error(node, "cannot new type %s, line %d.", GSTypes::TypeName(code));
    }
    if ((code == kTypeObject || code == kTypeObjectArray) && !HasClassName(type->className)) {
      return Error(node, "cannot new unnamed object, line %d.");
    }
    if (array) {
      const ParseNode* size = LastOf(node->child[1]);
      if (size == nullptr || size->typeCode != kTypeInt) {
        return Error(node, "non-integral expression for new[], line %d.");
      }
    }
    if (node->child[2] != nullptr) return Error(node, "constructors not yet supported, line %d.");
    if (code == kTypeObject) {
      const GSClassSymbol* cls = table_.LookupClass(type->className);
      if (cls == nullptr) {
        return Error(node, "cannot find class %s in this translation unit, line %d.",
                     type->className);
      }
      if (cls->flags & (kSpecStatic | kSpecGame)) {
        return Error(node, "cannot new static or game class, line %d.");
      }
    }
    SetType(node, type);
  }

  // ---- Calls ----

  struct ParameterType {
    i32 code;
    std::string className;
    GSTypes::TypeDescriptor Descriptor() const {
      return {code, className.empty() ? nullptr : className.c_str()};
    }
  };

  static bool KnownClass(const char* name, void* context) {
    return static_cast<GSSymbolTable*>(context)->LookupClass(name) != nullptr;
  }

  // The parameter types as the function's signature text names them.
  std::vector<ParameterType> ParameterTypes(const GSFunctionSymbol& function) {
    std::vector<ParameterType> types;
    const char* cursor = GSTypes::SignatureParameters(function.Signature());
    std::string text;
    while (cursor != nullptr && GSTypes::NextSignatureParameter(cursor, text)) {
      ParameterType t{GSTypes::TypeCode(text.c_str(), &KnownClass, &table_), {}};
      // "object" and "object[]" name no class.
      if (t.code == kTypeObject || t.code == kTypeObjectArray) {
        t.className = text.substr(0, text.find("[]"));
        if (t.className == "object") t.className.clear();
      }
      types.push_back(std::move(t));
    }
    return types;
  }

  static bool NeedsCast(const GSTypes::TypeDescriptor& target,
                        const GSTypes::TypeDescriptor& source) {
    return target.code != source.code || !SameClass(target.className, source.className);
  }

  // The casts the arguments need to the parameters; -1 when one does not convert.
  i32 CallCost(const std::vector<ParameterType>& parameters, const ParseNode* arguments) {
    i32 cost = 0;
    size_t i = 0;
    for (const ParseNode* a = arguments; a != nullptr; a = a->next, ++i) {
      if (i >= parameters.size()) return -1;
      const GSTypes::TypeDescriptor target = parameters[i].Descriptor();
      if (!Castable(target, TypeOf(a))) return -1;
      if (NeedsCast(target, TypeOf(a))) ++cost;
    }
    return i == parameters.size() ? cost : -1;
  }

  // Wraps each argument that needs it in a cast to its parameter's type.
  void InsertCasts(ParseNode* call, const std::vector<ParameterType>& parameters) {
    ParseNode** link = &call->child[1];
    for (size_t i = 0; *link != nullptr; ++i) {
      ParseNode* argument = *link;
      if (i >= parameters.size()) return;
      const GSTypes::TypeDescriptor target = parameters[i].Descriptor();
      if (!Castable(target, TypeOf(argument))) {
        Error(argument, "Error in expression, line %d.");
      } else if (NeedsCast(target, TypeOf(argument))) {
        ParseNode* cast =
            NewParseNode(unit_.nodes, kGroupExpression, kExprOperator, argument->line, kOpCast);
        ParseNode* type =
            NewParseNode(unit_.nodes, kGroupDeclaration, kDeclType, argument->line, target.code);
        if (cast == nullptr || type == nullptr) return InternalError(false);
        const char* className =
            HasClassName(target.className) ? table_.KeepName(target.className) : nullptr;
        type->typeCode = target.code;
        type->className = className;
        cast->typeCode = target.code;
        cast->className = className;
        cast->child[0] = argument;
        cast->child[1] = type;
        cast->next = argument->next;
        cast->parent = call;
        argument->next = nullptr;
        argument->parent = cast;
        type->parent = cast;
        *link = cast;
      }
      link = &(*link)->next;
    }
  }

  void TakeResult(ParseNode* call, GSFunctionSymbol* function, const GSClassSymbol* seenFrom) {
    SetType(call, function->typeCode, function->returnClassName);
    call->flags |= function->flags & kSpecifierMask;
    call->symbol = function;
    call->slot =
        function->owner != nullptr && function->owner->kind == kSymbolClass
            ? static_cast<const GSClassSymbol*>(function->owner)->MemberSlot(function, seenFrom)
            : -1;
  }

  // The function that the current one overrides: the first ancestor's of the same signature.
  GSFunctionSymbol* Overridden() {
    if (class_ == nullptr || function_ == nullptr) return nullptr;
    for (const GSClassSymbol::Ancestor& a : class_->Ancestors()) {
      std::string& key = overrideKey_;
      key.assign(Text(a.symbol->name));
      key += function_->Signature();
      GSSymbol* found = a.symbol->FindMember(key.c_str(), true);
      if (found != nullptr && found->kind == kSymbolFunction) {
        return static_cast<GSFunctionSymbol*>(found);
      }
    }
    return nullptr;
  }

  void CheckInherited(ParseNode* call, bool throughMember) {
    if (throughMember) {
      return Error(call, "'inherited' can only be used on current function, line %d.");
    }
    if (function_ == nullptr) {
      return Error(call, "internal compiler error while parsing 'inherited', line %d.");
    }
    if (function_->flags & (kSpecNative | kSpecThread)) {
      return Error(call, "'inherited' can not be used on native or thread function, line %d.");
    }
    SetType(call, function_->typeCode, function_->returnClassName);
    call->symbol = Overridden();
    InsertCasts(call, ParameterTypes(*function_));
  }

  void CheckCall(ParseNode* call) {
    ParseNode* callee = call->child[0];
    const bool member = IsOperator(callee, kOpMember);
    const ParseNode* nameNode = member ? callee->child[1] : callee;
    if (nameNode == nullptr || (!member && !Is(nameNode, kGroupExpression, kExprIdentifier))) {
      return InternalError(false);
    }
    const char* name = Text(nameNode->text);
    if (std::strcmp(name, "inherited") == 0) return CheckInherited(call, member);
    GSClassSymbol* cls = class_;
    if (member) {
      if (callee->typeCode == kTypeNone) return;  // the member access had its message
      cls = static_cast<GSClassSymbol*>(callee->symbol);
      if (cls == nullptr || cls->kind != kSymbolClass) return InternalError(false);
    }
    if (cls == nullptr) {
      failed_ = true;
      return;
    }
    i32 arguments = 0;
    for (const ParseNode* a = call->child[1]; a != nullptr; a = a->next) {
      // An argument in error has had its message; the call cannot be matched without it.
      if (a->typeCode == kTypeNone) return;
      ++arguments;
    }
    const u32 count = CollectCandidates(*cls, name, arguments);
    if (count == 0) {
      if (member) {
        return Error(call, "function %s not declared in class %s or derivative, line %d.", name,
                     cls->name);
      }
      return Error(call, "function %s not declared, line %d.", name);
    }
    GSFunctionSymbol* best = nullptr;
    std::vector<ParameterType> bestParameters;
    i32 bestCost = -1;
    u32 free = 0;
    for (u32 i = 0; i < count; ++i) {
      std::vector<ParameterType> parameters = ParameterTypes(*candidates_[i]);
      const i32 cost = CallCost(parameters, call->child[1]);
      if (cost < 0) continue;
      if (cost == 0) ++free;
      if (best == nullptr || cost < bestCost) {
        best = candidates_[i];
        bestCost = cost;
        bestParameters = std::move(parameters);
      }
    }
    if (best == nullptr) {
      // No candidate takes the arguments: the first one stands, and the casts to its
      // parameters report the arguments that do not convert.
      best = candidates_[0];
      bestParameters = ParameterTypes(*best);
      bestCost = 1;
    }
    if (free > 1) Error(call, "function call %s is ambiguous, line %d.", name);
    TakeResult(call, best, cls);
    if (member && !(best->flags & kSpecPublic) && best->owner != class_) {
      Error(call, "function %s not public in object %s, line %d.", name, cls->name);
    }
    if (bestCost > 0) InsertCasts(call, bestParameters);
  }

  // The class's own functions of the name and count; only when it has none, its ancestors',
  // leaving out a function that a function already collected overrides.
  u32 CollectCandidates(const GSClassSymbol& cls, const char* name, i32 arguments) {
    GSFunctionSymbol** out = candidates_.get();
    u32 count = cls.CollectOwnOverloads(name, arguments, out, kMaxCandidates);
    if (count > 0) return count;
    for (const GSClassSymbol::Ancestor& a : cls.Ancestors()) {
      const u32 begin = count;
      const u32 end = begin + a.symbol->CollectOwnOverloads(name, arguments, out + begin,
                                                            kMaxCandidates - begin);
      for (u32 i = begin; i < end; ++i) {
        if (!IsOverridden(out[i], out, count)) out[count++] = out[i];
      }
    }
    return count;
  }

  static bool IsOverridden(const GSFunctionSymbol* f, GSFunctionSymbol* const* kept, u32 count) {
    const GSClassSymbol* owner = static_cast<const GSClassSymbol*>(f->owner);
    for (u32 i = 0; i < count; ++i) {
      const GSClassSymbol* keeper = static_cast<const GSClassSymbol*>(kept[i]->owner);
      if (std::strcmp(kept[i]->Signature(), f->Signature()) == 0 && keeper != nullptr &&
          keeper->IsOrDerivesFrom(owner)) {
        return true;
      }
    }
    return false;
  }

  std::vector<std::unique_ptr<std::vector<Entry>>> stacks_;
  size_t walkDepth_ = 0;
  std::unordered_map<const ParseNode*, ParseNode*> chainTails_;
  static constexpr u32 kMaxCandidates = 1024;
  std::unique_ptr<GSFunctionSymbol* []> candidates_ { new GSFunctionSymbol*[kMaxCandidates] };

  UnitRecord& unit_;
  GSSymbolTable& table_;
  const bool declarationOnly_;
  bool abort_ = false;
  bool failed_ = false;
  bool skipChildren_ = false;
  // Reused for the names that function declarations build.
  std::string decorated_;
  std::string overrideKey_;
  // Which children of the node just pre-visited the walk enters; the pre-visit may narrow it.
  static constexpr u32 kAllChildren = 0xF;
  u32 childMask_ = kAllChildren;
  GSFunctionSymbol* function_ = nullptr;
  GSClassSymbol* class_ = nullptr;
};

bool SemanticPass(UnitRecord& unit, GSCompilerState& state, bool declarationOnly) {
  state.symbols.currentUnit = &unit;
  SemanticContext context(unit, state.symbols, declarationOnly);
  return context.Run(unit.topLevel);
}

ClassChecker::ClassChecker(UnitRecord& unit, GSCompilerState& state)
    : context_(std::make_unique<SemanticContext>(unit, state.symbols, false)),
      unit_(unit),
      symbols_(state.symbols) {}

ClassChecker::~ClassChecker() = default;

bool ClassChecker::Check(ParseNode* cls) {
  symbols_.currentUnit = &unit_;
  // A walk of one top-level node is the whole pass's walk up to its next sibling.
  const bool checked = context_->Run(cls);
  context_->ForgetNodes();
  return checked;
}

}  // namespace GSCompiler
