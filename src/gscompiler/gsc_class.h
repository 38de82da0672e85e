// The compiler's holder of one class of the unit: its functions, its field-initialiser code, its
// reference fields and its method table, and the writer of its class record.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "gscommon/byte_buffer.h"
#include "gscompiler/gsc_function.h"
#include "qel/types.h"

class GSCompilerState;

namespace GSCompiler {

class GSClassSymbol;
class GSFunctionSymbol;
class GSSymbolTable;

struct MethodTableCache;

class GSCClass {
 public:
  struct MethodEntry {
    GSFunctionSymbol* function;
    i32 viewOffset;  // member offset of the function's defining class in this class
  };

  explicit GSCClass(GSClassSymbol* symbol) : symbol(symbol) {}

  // Fills the method table and numbers every class and function that the class record names,
  // so that the reference sections are complete before the record is written. False, after
  // "Wrong return type on function: ", when an override changes the return type.
  // `cache` (when given) keeps the tables built on the way, for the next classes of the run.
  bool Prepare(GSSymbolTable& symbols, MethodTableCache* cache = nullptr);

  // Appends the class record (tag 7 with its sub-records). False when a function record cannot
  // be completed or the buffer failed.
  bool WriteClassRecord(GSCompilerState& state, Utils::ByteBuffer& out) const;

  GSClassSymbol* symbol;
  std::vector<std::unique_ptr<GSCFunction>> functions;
  GSCFunction initialiser;  // the member initialisers, then RET; empty without any
  std::vector<u32> referenceFields;
  std::vector<MethodEntry> methodTable;
};

// The method tables of the classes already built in one code generation, by class: a chain of
// derivations would otherwise build each base again for every class below it. Symbols do not
// change while code is generated, and only tables that were built without a fault are kept.
struct MethodTableCache {
  std::unordered_map<const GSClassSymbol*, std::vector<GSCClass::MethodEntry>> tables;
};

// The method table of a class: each direct base's table at its method offset, then the own
// functions at inherited + index; an own function also takes each inherited slot of the same
// name and parameter types. An empty function marks a slot that nothing fills. False when an
// override has another return type; `wrong` is then that function.
bool BuildMethodTable(const GSClassSymbol& cls, std::vector<GSCClass::MethodEntry>& table,
                      const GSFunctionSymbol** wrong, MethodTableCache* cache = nullptr);

}  // namespace GSCompiler
