#include "gscompiler/semantic_pass.h"

#include <cstring>
#include <string>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/constant_folding.h"
#include "gscompiler/gs_symbol_table.h"
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

 private:
  struct Entry {
    ParseNode* node;
    u8 state;
  };

  // Children are visited before their parent's post-visit, child 0 first; a node's next sibling
  // after its whole subtree.
  void Walk(ParseNode* root, bool declarationOnly) {
    Entry stack[kSemanticStackEntries];
    u32 count = 0;
    stack[count++] = {root, 0};
    while (count > 0 && !abort_) {
      const Entry entry = stack[--count];
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
          PushNext(stack, count, node);
          continue;
        }
        const u32 mask = childMask_;
        childMask_ = kAllChildren;
        stack[count++] = {node, 1};
        if (count >= kSemanticStackEntries) return Overflow();
        for (i32 c = 3; c >= 0; --c) {
          ParseNode* child = node->child[c];
          if (child == nullptr || !(mask & (1u << c))) continue;
          child->parent = node;
          stack[count++] = {child, 0};
          if (c > 0 && count >= kSemanticStackEntries) return Overflow();
        }
      } else {
        if (!declarationOnly) PostVisit(node);
        PushNext(stack, count, node);
      }
    }
  }

  static void PushNext(Entry* stack, u32& count, ParseNode* node) {
    ParseNode* next = node->next;
    if (next == nullptr) return;
    // A sibling shares its list's parent; it is not a child of the node before it.
    next->parent = node->parent;
    stack[count++] = {next, 0};
  }

  void Overflow() {
    ++unit_.errorCount;
    ReportMessage("Stack overflow; code nested too deep.");
    abort_ = true;
  }

  void InternalError(bool abort) {
    ++unit_.errorCount;
    ReportMessage("Internal compiler error.");
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
        if (node->kind == kDeclType) ResolveType(node, true);
        return;
      case kGroupStatement:
        if (node->kind == kStmtBlock && (node->flags & kFlagOpenedScope)) {
          node->flags &= ~u32(kFlagOpenedScope);
          table_.CloseLevel();
        }
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
    if (!declarationOnly && !cls->ResolveParents()) failed_ = true;
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

  // ---- Expressions ----

  void TypeExpression(ParseNode* node) {
    switch (node->kind) {
      case kExprConstant:
        node->typeCode = ConstantType(node->code);
        return;
      case kExprNull:
        node->typeCode = kTypeNull;
        return;
      case kExprOperator:
        FoldConstantOperator(*node);
        return;
      default:
        return;
    }
  }

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

}  // namespace

bool SemanticPass(UnitRecord& unit, GSCompilerState& state, bool declarationOnly) {
  state.symbols.currentUnit = &unit;
  SemanticContext context(unit, state.symbols, declarationOnly);
  return context.Run(unit.topLevel);
}

}  // namespace GSCompiler
