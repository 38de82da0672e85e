#include "gscompiler/code_generator.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gscompiler/compile_report.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_symbol.h"
#include "gscompiler/gs_symbol_table.h"
#include "gscompiler/gsc_class.h"
#include "gscompiler/parse_node.h"
#include "platform/invariant.h"

namespace GSCompiler {

namespace {

using Op = GSByteCode::Opcode;

bool IsReference(i32 type) {
  return type == kTypeString || type == kTypeObject ||
         (type >= kTypeBoolArray && type <= kTypeObjectArray);
}
bool HasReferenceElements(i32 arrayType) {
  return arrayType == kTypeStringArray || arrayType == kTypeObjectArray;
}
bool Is(const ParseNode* node, i32 group, i32 kind) {
  return node != nullptr && node->group == group && node->kind == kind;
}
bool IsOperator(const ParseNode* node, i32 code) {
  return Is(node, kGroupExpression, kExprOperator) && node->code == code;
}
bool HasClass(const char* name) { return name != nullptr && *name != 0; }

// Where an assignment, increment or `on` stores: what its address part pushes, and the stores.
enum class Target { kLocal, kMember, kField, kElement, kRange };

struct LoopLabels {
  i32 continueLabel;
  i32 breakLabel;
};

struct SwitchTable {
  std::vector<std::pair<i32, u32>> cases;  // ascending by value
  i32 defaultOffset = -1;
};

struct WaitTable {
  std::vector<std::pair<u32, const ParseNode*>> ons;
};

}  // namespace

class CodeGenerator {
 public:
  explicit CodeGenerator(GSCompilerState& state)
      : state_(state), symbols_(state.symbols), unit_(state.rootUnit) {}

  bool Run() {
    symbols_.currentUnit = &unit_;
    for (ParseNode* node = unit_.topLevel; node != nullptr; node = node->next) {
      if (Is(node, kGroupDeclaration, kDeclClass) && !GenerateClass(node)) return false;
    }
    return true;
  }

  // ---- Classes and functions ----

  bool GenerateClass(ParseNode* node) {
    auto* symbol = static_cast<GSClassSymbol*>(node->symbol);
    if (symbol == nullptr) return Internal();
    state_.classes.push_back(std::make_unique<GSCClass>(symbol));
    class_ = state_.classes.back().get();
    symbols_.currentUnit = &unit_;
    for (ParseNode* member = node->child[2]; member != nullptr; member = member->next) {
      if (member->group != kGroupDeclaration) continue;
      if (member->kind == kDeclFunction || member->kind == kDeclPrototype) {
        if (!GenerateFunction(member)) return false;
      } else if (member->kind == kDeclVariableList && !GenerateMembers(member)) {
        return false;
      }
    }
    GSCFunction& init = class_->initialiser;
    if (init.emitter.Code().Size() != 0) {
      Begin(init);
      e_->Emit(Op::kRet);
      // Every member initialiser stored the value it pushed.
      KESTRO_ASSERT(failed_ || e_->Depth() == 0);
      if (!End()) return false;
    } else {
      init.emitter.ReleaseWorkingStorage();
    }
    return class_->Prepare(symbols_, &methodTables_);
  }

 private:
  void Begin(GSCFunction& function) {
    function_ = &function;
    e_ = &function.emitter;
  }
  bool End() {
    const bool resolved = e_->ResolveFixups(&unit_) == 0;
    e_->ReleaseWorkingStorage();
    function_ = nullptr;
    e_ = nullptr;
    return resolved && !failed_;
  }

  bool GenerateFunction(ParseNode* node) {
    auto* symbol = static_cast<GSFunctionSymbol*>(node->symbol);
    if (symbol == nullptr) return Internal();
    const bool native = (symbol->flags & kSpecNative) != 0;
    if (node->kind == kDeclPrototype) {
      // A prototype that a definition completed is generated with that definition.
      if (!(symbol->flags & kSymbolPrototype)) return true;
      if (!native) {
        ReportMessage(&unit_, "Function %s not implemented", symbol->name);
        return false;
      }
    } else if (native) {
      ReportMessage(&unit_, "Native function %s has been implemented", symbol->name);
      return false;
    }
    class_->functions.push_back(std::make_unique<GSCFunction>(symbol));
    GSCFunction& function = *class_->functions.back();
    function.firstLocal = symbol->parameterCountPlusOne;
    function.localCount = symbol->localCount;
    for (const ParseNode* p = node->child[2]; p != nullptr; p = p->next) {
      if (p->child[0] != nullptr && IsReference(p->child[0]->typeCode)) {
        function.referenceSlots.push_back(static_cast<u32>(p->slot));
      }
    }
    if (node->kind == kDeclPrototype) return true;
    Begin(function);
    function.InstallLineHook();
    current_ = symbol;
    loops_.clear();
    gotoLabels_.clear();
    const bool generated = Chain(node->child[3]);
    // A function generated whole ends with its operand stack empty.
    KESTRO_ASSERT(!generated || e_->Depth() == 0);
    current_ = nullptr;
    return End() && generated;
  }

