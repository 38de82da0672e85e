#include "gscompiler/gs_symbol_table.h"

#include <algorithm>
#include <new>
#include <type_traits>
#include <utility>

#include "gscompiler/compile_log.h"

namespace GSCompiler {

GSSymbolTable::GSSymbolTable()
    : GSSymbol(kSymbolTable, "Symbol Table"),
      names_(kNameBlockSize),
      globals_(kGlobalIndexBuckets) {}

GSSymbolTable::~GSSymbolTable() { Clear(); }

Utils::BlockMemory& GSSymbolTable::PoolOf(SymbolKind kind) {
  return pools_[kind >= kSymbolLibrary && kind <= kSymbolClass ? kind - kSymbolLibrary : 0];
}

template <typename T>
T* GSSymbolTable::Make(const char* name) {
  const char* kept = KeepName(name);
  if (kept == nullptr) return nullptr;
  constexpr SymbolKind kKind = std::is_same_v<T, GSDependentSymbol>  ? kSymbolLibrary
                               : std::is_same_v<T, GSVariableSymbol> ? kSymbolVariable
                               : std::is_same_v<T, GSFunctionSymbol> ? kSymbolFunction
                                                                     : kSymbolClass;
  Utils::BlockMemory& pool = PoolOf(kKind);
  if (pool.SlotsPerBlock() == 0 && !pool.Init(sizeof(T), kSymbolsPerBlock, kSymbolsPerBlock)) {
    return nullptr;
  }
  void* memory = pool.Alloc();
  if (memory == nullptr) return nullptr;
  T* symbol = new (memory) T(kept);
  // A new class belongs to the library being compiled.
  if constexpr (std::is_same_v<T, GSClassSymbol>) symbol->library = currentLibrary;
  return symbol;
}

void GSSymbolTable::Free(GSSymbol* symbol) {
  if (symbol == nullptr) return;
  Utils::BlockMemory& pool = PoolOf(symbol->kind);
  symbol->~GSSymbol();
  pool.Free(symbol);
}

const char* GSSymbolTable::KeepName(const char* text) {
  return names_.StrDup(text != nullptr ? text : "");
}

GSDependentSymbol* GSSymbolTable::NewDependentSymbol(const char* name) {
  return Make<GSDependentSymbol>(name);
}
GSVariableSymbol* GSSymbolTable::NewVariableSymbol(const char* name) {
  return Make<GSVariableSymbol>(name);
}
GSFunctionSymbol* GSSymbolTable::NewFunctionSymbol(const char* name) {
  return Make<GSFunctionSymbol>(name);
}
GSClassSymbol* GSSymbolTable::NewClassSymbol(const char* name) { return Make<GSClassSymbol>(name); }

void GSSymbolTable::Discard(GSSymbol* symbol) { Free(symbol); }

void GSSymbolTable::Reset() {
  Clear();
  names_.FreeAll();
  globals_.Init(kGlobalIndexBuckets);
  classReferenceCounter = 0;
  functionReferenceCounter = 0;
  deferNumbering_ = false;
  deferred_.clear();
  currentLibrary = nullptr;
  currentFunction = nullptr;
  currentUnit = nullptr;
}

bool GSSymbolTable::AddSymbol(GSClassSymbol* cls, GSSymbol* symbol) {
  if (symbol == nullptr) return false;
  symbol->scopeLevel = level_;
  if (cls != nullptr) {
    // A class that is not in this table cannot take the symbol: its class chain would dangle.
    if (cls->Table() != this || !cls->DeclareMember(symbol, true)) return false;
  } else {
    if (symbol->owner != nullptr || !globals_.Insert(symbol)) return false;
    symbol->owner = this;
  }
  symbol->scopeNext = levels_[level_];
  levels_[level_] = symbol;
  if (symbol->kind == kSymbolFunction) currentFunction = static_cast<GSFunctionSymbol*>(symbol);
  return true;
}

GSSymbol* GSSymbolTable::Lookup(const char* name, GSClassSymbol* cls, u32 lookupFlags) {
  GSSymbol* found;
  if (cls == nullptr) {
    GSSymbol key(kSymbolVariable, name);
    key.scopeLevel = kAnyLevel;
    found = static_cast<GSSymbol*>(globals_.Find(key));
  } else if (lookupFlags & kLookupClassLevelOnly) {
    found = cls->FindMember(name, true);
  } else {
    found = cls->FindInHierarchy(name, (lookupFlags & kLookupGlobal) != 0);
  }
  if (found != nullptr) NumberReference(found);
  return found;
}

GSClassSymbol* GSSymbolTable::LookupClass(const char* name) {
  GSSymbol key(kSymbolVariable, name);
  key.scopeLevel = kAnyLevel;
  GSSymbol* found = static_cast<GSSymbol*>(globals_.Find(key));
  if (found == nullptr || found->kind != kSymbolClass) return nullptr;
  NumberReference(found);
  return static_cast<GSClassSymbol*>(found);
}

GSDependentSymbol* GSSymbolTable::FindLibrary(const char* name) {
  GSSymbol key(kSymbolLibrary, name);
  key.scopeLevel = kAnyLevel;
  GSSymbol* found = static_cast<GSSymbol*>(globals_.Find(key));
  return found != nullptr && found->kind == kSymbolLibrary ? static_cast<GSDependentSymbol*>(found)
                                                           : nullptr;
}

void GSSymbolTable::NumberReference(GSSymbol* symbol) {
  if (symbol == nullptr) return;
  if (deferNumbering_) {
    const GSSymbol* owner = symbol->kind == kSymbolFunction ? symbol->owner : nullptr;
    if (symbol->referenceNumber == -1 ||
        (owner != nullptr && owner->kind == kSymbolClass && owner->referenceNumber == -1)) {
      deferred_.push_back(symbol);
    }
    return;
  }
  if (symbol->kind == kSymbolClass) {
    if (symbol->referenceNumber == -1) symbol->referenceNumber = classReferenceCounter++;
  } else if (symbol->kind == kSymbolFunction) {
    if (symbol->referenceNumber == -1) symbol->referenceNumber = functionReferenceCounter++;
    if (symbol->owner != nullptr && symbol->owner->kind == kSymbolClass &&
        symbol->owner->referenceNumber == -1) {
      symbol->owner->referenceNumber = classReferenceCounter++;
    }
  }
}

void GSSymbolTable::NumberDeferred() {
  deferNumbering_ = false;
  for (GSSymbol* symbol : deferred_) NumberReference(symbol);
  deferred_.clear();
  deferred_.shrink_to_fit();
}

void GSSymbolTable::ResetReferenceNumbers() {
  for (Utils::IHashNode* n = globals_.First(); n != nullptr; n = globals_.Next(n)) {
    GSSymbol* symbol = static_cast<GSSymbol*>(n);
    if (symbol->kind != kSymbolClass) continue;
    symbol->referenceNumber = -1;
    const Utils::HashNodeTable& members = static_cast<GSClassSymbol*>(symbol)->Members();
    for (Utils::IHashNode* m = members.First(); m != nullptr; m = members.Next(m)) {
      GSSymbol* member = static_cast<GSSymbol*>(m);
      if (member->kind == kSymbolFunction) member->referenceNumber = -1;
    }
  }
  classReferenceCounter = 0;
  functionReferenceCounter = 0;
}

bool GSSymbolTable::OpenLevel() {
  if (level_ >= kMaxScopeLevel) return false;
  levels_[++level_] = nullptr;
  return true;
}

void GSSymbolTable::FreeChain(GSSymbol* chain) {
  // Every symbol leaves its owner first: a class freed early must not be asked later.
  for (GSSymbol* s = chain; s != nullptr; s = s->scopeNext) {
    if (s->owner != nullptr) s->owner->RemoveMember(s);
    s->Clear();
  }
  while (chain != nullptr) {
    GSSymbol* next = chain->scopeNext;
    Free(chain);
    chain = next;
  }
}

void GSSymbolTable::CloseLevel() {
  if (level_ == 0) return;
  FreeChain(levels_[level_]);
  levels_[level_--] = nullptr;
}

void GSSymbolTable::Clear() {
  // Everything goes, so the tables are emptied whole rather than symbol by symbol, and the pools
  // are released whole. Only classes own memory beyond their slot; the other kinds hold plain
  // fields and need no destructor run.
  globals_.Forget();
  for (i32 l = level_; l >= 0; --l) {
    for (GSSymbol* s = levels_[l]; s != nullptr;) {
      GSSymbol* next = s->scopeNext;
      if (s->kind == kSymbolClass) {
        GSClassSymbol* cls = static_cast<GSClassSymbol*>(s);
        cls->ForgetMembers();
        cls->~GSClassSymbol();
      }
      s = next;
    }
    levels_[l] = nullptr;
  }
  for (Utils::BlockMemory& pool : pools_) pool.FreeAll();
  level_ = 0;
  currentFunction = nullptr;
  currentLibrary = nullptr;
}

bool GSSymbolTable::RemoveMember(GSSymbol* symbol) {
  if (symbol == nullptr || symbol->owner != this || !globals_.Remove(symbol)) return false;
  symbol->owner = nullptr;
  return true;
}

std::vector<GSSymbol*> GSSymbolTable::GlobalsInTableOrder() const {
  // Each bucket is worked out once: hashing inside the comparison dominated the writer.
  std::vector<std::pair<u32, GSSymbol*>> keyed;  // (bucket, symbol)
  keyed.reserve(globals_.Count());
  for (Utils::IHashNode* n = globals_.First(); n != nullptr; n = globals_.Next(n)) {
    keyed.emplace_back(n->Hash() % kGlobalBuckets, static_cast<GSSymbol*>(n));
  }
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->Compare(*b.second) < 0;
  });
  std::vector<GSSymbol*> symbols;
  symbols.reserve(keyed.size());
  for (const auto& entry : keyed) symbols.push_back(entry.second);
  return symbols;
}

void GSSymbolTable::Dump(GSCompileLog& log) const {
  log.Add(name);
  for (const GSSymbol* symbol : GlobalsInTableOrder()) symbol->Dump(log);
}

}  // namespace GSCompiler
