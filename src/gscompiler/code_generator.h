// Code generation for a checked unit: each class of the root unit becomes a GSCClass with its
// functions' byte code, its field-initialiser code and its method table, ready for the library
// writer.
#pragma once

#include <memory>

class GSCompilerState;
struct ParseNode;

namespace GSCompiler {

class CodeGenerator;
class GSSymbolTable;

// Generates every class of the state's root unit into state.classes. Runs only on a unit that
// has a tree and no errors. False after a message: a prototype never implemented, a native
// function with a body, an override with another return type, a duplicate case, an unresolved
// jump label, an operand out of its range, or an internal error.
bool GenerateUnit(GSCompilerState& state);

// Code generation of a root unit one class at a time, right after the class's check, so that
// its nodes can go before the next class is parsed. Reference numbers that generation asks for
// are deferred (GSSymbolTable::DeferNumbering): the caller numbers them once every class has
// been checked.
class ClassGenerator {
 public:
  explicit ClassGenerator(GSCompilerState& state);
  ~ClassGenerator();
  ClassGenerator(const ClassGenerator&) = delete;
  ClassGenerator& operator=(const ClassGenerator&) = delete;

  // As GenerateUnit for the one class. False also, without a message, when its code needs a
  // class number that deferral cannot give yet; the unit must then be compiled whole.
  bool Generate(ParseNode* cls);

 private:
  std::unique_ptr<CodeGenerator> generator_;
  GSSymbolTable& symbols_;
};

}  // namespace GSCompiler