  // Data members: reference fields are listed for release, initialisers go into the class's
  // field-initialiser code.
  bool GenerateMembers(ParseNode* list) {
    if (list->flags & kSpecDefine) return true;
    const ParseNode* type = list->child[0];
    if (type == nullptr) return Internal();
    Begin(class_->initialiser);
    for (ParseNode* d = list->child[1]; d != nullptr; d = d->next) {
      const ParseNode* name = d->child[0];
      if (name == nullptr) return Internal();
      if (IsReference(type->typeCode)) class_->referenceFields.push_back(u32(name->slot));
      if (d->child[1] == nullptr) continue;
      e_->SetSourceLine(d->line);
      if (!StoredValue(d->child[1], type->typeCode, type->className)) return false;
      e_->EmitIndex(IsReference(type->typeCode) ? Op::kSetmfr : Op::kSetmf, name->slot);
    }
    function_ = nullptr;
    e_ = nullptr;
    return !failed_;
  }

  // ---- Statements ----

  bool Chain(ParseNode* node) {
    for (; node != nullptr; node = node->next) {
      if (!Statement(node)) return false;
    }
    return true;
  }

  // Every statement generated whole leaves the operand stack as deep as it found it: values are
  // stored, dropped or returned within the statement that made them.
  bool Statement(ParseNode* node) {
    [[maybe_unused]] const i32 depth = e_ != nullptr ? e_->Depth() : 0;
    const bool generated = StatementCode(node);
    KESTRO_ASSERT(!generated || e_ == nullptr || e_->Depth() == depth);
    return generated;
  }

  // An empty statement (";") made no node.
  bool StatementCode(ParseNode* node) {
    if (node == nullptr) return true;
    if (function_ != nullptr) function_->SetLine(node->line);
    switch (node->group) {
      case kGroupDeclaration:
        return node->kind == kDeclVariableList ? Locals(node) : true;
      case kGroupExpression:
        return Discarded(node);
      case kGroupStatement:
        break;
      default:
        return Internal();
    }
    switch (node->kind) {
      case kStmtBlock:
        return Chain(node->child[0]);
      case kStmtIf:
        return If(node);
      case kStmtWhile:
        return While(node);
      case kStmtFor:
        return For(node);
      case kStmtBreak:
      case kStmtContinue: {
        const auto found = loops_.find(node->owner);
        if (found == loops_.end()) return Internal();
        const bool isBreak = node->kind == kStmtBreak;
        e_->EmitJump(Op::kJmp, isBreak ? found->second.breakLabel : found->second.continueLabel,
                     isBreak ? "Break" : "Continue", node->line);
        return true;
      }
      case kStmtGoto:
        e_->EmitJump(Op::kJmp, GotoLabel(node->child[0]), "no matching label", node->line);
        return true;
      case kStmtLabel:
        return e_->DefineLabelHere(GotoLabel(node->child[0]));
      case kStmtReturn:
        return Return(node);
      case kStmtSwitch:
        return Switch(node);
      case kStmtCase:
      case kStmtDefault:
        return CaseLabel(node);
      case kStmtWait:
        return Wait(node);
      case kStmtOn:
        return On(node);
      default:
        return Internal();
    }
  }

  i32 GotoLabel(const ParseNode* name) {
    const std::string text = name != nullptr && name->text != nullptr ? name->text : "";
    const auto found = gotoLabels_.find(text);
    if (found != gotoLabels_.end()) return found->second;
    const i32 label = e_->NewLabel();
    gotoLabels_.emplace(text, label);
    return label;
  }

  bool Locals(ParseNode* list) {
    const ParseNode* type = list->child[0];
    if (type == nullptr) return Internal();
    const bool reference = IsReference(type->typeCode);
    for (ParseNode* d = list->child[1]; d != nullptr; d = d->next) {
      const ParseNode* name = d->child[0];
      if (name == nullptr) return Internal();
      if (reference) function_->referenceSlots.push_back(u32(name->slot));
      if (d->child[1] == nullptr) continue;
      if (!StoredValue(d->child[1], type->typeCode, type->className)) return false;
      e_->EmitIndex(reference ? Op::kStorer : Op::kStore, name->slot);
    }
    return true;
  }

  // A condition: the list's value, tested for non-null when it is a reference.
  bool Condition(ParseNode* list) {
    const ParseNode* last = List(list);
    if (last == nullptr) return false;
    if (IsReference(last->typeCode)) e_->Emit(Op::kNotnull);
    return true;
  }

