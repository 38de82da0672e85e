// The symbols of a compile run: libraries (compiled units), variables, functions and classes.
// Symbols chain themselves into hash tables; the symbol table (gs_symbol_table.h) owns them.
#pragma once

#include <string>
#include <vector>

#include "gscommon/gs_types.h"
#include "gscommon/hash_table.h"
#include "qel/types.h"

class GSCompileLog;

namespace GSCompiler {

class GSClassSymbol;
class GSSymbolTable;

enum SymbolKind : i32 {
  kSymbolLibrary = 1,
  kSymbolVariable = 2,
  kSymbolFunction = 3,
  kSymbolClass = 4,
  kSymbolTable = 5,
};

// Symbol flags beyond the specifier bits.
enum SymbolFlag : u32 {
  kSymbolPrototype = 0x200,         // a function that so far is only a prototype
  kSymbolDeeperLevel = 0x80000000,  // a parameter or local added to a class below level 0
};

// A lookup key with this level matches a name at any level, the innermost first.
constexpr i32 kAnyLevel = -1;

class GSSymbol : public Utils::IHashNode {
 public:
  explicit GSSymbol(SymbolKind kind, const char* name = nullptr) : name(name), kind(kind) {}

  u32 Hash() const override;
  int Compare(const Utils::IHashNode& other) const override;

  // One line a symbol into the log; classes add their members.
  virtual void Dump(GSCompileLog& log) const;
  // Only classes and the table hold members.
  virtual void Clear() {}
  virtual bool RemoveMember(GSSymbol*) { return false; }

  GSTypes::TypeDescriptor Type() const { return {typeCode, ClassTypeName()}; }
  virtual const char* ClassTypeName() const { return nullptr; }

  const char* name;
  i32 index = -1;            // unit number, own member index or own function index
  i32 referenceNumber = -1;  // classes and functions, once referenced
  i32 typeCode = GSTypes::kTypeNone;
  i32 scopeLevel = 0;
  u32 flags = 0;
  SymbolKind kind;
  GSSymbol* scopeNext = nullptr;  // the next symbol added at the same scope level
  GSSymbol* owner = nullptr;      // the class that holds the symbol, or the table
};

// A compiled unit.
class GSDependentSymbol : public GSSymbol {
 public:
  explicit GSDependentSymbol(const char* name) : GSSymbol(kSymbolLibrary, name) {}
  void Dump(GSCompileLog& log) const override;

  u32 sourceId = 0;
  u32 nameId = 0;
};

class GSVariableSymbol : public GSSymbol {
 public:
  explicit GSVariableSymbol(const char* name) : GSSymbol(kSymbolVariable, name) {}
  const char* ClassTypeName() const override { return className; }

  const char* className = nullptr;
  // A define's value: its constant bits, or its text for a string define.
  u32 defineValue = 0;
  const char* defineText = nullptr;
};

class GSFunctionSymbol : public GSSymbol {
 public:
  // `name` is the decorated name "Class::base(types)".
  explicit GSFunctionSymbol(const char* name) : GSSymbol(kSymbolFunction, name) {}
  const char* ClassTypeName() const override { return returnClassName; }

  // The text between "::" and "(" of the decorated name.
  std::string BaseName() const;
  // The decorated name from "::" on: "::base(types)".
  const char* Signature() const;

  const char* returnClassName = nullptr;
  i32 parameterCountPlusOne = 1;  // slot 0 is `me`
  i32 localCount = 0;
};

class GSClassSymbol : public GSSymbol {
 public:
  static constexpr u32 kMemberBuckets = 31;
  static constexpr i32 kHeaderSlots = 2;

  struct Ancestor {
    GSClassSymbol* symbol;
    i32 memberOffset;
    i32 functionOffset;
    bool direct;
  };
  struct PendingParent {
    const char* name;
    i32 line;
  };

  explicit GSClassSymbol(const char* name)
      : GSSymbol(kSymbolClass, name), members_(kMemberBuckets) {}

  void Dump(GSCompileLog& log) const override;
  void Clear() override;
  bool RemoveMember(GSSymbol* member) override;

  // Adds a member; at level 0 a variable or function takes the next own index when `giveIndex`,
  // below level 0 it is marked as a parameter or local. False for a symbol that already has an
  // owner or a name taken at its level.
  bool DeclareMember(GSSymbol* member, bool giveIndex);
  // The innermost member of that name (or only a class-level one).
  GSSymbol* FindMember(const char* name, bool classLevelOnly = false) const;
  // This class, then its ancestors in list order, then (when asked) the global table.
  GSSymbol* FindInHierarchy(const char* name, bool searchGlobal);

  // Records a parent named after "isclass"; the name is copied into the table's name memory.
  void AddPendingParent(const char* parentName, i32 line);
  const std::vector<PendingParent>& PendingParents() const { return pending_; }
  // Resolves the pending parents in order; the first derivation error ends it and is reported
  // when `report` is set. Parents resolved before the error stay resolved.
  bool ResolveParents(bool report = true);
  // Appends the parent (and its ancestors) to the ancestor list. -1, with *twice naming the
  // class reached a second way, when the parent is already an ancestor.
  i32 AddParent(GSClassSymbol* parent, bool direct, i32 memberOffset, i32 functionOffset,
                GSClassSymbol** twice);
  const Ancestor* FindAncestor(const char* ancestorName) const;
  // Whether this class is `other` or derives from it.
  bool IsOrDerivesFrom(const GSClassSymbol* other) const;

  // A data member's or function's slot as seen from `seenFrom` (this class or a derived one).
  i32 MemberSlot(const GSSymbol* member, const GSClassSymbol* seenFrom) const;
  // Appends the functions of this class, then of each ancestor, with that base name and
  // parameter count, up to `capacity`; returns how many were appended.
  u32 CollectOverloads(const char* baseName, i32 parameterCount, GSFunctionSymbol** out,
                       u32 capacity) const;
  // The same for this class's own functions only.
  u32 CollectOwnOverloads(const char* baseName, i32 parameterCount, GSFunctionSymbol** out,
                          u32 capacity) const;
  void ClearMembers();
  // Drops the members without touching them, when they are freed with the class.
  void ForgetMembers() { members_.Forget(); }

  // The table that encloses the class, walking the owner chain.
  GSSymbolTable* Table() const;

  const std::vector<Ancestor>& Ancestors() const { return ancestors_; }
  const Utils::HashNodeTable& Members() const { return members_; }

  GSDependentSymbol* library = nullptr;
  i32 ownMemberCount = 0;
  i32 ownFunctionCount = 0;
  i32 inheritedMemberCount = kHeaderSlots;
  i32 inheritedFunctionCount = 0;

 private:
  std::vector<PendingParent> pending_;
  std::vector<Ancestor> ancestors_;
  Utils::HashNodeTable members_;
  bool resolving_ = false;  // its parents are being resolved; meeting it again is a cycle
};

// The text of a function as natives are bound by it: "$ret" when the return type is wanted and
// known, "@class" when a class name is given, then "::base(types)".
std::string SignatureText(const GSFunctionSymbol& function, bool withReturnType,
                          const char* className);

}  // namespace GSCompiler
