// The state of one compile run and of each source unit in it.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "gscommon/frame_memory.h"
#include "gscommon/hash_table.h"
#include "gscompiler/gs_symbol_table.h"
#include "gscompiler/gsc_class.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/string_number_index.h"
#include "qel/string.h"
#include "qel/types.h"

class GSCompileLog;
class GSCompilerState;
struct ParseNode;

// Takes a unit's classes from the parser one at a time, as each is completed, in place of the
// unit's tree.
class ClassSink {
 public:
  virtual ~ClassSink() = default;
  // The class node, which belongs to the sink until the next class begins. False stops the
  // parse, which then counts as failed.
  virtual bool TakeClass(ParseNode* cls) = 0;
  // The lower-cased name of a unit that the unit includes, which stays valid until the first
  // class is taken; every include comes before the first class.
  virtual void TakeInclude(const char* name) = 0;
};

// One source unit being compiled. The parser fills the pools and the tree.
class UnitRecord {
 public:
  UnitRecord() = default;
  UnitRecord(const UnitRecord&) = delete;
  UnitRecord& operator=(const UnitRecord&) = delete;

  // Empties the unit for a new compile that reports to `log`.
  void Reset(GSCompilerState* owner, GSCompileLog* log);

  GSCompiler::ParseNodeArena nodes;
  Utils::FrameMemory textMemory;
  Qel::String fileName;  // lower-cased, as looked up
  u32 sourceId = 0;
  u32 nameId = 0;
  GSCompilerState* state = nullptr;
  ParseNode* topLevel = nullptr;  // includes first, then classes
  // When set, the parser hands the includes and classes here rather than into topLevel.
  ClassSink* classSink = nullptr;
  i32 errorCount = 0;
  i32 warningCount = 0;
  GSCompileLog* log = nullptr;
};

class GSCompilerState {
 public:
  static constexpr u32 kStringPoolBuckets = 61;

  GSCompilerState() = default;
  GSCompilerState(const GSCompilerState&) = delete;
  GSCompilerState& operator=(const GSCompilerState&) = delete;

  // Empties the symbol table, the class list, the string pool (with a fresh table) and the
  // counters.
  void Reset();

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