  bool If(ParseNode* node) {
    const i32 otherwise = e_->NewLabel();
    if (!Condition(node->child[0])) return false;
    e_->EmitJump(Op::kJz, otherwise, "", node->line);
    if (!Statement(node->child[1])) return false;
    if (node->child[2] == nullptr) return e_->DefineLabelHere(otherwise);
    const i32 end = e_->NewLabel();
    e_->EmitJump(Op::kJmp, end, "", node->line);
    e_->DefineLabelHere(otherwise);
    if (!Statement(node->child[2])) return false;
    return e_->DefineLabelHere(end);
  }

  LoopLabels& NewLoop(const ParseNode* node) {
    LoopLabels& labels = loops_[node];
    labels.continueLabel = e_->NewLabel();
    labels.breakLabel = e_->NewLabel();
    return labels;
  }

  bool While(ParseNode* node) {
    const LoopLabels labels = NewLoop(node);
    e_->DefineLabelHere(labels.continueLabel);
    if (!Condition(node->child[0])) return false;
    e_->EmitJump(Op::kJz, labels.breakLabel, "", node->line);
    if (!Statement(node->child[1])) return false;
    e_->EmitJump(Op::kJmp, labels.continueLabel, "", node->line);
    return e_->DefineLabelHere(labels.breakLabel);
  }

  bool For(ParseNode* node) {
    const LoopLabels labels = NewLoop(node);
    if (!Chain(node->child[0])) return false;
    const i32 top = e_->NewLabel();
    e_->DefineLabelHere(top);
    if (node->child[1] == nullptr) {
      e_->Emit(Op::kPush1);
    } else if (!Condition(node->child[1])) {
      return false;
    }
    e_->EmitJump(Op::kJz, labels.breakLabel, "", node->line);
    if (!Statement(node->child[2])) return false;
    e_->DefineLabelHere(labels.continueLabel);
    if (!Chain(node->child[3])) return false;
    e_->EmitJump(Op::kJmp, top, "", node->line);
    return e_->DefineLabelHere(labels.breakLabel);
  }

  bool Return(ParseNode* node) {
    if (node->child[0] == nullptr) {
      e_->Emit(Op::kRet);
      return true;
    }
    if (List(node->child[0]) == nullptr) return false;
    const bool reference = current_ != nullptr && IsReference(current_->typeCode);
    e_->Emit(reference ? Op::kRetvr : Op::kRetv);
    return true;
  }

  bool Switch(ParseNode* node) {
    const LoopLabels labels = NewLoop(node);
    if (List(node->child[0]) == nullptr) return false;
    u32 count = 0;
    for (const ParseNode* c = node->chain; c != nullptr; c = c->chain) {
      if (c->kind == kStmtCase) ++count;
    }
    e_->Emit(Op::kSwitch);
    e_->WriteU16(static_cast<i32>(count));
    const u32 table = e_->Offset();
    for (u32 i = 0; i < count * 2 + 1; ++i) e_->WriteU32(0);
    SwitchTable& cases = switches_[node];
    if (!Statement(node->child[1])) return false;
    const u32 end = e_->Offset();
    Utils::ByteBuffer& code = e_->Code();
    if (!code.SetPosition(table)) return Internal();
    for (const auto& c : cases.cases) code.WriteU32(static_cast<u32>(c.first));
    for (const auto& c : cases.cases) code.WriteU32(c.second);
    code.WriteU32(cases.defaultOffset >= 0 ? static_cast<u32>(cases.defaultOffset) : end);
    code.SetPosition(end);
    switches_.erase(node);
    return e_->DefineLabelHere(labels.breakLabel);
  }

  bool CaseLabel(ParseNode* node) {
    const auto found = switches_.find(node->owner);
    if (found == switches_.end()) return Internal();
    SwitchTable& table = found->second;
    const u32 here = e_->Offset();
    if (node->kind == kStmtDefault) {
      table.defaultOffset = static_cast<i32>(here);
      return true;
    }
    const ParseNode* value = node->child[0];
    if (!Is(value, kGroupExpression, kExprConstant)) return Internal();
    const i32 key = static_cast<i32>(value->value);
    auto at = std::lower_bound(table.cases.begin(), table.cases.end(), key,
                               [](const auto& c, i32 k) { return c.first < k; });
    if (at != table.cases.end() && at->first == key) {
      ReportError(&unit_, true, false, node->line, "case has duplicate value, line %d", node->line);
      return false;
    }
    table.cases.insert(at, {key, here});
    return true;
  }

