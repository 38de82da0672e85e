// The global symbol table of a compile run: libraries, classes and scoped names, the scope
// levels that parameters and locals live on, and the reference numbering of classes and
// functions that byte code uses.
#pragma once

#include <vector>

#include "gscommon/block_memory.h"
#include "gscommon/frame_memory.h"
#include "gscommon/hash_table.h"
#include "gscompiler/gs_symbol.h"
#include "qel/types.h"

class UnitRecord;

namespace GSCompiler {

enum LookupFlag : u32 {
  kLookupGlobal = 0x1,          // from a class, go on to the global table
  kLookupClassLevelOnly = 0x2,  // in a class, only its level-0 members
};

class GSSymbolTable : public GSSymbol {
 public:
  // Globals are walked in the order of a table of 61 buckets, each chain in key order; they are
  // held in a wider table so that lookups stay short with thousands of classes.
  static constexpr u32 kGlobalBuckets = 61;
  static constexpr u32 kGlobalIndexBuckets = 4093;
  static constexpr u32 kNameBlockSize = 4096;
  // Level 0 is class and global level; blocks open levels above it.
  static constexpr i32 kMaxScopeLevel = 63;
  static constexpr u32 kSymbolsPerBlock = 1024;

  GSSymbolTable();
  ~GSSymbolTable() override;
  GSSymbolTable(const GSSymbolTable&) = delete;
  GSSymbolTable& operator=(const GSSymbolTable&) = delete;

  // Frees every symbol and name, and starts with an empty global hash and counters at 0.
  void Reset();

  // New symbols, not yet in any table; the caller adds them or hands them to Discard.
  GSDependentSymbol* NewDependentSymbol(const char* name);
  GSVariableSymbol* NewVariableSymbol(const char* name);
  GSFunctionSymbol* NewFunctionSymbol(const char* name);
  GSClassSymbol* NewClassSymbol(const char* name);
  // Frees a symbol that was never added.
  void Discard(GSSymbol* symbol);
  // A copy of the text in the table's name memory (long texts too).
  const char* KeepName(const char* text);

  // Adds the symbol at the current level, to the class or (without one) to the global hash.
  // False when its name is taken at that level.
  bool AddSymbol(GSClassSymbol* cls, GSSymbol* symbol);
  // Finds a name globally (innermost first) or from a class; numbers a class or function found.
  GSSymbol* Lookup(const char* name, GSClassSymbol* cls = nullptr, u32 lookupFlags = kLookupGlobal);
  GSClassSymbol* LookupClass(const char* name);
  GSDependentSymbol* FindLibrary(const char* name);
  void NumberReference(GSSymbol* symbol);
  void ResetReferenceNumbers();
  // While deferred, NumberReference only queues a symbol that it would number; NumberDeferred
  // then numbers the queue in order. Code generated class by class between the checks of the
  // classes leaves the numbers as a compile that checks every class first gives them.
  void DeferNumbering(bool defer) { deferNumbering_ = defer; }
  void NumberDeferred();

  // Scope levels. OpenLevel refuses past kMaxScopeLevel; CloseLevel removes and frees the
  // symbols of the current level and returns to the one below.
  bool OpenLevel();
  void CloseLevel();
  i32 Level() const { return level_; }
  // Pops every level down to 0 and empties the global hash; the symbols are freed.
  void Clear() override;
  bool RemoveMember(GSSymbol* symbol) override;
  // Takes a global symbol out of the hash.
  bool Remove(GSSymbol* symbol) { return RemoveMember(symbol); }

  // "Symbol Table", then each global symbol's dump.
  void Dump(GSCompileLog& log) const override;
  // The global symbols in table order: by bucket of a 61-bucket table, each chain in key order.
  std::vector<GSSymbol*> GlobalsInTableOrder() const;

  GSDependentSymbol* currentLibrary = nullptr;
  GSFunctionSymbol* currentFunction = nullptr;
  UnitRecord* currentUnit = nullptr;  // receives derivation errors
  i32 classReferenceCounter = 0;
  i32 functionReferenceCounter = 0;

 private:
  template <typename T>
  T* Make(const char* name);
  // Runs the symbol's destructor and returns its slot to its kind's pool.
  void Free(GSSymbol* symbol);
  void FreeChain(GSSymbol* chain);
  Utils::BlockMemory& PoolOf(SymbolKind kind);

  Utils::FrameMemory names_;
  // One pool of symbols for each kind: libraries, variables, functions, classes.
  Utils::BlockMemory pools_[4];
  i32 level_ = 0;
  bool deferNumbering_ = false;
  std::vector<GSSymbol*> deferred_;
  GSSymbol* levels_[kMaxScopeLevel + 1] = {};
  Utils::HashNodeTable globals_;
};

}  // namespace GSCompiler
