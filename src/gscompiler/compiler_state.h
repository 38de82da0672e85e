// The state of one compile run.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "gscommon/hash_table.h"
#include "gscompiler/gs_symbol_table.h"
#include "gscompiler/gsc_class.h"
#include "gscompiler/string_number_index.h"
#include "gscompiler/unit_record.h"
#include "qel/string.h"
#include "qel/types.h"

class CompileEnvironment;

class GSCompilerState {
 public:
  static constexpr u32 kStringPoolBuckets = 61;

  // In the environment of the calling thread, the one a compile started on it runs in.
  GSCompilerState();
  explicit GSCompilerState(CompileEnvironment& environment) : environment(environment) {}
  GSCompilerState(const GSCompilerState&) = delete;
  GSCompilerState& operator=(const GSCompilerState&) = delete;

  // Empties the symbol table, the class list, the string pool (with a fresh table) and the
  // counters.
  void Reset();

  // Where the run's units are searched for, and the prefix of its first load: taken once, at
  // the run's start, and the run's own until it ends.
  CompileEnvironment& environment;
  GSCompiler::GSSymbolTable symbols;  // also holds the class and function reference counters
  UnitRecord rootUnit;
  // The classes of the root unit in generation order, as the class section lists them.
  std::vector<std::unique_ptr<GSCompiler::GSCClass>> classes;
  // The string pool: texts by number, numbered in order of first use, and the number of each
  // text. The library lists the texts in the walk order of a table of kStringPoolBuckets buckets.
  std::vector<const char*> strings;
  GSCompiler::StringNumberIndex stringNumbers;
  // While a library is written: the string number of each referenced function's signature, by
  // reference number, with the function's class; the class records reuse it rather than build
  // the same text again. Empty outside the writer.
  std::vector<std::pair<const GSCompiler::GSClassSymbol*, u32>> referenceSignatures;
  u32 unitCounter = 0;  // numbers units in the order their compilation reaches them
  // The included units, whose trees and texts live as long as the run.
  std::vector<std::unique_ptr<UnitRecord>> includedUnits;
};

namespace GSCompiler {

// The string number of the text, adding it to the state's pool when new.
u32 InternString(GSCompilerState& state, const char* text);

}  // namespace GSCompiler