  bool Wait(ParseNode* node) {
    const LoopLabels labels = NewLoop(node);
    u32 count = 0;
    for (const ParseNode* c = node->chain; c != nullptr; c = c->chain) ++count;
    e_->DefineLabelHere(labels.continueLabel);
    e_->Emit(Op::kWait);
    e_->WriteI16(static_cast<i32>(count));
    const u32 table = e_->Offset();
    for (u32 i = 0; i < count * 2; ++i) e_->WriteU32(0);
    WaitTable& ons = waits_[node];
    if (!Statement(node->child[0])) return false;
    const u32 end = e_->Offset();
    Utils::ByteBuffer& code = e_->Code();
    if (ons.ons.size() != count || !code.SetPosition(table)) return Internal();
    for (const auto& on : ons.ons) {
      code.WriteU16(static_cast<u16>(InternString(state_, on.second->child[0]->text)));
      code.WriteU16(static_cast<u16>(InternString(state_, on.second->child[1]->text)));
    }
    for (const auto& on : ons.ons) code.WriteU32(on.first);
    code.SetPosition(end);
    waits_.erase(node);
    return e_->DefineLabelHere(labels.breakLabel);
  }

  bool On(ParseNode* node) {
    if (node->child[0] == nullptr || node->child[1] == nullptr) return Internal();
    const u32 major = InternString(state_, node->child[0]->text);
    const u32 minor = InternString(state_, node->child[1]->text);
    if (major > 0xFFFF || minor > 0xFFFF) return Internal();
    const auto found = waits_.find(node->owner);
    if (found != waits_.end()) {
      WaitTable& table = found->second;
      if (!table.ons.empty()) {
        e_->EmitJump(Op::kJmp, loops_[node->owner].breakLabel, "Break", node->line);
      }
      table.ons.emplace_back(e_->Offset(), node);
    } else {
      // Outside a wait the thread waits for this one message and goes on just after.
      constexpr u32 kWaitOfOne = 1 + 2 + 4 + 4;
      const u32 target = e_->Offset() + kWaitOfOne;
      e_->Emit(Op::kWait);
      e_->WriteI16(1);
      e_->WriteU16(static_cast<i32>(major));
      e_->WriteU16(static_cast<i32>(minor));
      e_->WriteU32(target);
    }
    // The thread resumes with the message pushed.
    e_->AdjustDepth(1);
    ParseNode* operand = node->child[2];
    if (operand == nullptr) {
      // The message arrives counted; a plain drop would keep every unnamed message alive.
      e_->Emit(Op::kPopr);
      return true;
    }
    const Target kind = TargetOf(operand);
    i32 parked = -1;
    if (kind != Target::kLocal && kind != Target::kMember) {
      parked = Temporary();
      if (parked < 0) return false;
      e_->EmitIndex(Op::kStore, parked);
      if (!Address(operand, kind)) return false;
      e_->EmitIndex(Op::kLoad, parked);
    }
    if (HasClass(operand->className)) e_->EmitIndex(Op::kCast, ClassIndex(operand->className));
    Store(operand, kind, false);
    if (parked >= 0) function_->ReleaseTemporary(parked);
    return true;
  }

  // ---- Expressions ----

  // Generates each expression of a comma list, dropping all values but the last one's; gives
  // that last node, or null on failure.
  const ParseNode* List(ParseNode* list) {
    if (list == nullptr) {
      Fail();
      return nullptr;
    }
    for (; list->next != nullptr; list = list->next) {
      if (!Discarded(list)) return nullptr;
    }
    return Value(list) ? list : nullptr;
  }

  // An expression whose value is not wanted: stores use their plain form and leave nothing,
  // anything else is dropped.
  bool Discarded(ParseNode* node) {
    if (IsStore(node)) {
      node->flags |= kFlagValueConsumed;
      return StoreExpression(node, false);
    }
    if (!Value(node)) return false;
    Drop(node->typeCode);
    return true;
  }

  void Drop(i32 type) {
    if (type == kTypeVoid) return;
    e_->Emit(IsReference(type) ? Op::kPopr : Op::kPop);
  }

  static bool IsStore(const ParseNode* node) {
    if (!Is(node, kGroupExpression, kExprOperator)) return false;
    switch (node->code) {
      case kOpAssign:
      case kOpPreInc:
      case kOpPreDec:
      case kOpPostInc:
      case kOpPostDec:
        return true;
      default:
        return false;
    }
  }

  bool StoreExpression(ParseNode* node, bool keep) {
    return node->code == kOpAssign ? Assign(node, keep) : Step(node, keep);
  }

  bool Value(ParseNode* node) {
    if (node == nullptr) return Fail();
    switch (node->kind) {
      case kExprConstant:
        return Constant(node);
      case kExprNull:
        e_->Emit(Op::kPush0);
        return true;
      case kExprMe:
        e_->EmitIndex(Op::kLoadr, 0);
        return true;
      case kExprIdentifier:
        if (node->flags & kFlagStaticClass) return Static(node);
        Load(node, node->flags & kFlagField ? Target::kMember : Target::kLocal);
        return true;
      case kExprCall:
        return Call(node);
      case kExprOperator:
        return Operator(node);
      default:
        return Internal();
    }
  }

