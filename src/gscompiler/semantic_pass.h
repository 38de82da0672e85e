// The semantic pass over one unit's parse tree: it enters the unit's classes, functions and
// variables into the symbol tables, numbers slots, keeps defines, opens and closes scope levels,
// and reports every declaration error with the unit's file name and the node's line.
#pragma once

#include <memory>

#include "qel/types.h"

class GSCompilerState;
class UnitRecord;
struct ParseNode;

namespace GSCompiler {

class GSSymbolTable;
class SemanticContext;

// Bound of the walk's explicit stack, far above any real script's nesting; nesting that needs
// more is refused.
constexpr u32 kSemanticStackEntries = 100000;

// Runs over the unit's top-level list. Declaration-only (included units) enters the
// declarations and skips function bodies and the checks. True when no check failed.
bool SemanticPass(UnitRecord& unit, GSCompilerState& state, bool declarationOnly);

// The pass over a root unit one class at a time, in source order, each as soon as the parser
// has completed it, with what earlier classes declared still known.
class ClassChecker {
 public:
  ClassChecker(UnitRecord& unit, GSCompilerState& state);
  ~ClassChecker();
  ClassChecker(const ClassChecker&) = delete;
  ClassChecker& operator=(const ClassChecker&) = delete;

  // The class node alone (its next is not followed). True when no check has failed, for this
  // class or an earlier one.
  bool Check(ParseNode* cls);

 private:
  std::unique_ptr<SemanticContext> context_;
  UnitRecord& unit_;
  GSSymbolTable& symbols_;
};

}  // namespace GSCompiler