  bool Constant(const ParseNode* node) {
    switch (node->code) {
      case kConstBool:
        e_->Emit(node->value != 0 ? Op::kPush1 : Op::kPush0);
        return true;
      case kConstInt:
      case kConstFloat:
        e_->Emit(Op::kPushc, node->value);
        return true;
      case kConstString:
        e_->EmitIndex(Op::kPushs, static_cast<i32>(InternString(state_, node->text)));
        return true;
      default:
        return Message("Compiler error GEC");
    }
  }

  bool Static(const ParseNode* node) {
    const auto* cls = static_cast<const GSSymbol*>(node->symbol);
    if (cls == nullptr || cls->kind != kSymbolClass) return Internal();
    e_->EmitIndex(Op::kStatic, ClassIndex(cls->name));
    return true;
  }

  i32 ClassIndex(const char* name) {
    GSClassSymbol* cls = symbols_.LookupClass(name);
    if (cls == nullptr) {
      Internal();
      return 0;
    }
    // Only deferred numbering leaves a class looked up without a number: the class is first
    // numbered by a later class's check, which this code cannot wait for. The caller compiles
    // the unit again the whole-tree way; the failure says nothing.
    if (cls->referenceNumber < 0) Fail();
    return cls->referenceNumber;
  }

  bool Operator(ParseNode* node) {
    ParseNode* left = node->child[0];
    ParseNode* right = node->child[1];
    switch (node->code) {
      case kOpMember:
        if (!Object(left)) return false;
        e_->EmitIndex(IsReference(node->typeCode) ? Op::kGetfr : Op::kGetf, node->slot);
        return true;
      case kOpIndex:
        if (!Value(left) || !Value(right)) return false;
        e_->Emit(left->typeCode == kTypeString          ? Op::kSget
                 : HasReferenceElements(left->typeCode) ? Op::kAgetr
                                                        : Op::kAget);
        return true;
      case kOpRange:
        if (!Value(left) || !Bounds(node)) return false;
        e_->Emit(left->typeCode == kTypeString          ? Op::kSrange
                 : HasReferenceElements(left->typeCode) ? Op::kAranger
                                                        : Op::kArange);
        return true;
      case kOpSize:
        if (!Value(left)) return false;
        e_->Emit(left->typeCode == kTypeString ? Op::kSsize : Op::kAsize);
        return true;
      case kOpIsClass: {
        if (!Value(left)) return false;
        const auto* cls = static_cast<const GSSymbol*>(node->symbol);
        if (cls == nullptr) return Internal();
        e_->EmitIndex(Op::kIsclass, ClassIndex(cls->name));
        return true;
      }
      case kOpCopy:
        return Copy(node);
      case kOpNew:
        return New(node);
      case kOpPlus:
        return Value(left);
      case kOpNegate:
        if (!Value(left)) return false;
        if (left->typeCode == kTypeInt) {
          e_->Emit(Op::kNeg);
        } else if (left->typeCode == kTypeFloat) {
          e_->Emit(Op::kFneg);
        } else {
          return Message("Compiler error GEOUM");
        }
        return true;
      case kOpNot:
        if (!Value(left)) return false;
        e_->Emit(IsReference(left->typeCode)    ? Op::kIsnull
                 : left->typeCode == kTypeFloat ? Op::kNot
                                                : Op::kEq);
        return true;
      case kOpComplement:
        if (!Value(left)) return false;
        e_->Emit(Op::kBnot);
        return true;
      case kOpPreInc:
      case kOpPreDec:
      case kOpPostInc:
      case kOpPostDec:
      case kOpAssign:
        return StoreExpression(node, true);
      case kOpCast:
        if (!Value(left)) return false;
        return Convert(*left, node->typeCode, node->className);
      case kOpAnd:
      case kOpOr:
        return ShortCircuit(node);
      case kOpComma:
        return List(left) != nullptr;
      default:
        break;
    }
    if (node->code >= kOpLess && node->code <= kOpNotEqual) return Compare(node);
    return Arithmetic(node);
  }

  // The object of a member access: a static class by its instance, anything else by value.
  bool Object(ParseNode* node) {
    if (Is(node, kGroupExpression, kExprIdentifier) && (node->flags & kFlagStaticClass)) {
      return Static(node);
    }
    return Value(node);
  }

  // The two bounds of a range: the end (right) beneath, the start (left) on top; -1 for absent.
  bool Bounds(ParseNode* range) {
    for (ParseNode* bound : {range->child[2], range->child[1]}) {
      if (bound == nullptr) {
        e_->Emit(Op::kPushc, static_cast<u32>(-1));
      } else if (!Value(bound)) {
        return false;
      }
    }
    return true;
  }

  bool Copy(ParseNode* node) {
    ParseNode* target = node->child[0];
    const Target kind = TargetOf(target);
    if (!Address(target, kind) || !Value(node->child[1])) return false;
    e_->Emit(target->typeCode == kTypeString ? Op::kScopy : Op::kAcopy);
    Store(target, kind, false);
    return true;
  }

  bool New(ParseNode* node) {
    const ParseNode* type = node->child[0];
    if (type == nullptr) return Internal();
    const i32 code = type->typeCode;
    if (code == kTypeString) {
      e_->Emit(Op::kNews);
      return true;
    }
    if (code == kTypeObject) {
      e_->EmitIndex(Op::kNew, ClassIndex(type->className));
      return !failed_;
    }
    if (List(node->child[1]) == nullptr) return false;
    e_->Emit(HasReferenceElements(code) ? Op::kNewar : Op::kNewa);
    return true;
  }

  // Code that turns the value into type `to`, as a cast does; an object of another class is
  // viewed as the target class.
  bool Convert(const ParseNode& value, i32 to, const char* toClass) {
    const i32 from = value.typeCode;
    if (from == kTypeObject && to == kTypeObject) {
      if (HasClass(toClass) &&
          !(HasClass(value.className) && std::strcmp(value.className, toClass) == 0)) {
        e_->EmitIndex(Op::kCast, ClassIndex(toClass));
      }
      return !failed_;
    }
    if (from == to) return true;
    if (to == kTypeFloat && (from == kTypeInt || from == kTypeBool)) {
      e_->Emit(Op::kItof);
    } else if (to == kTypeInt && from == kTypeFloat) {
      e_->Emit(Op::kFtoi);
    } else if (to == kTypeString && from != kTypeNull) {
      return ToString(from);
    }
    return true;
  }

  bool ToString(i32 from) {
    switch (from) {
      case kTypeString:
      case kTypeNull:
        return true;
      case kTypeInt:
        e_->Emit(Op::kItos);
        return true;
      case kTypeBool:
        e_->Emit(Op::kBtos);
        return true;
      case kTypeFloat:
        e_->Emit(Op::kFtos);
        return true;
      default:
        return Message("Compiler error GECTS");
    }
  }

  // The value of an initialiser or the right side of an assignment, converted to the target's
  // type; a string that another holder can reach is copied, so that the stored one is its own.
  bool StoredValue(ParseNode* value, i32 type, const char* className) {
    if (!Value(value) || !Convert(*value, type, className)) return false;
    const bool shared =
        (value->flags & kFlagLValue) || value->kind == kExprCall || IsOperator(value, kOpCast);
    if (type == kTypeString && value->typeCode == kTypeString && shared) e_->Emit(Op::kScopy);
    return true;
  }

  bool Arithmetic(ParseNode* node) {
    ParseNode* left = node->child[0];
    ParseNode* right = node->child[1];
    const i32 type = node->typeCode;
    for (ParseNode* operand : {left, right}) {
      if (!Value(operand)) return false;
      if (type == kTypeString && !ToString(operand->typeCode)) return false;
      if (type == kTypeFloat && operand->typeCode != kTypeFloat) e_->Emit(Op::kItof);
    }
    const bool isFloat = type == kTypeFloat;
    switch (node->code) {
      case kOpAdd:
        e_->Emit(type == kTypeString ? Op::kScat : isFloat ? Op::kFadd : Op::kAdd);
        return true;
      case kOpSub:
        e_->Emit(isFloat ? Op::kFsub : Op::kSub);
        return true;
      case kOpMul:
        e_->Emit(isFloat ? Op::kFmul : Op::kMul);
        return true;
      case kOpDiv:
        e_->Emit(isFloat ? Op::kFdiv : Op::kDiv);
        return true;
      case kOpMod:
        e_->Emit(isFloat ? Op::kFmod : Op::kMod);
        return true;
      case kOpShiftLeft:
        e_->Emit(Op::kShl);
        return true;
      case kOpShiftRight:
        e_->Emit(Op::kShr);
        return true;
      case kOpBitAnd:
        e_->Emit(Op::kAnd);
        return true;
      case kOpBitXor:
        e_->Emit(Op::kXor);
        return true;
      case kOpBitOr:
        e_->Emit(Op::kOr);
        return true;
      default:
        return Internal();
    }
  }

  bool Compare(ParseNode* node) {
    ParseNode* left = node->child[0];
    ParseNode* right = node->child[1];
    const auto either = [&](i32 type) { return left->typeCode == type || right->typeCode == type; };
    const auto plain = [](i32 type) { return type == kTypeBool || type == kTypeInt; };
    Op compare;
    if (either(kTypeString)) {
      compare = Op::kScmp;
    } else if (either(kTypeFloat)) {
      compare = Op::kFcmp;
    } else if (plain(left->typeCode) && plain(right->typeCode)) {
      compare = Op::kCmp;
    } else {
      compare = Op::kRcmp;
    }
    for (ParseNode* operand : {left, right}) {
      if (!Value(operand)) return false;
      if (compare == Op::kScmp && !ToString(operand->typeCode)) return false;
      if (compare == Op::kFcmp && operand->typeCode != kTypeFloat) {
        if (!plain(operand->typeCode)) return Message("Compiler error GECTS");
        e_->Emit(Op::kItof);
      }
    }
    e_->Emit(compare);
    static constexpr Op kTests[] = {Op::kLt, Op::kGt, Op::kLe, Op::kGe, Op::kEq, Op::kNe};
    e_->Emit(kTests[node->code - kOpLess]);
    return true;
  }

  bool ShortCircuit(ParseNode* node) {
    const i32 end = e_->NewLabel();
    if (!Value(node->child[0])) return false;
    if (IsReference(node->child[0]->typeCode)) e_->Emit(Op::kNotnull);
    e_->EmitJump(node->code == kOpAnd ? Op::kJzk : Op::kJnzk, end, "", node->line);
    e_->Emit(Op::kPop);
    if (!Value(node->child[1])) return false;
    if (IsReference(node->child[1]->typeCode)) e_->Emit(Op::kNotnull);
    return e_->DefineLabelHere(end);
  }

  // ---- Stores ----

  static Target TargetOf(const ParseNode* node) {
    if (IsOperator(node, kOpMember)) return Target::kField;
    if (IsOperator(node, kOpIndex)) return Target::kElement;
    if (IsOperator(node, kOpRange)) return Target::kRange;
    return node->flags & kFlagField ? Target::kMember : Target::kLocal;
  }

  // What a store needs beneath the value: the object, the array and index, or the array and
  // bounds.
  bool Address(ParseNode* target, Target kind) {
    switch (kind) {
      case Target::kLocal:
      case Target::kMember:
        return true;
      case Target::kField:
        return Object(target->child[0]);
      case Target::kElement:
        return Value(target->child[0]) && Value(target->child[1]);
      case Target::kRange:
        return Value(target->child[0]) && Bounds(target);
    }
    return Internal();
  }

  void Load(const ParseNode* target, Target kind) {
    const bool reference = IsReference(target->typeCode);
    e_->EmitIndex(kind == Target::kMember ? (reference ? Op::kGetmfr : Op::kGetmf)
                                          : (reference ? Op::kLoadr : Op::kLoad),
                  target->slot);
  }

  void Store(const ParseNode* target, Target kind, bool keep) {
    const bool reference = IsReference(target->typeCode);
    const i32 container =
        target->child[0] != nullptr ? i32(target->child[0]->typeCode) : i32(kTypeNone);
    switch (kind) {
      case Target::kLocal:
        e_->EmitIndex(
            reference ? (keep ? Op::kStorerk : Op::kStorer) : (keep ? Op::kStorek : Op::kStore),
            target->slot);
        return;
      case Target::kMember:
        e_->EmitIndex(
            reference ? (keep ? Op::kSetmfrk : Op::kSetmfr) : (keep ? Op::kSetmfk : Op::kSetmf),
            target->slot);
        return;
      case Target::kField:
        e_->EmitIndex(
            reference ? (keep ? Op::kSetfrk : Op::kSetfr) : (keep ? Op::kSetfk : Op::kSetf),
            target->slot);
        return;
      case Target::kElement:
        if (container == kTypeString) {
          e_->Emit(keep ? Op::kSsetk : Op::kSset);
        } else if (HasReferenceElements(container)) {
          e_->Emit(keep ? Op::kAsetrk : Op::kAsetr);
        } else {
          e_->Emit(keep ? Op::kAsetk : Op::kAset);
        }
        return;
      case Target::kRange:
        if (container == kTypeString) {
          e_->Emit(keep ? Op::kSrangesetk : Op::kSrangeset);
        } else if (HasReferenceElements(container)) {
          e_->Emit(keep ? Op::kArangesetrk : Op::kArangesetr);
        } else {
          e_->Emit(keep ? Op::kArangesetk : Op::kArangeset);
        }
        return;
    }
  }

  bool Assign(ParseNode* node, bool keep) {
    ParseNode* target = node->child[0];
    const Target kind = TargetOf(target);
    if (!Address(target, kind)) return false;
    if (!StoredValue(node->child[1], target->typeCode, target->className)) return false;
    Store(target, kind, keep);
    return true;
  }

  // Increments and decrements: load, step, store; a kept postfix value is the old one.
  bool Step(ParseNode* node, bool keep) {
    ParseNode* target = node->child[0];
    const Target kind = TargetOf(target);
    const bool increment = node->code == kOpPreInc || node->code == kOpPostInc;
    const bool postfix = node->code == kOpPostInc || node->code == kOpPostDec;
    const bool isFloat = target->typeCode == kTypeFloat;
    const Op step =
        isFloat ? (increment ? Op::kFinc : Op::kFdec) : (increment ? Op::kInc : Op::kDec);
    const bool inPlace = kind == Target::kLocal || kind == Target::kMember;
    if (!Address(target, kind)) return false;
    if (inPlace) {
      Load(target, kind);
    } else {
      const i32 container =
          target->child[0] != nullptr ? i32(target->child[0]->typeCode) : i32(kTypeNone);
      e_->Emit(kind == Target::kField ? Op::kDupr : Op::kDup2r);
      if (kind == Target::kField) {
        e_->EmitIndex(Op::kGetf, target->slot);
      } else {
        e_->Emit(container == kTypeString ? Op::kSget : Op::kAget);
      }
    }
    if (!keep || !postfix) {
      e_->Emit(step);
      Store(target, kind, keep);
      return true;
    }
    if (inPlace) {
      e_->Emit(Op::kDup);
      e_->Emit(step);
      Store(target, kind, false);
      return true;
    }
    const i32 saved = Temporary();
    if (saved < 0) return false;
    e_->EmitIndex(Op::kStorek, saved);
    e_->Emit(step);
    Store(target, kind, false);
    e_->EmitIndex(Op::kLoad, saved);
    function_->ReleaseTemporary(saved);
    return true;
  }

  i32 Temporary() {
    const i32 slot = function_->AcquireTemporary();
    if (slot < 0) Message("Compiler error: no temporary left");
    return slot;
  }

  // ---- Calls ----

  bool Call(ParseNode* node) {
    ParseNode* callee = node->child[0];
    const bool member = IsOperator(callee, kOpMember);
    const ParseNode* name = member ? callee->child[1] : callee;
    if (name == nullptr) return Internal();
    i32 arguments = 0;
    for (const ParseNode* a = node->child[1]; a != nullptr; a = a->next) ++arguments;
    const bool inherited =
        !member && name->text != nullptr && std::strcmp(name->text, "inherited") == 0;
    if (member) {
      if (!Object(callee->child[0])) return false;
    } else {
      e_->EmitIndex(Op::kLoadr, 0);
    }
    for (ParseNode* a = node->child[1]; a != nullptr; a = a->next) {
      if (!Value(a)) return false;
    }
    const i32 position = -arguments;
    if (inherited) {
      if (current_ == nullptr) return Internal();
      e_->EmitIndex(Op::kCalli, 1 - current_->parameterCountPlusOne);
    } else {
      auto* function = static_cast<GSFunctionSymbol*>(node->symbol);
      if (function == nullptr) return Internal();
      symbols_.NumberReference(function);
      const Op op = function->flags & kSpecNative   ? Op::kCalln
                    : function->flags & kSpecThread ? Op::kCallt
                                                    : Op::kCall;
      e_->EmitCall(op, position, node->slot);
    }
    e_->AdjustDepth(-(arguments + 1) + (node->typeCode != kTypeVoid ? 1 : 0));
    return true;
  }

  // ---- Failures ----

  bool Message(const char* text) {
    ReportMessage(&unit_, "%s", text);
    return Fail();
  }
  bool Internal() { return Message("Internal Compiler Error."); }
  bool Fail() {
    failed_ = true;
    return false;
  }

  GSCompilerState& state_;
  GSSymbolTable& symbols_;
  UnitRecord& unit_;
  GSCClass* class_ = nullptr;
  GSCFunction* function_ = nullptr;
  CodeEmitter* e_ = nullptr;
  const GSFunctionSymbol* current_ = nullptr;
  bool failed_ = false;
  std::unordered_map<const ParseNode*, LoopLabels> loops_;
  std::unordered_map<const ParseNode*, SwitchTable> switches_;
  std::unordered_map<const ParseNode*, WaitTable> waits_;
  std::unordered_map<std::string, i32> gotoLabels_;
  MethodTableCache methodTables_;
};

bool GenerateUnit(GSCompilerState& state) {
  if (state.rootUnit.topLevel == nullptr || state.rootUnit.errorCount != 0) return false;
  CodeGenerator generator(state);
  return generator.Run();
}

ClassGenerator::ClassGenerator(GSCompilerState& state)
    : generator_(std::make_unique<CodeGenerator>(state)), symbols_(state.symbols) {}

ClassGenerator::~ClassGenerator() = default;

bool ClassGenerator::Generate(ParseNode* cls) {
  symbols_.DeferNumbering(true);
  const bool generated = generator_->GenerateClass(cls);
  symbols_.DeferNumbering(false);
  return generated;
}

}  // namespace GSCompiler
