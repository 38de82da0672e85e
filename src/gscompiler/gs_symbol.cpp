#include "gscompiler/gs_symbol.h"

#include <cstring>

#include "gscompiler/compile_report.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/gs_symbol_table.h"
#include "qel/string.h"

namespace GSCompiler {

namespace {

constexpr char kRule[] = "========================================";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

int CompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = static_cast<unsigned char>(Lower(*a));
    const unsigned char y = static_cast<unsigned char>(Lower(*b));
    if (x != y || x == 0) return int(x) - int(y);
  }
}

const char* Text(const char* text) { return text != nullptr ? text : ""; }

void DumpTyped(GSCompileLog& log, const GSSymbol& symbol) {
  const char* className = symbol.ClassTypeName();
  const std::string specifiers = GSTypes::SpecifierText(symbol.flags);
  Qel::String line;
  if (className != nullptr && *className != 0) {
    line = Qel::String::Format("%d:%d:%s<%s> %s %s", symbol.index, symbol.scopeLevel,
                               GSTypes::TypeName(symbol.typeCode), className, specifiers.c_str(),
                               Text(symbol.name));
  } else {
    line = Qel::String::Format("%d:%d:%s %s %s", symbol.index, symbol.scopeLevel,
                               GSTypes::TypeName(symbol.typeCode), specifiers.c_str(),
                               Text(symbol.name));
  }
  log.Add(line.CStr());
}

}  // namespace

u32 GSSymbol::Hash() const {
  // Library names compare without case, so they hash without it too.
  if (kind != kSymbolLibrary) return Utils::HashString(Text(name));
  u32 h = 0;
  for (const char* c = Text(name); *c != 0; ++c) {
    h = h * 3 + static_cast<u32>(static_cast<i32>(static_cast<i8>(Lower(*c))));
  }
  return h;
}

int GSSymbol::Compare(const Utils::IHashNode& otherNode) const {
  const GSSymbol& other = static_cast<const GSSymbol&>(otherNode);
  const int byName = kind == kSymbolLibrary && other.kind == kSymbolLibrary
                         ? CompareNoCase(Text(name), Text(other.name))
                         : std::strcmp(Text(name), Text(other.name));
  if (byName != 0) return byName;
  if (scopeLevel == kAnyLevel || other.scopeLevel == kAnyLevel) return 0;
  // The innermost declaration sorts first, so a key of any level finds it first.
  return other.scopeLevel - scopeLevel;
}

void GSSymbol::Dump(GSCompileLog& log) const { DumpTyped(log, *this); }

void GSDependentSymbol::Dump(GSCompileLog& log) const {
  log.Add(Qel::String::Format("\nDependent \"%s\", crc 0x%X, filename crc 0x%X\n", Text(name),
                              sourceId, nameId)
              .CStr());
}

namespace {

// The first "::" of a decorated name. Names are short and this runs for every overload looked
// at, where the library's general substring search costs several times more.
const char* FindColons(const char* text) {
  const char* colon = std::strchr(text, ':');
  while (colon != nullptr && colon[1] != ':') colon = std::strchr(colon + 1, ':');
  return colon;
}

}  // namespace

std::string GSFunctionSymbol::BaseName() const {
  const char* text = Text(name);
  const char* colons = FindColons(text);
  const char* start = colons != nullptr ? colons + 2 : text;
  const char* open = std::strchr(start, '(');
  return std::string(start, open != nullptr ? size_t(open - start) : std::strlen(start));
}

const char* GSFunctionSymbol::Signature() const {
  const char* colons = FindColons(Text(name));
  return colons != nullptr ? colons : Text(name);
}

std::string SignatureText(const GSFunctionSymbol& function, bool withReturnType,
                          const char* className) {
  // Appended in place: the library writer builds one of these for every function.
  std::string text;
  text.reserve(64);
  if (withReturnType && function.typeCode != GSTypes::kTypeNone) {
    text += '$';
    GSTypes::AppendTypeName(text, function.Type());
  }
  if (className != nullptr) {
    text += '@';
    text += className;
  }
  const char* signature = function.Signature();
  if (std::strncmp(signature, "::", 2) != 0) text += "::";
  text += signature;
  return text;
}

// ---- Classes ----

GSSymbolTable* GSClassSymbol::Table() const {
  for (GSSymbol* at = owner; at != nullptr; at = at->owner) {
    if (at->kind == kSymbolTable) return static_cast<GSSymbolTable*>(at);
  }
  return nullptr;
}

void GSClassSymbol::Dump(GSCompileLog& log) const {
  log.Add(kRule);
  std::string line = Qel::String::Format("%d:%s %s (%s)::", scopeLevel, Text(name),
                                         GSTypes::SpecifierText(flags).c_str(),
                                         library != nullptr ? Text(library->name) : "")
                         .Std();
  for (const Ancestor& a : ancestors_) {
    line += Qel::String::Format("%d:%s,", a.memberOffset, Text(a.symbol->name)).Std();
  }
  log.Add(line.c_str());
  log.Add(kRule);
  for (const Utils::IHashNode* n = members_.First(); n != nullptr; n = members_.Next(n)) {
    static_cast<const GSSymbol*>(n)->Dump(log);
  }
}

void GSClassSymbol::Clear() { ClearMembers(); }

void GSClassSymbol::ClearMembers() {
  for (Utils::IHashNode* n = members_.First(); n != nullptr; n = members_.Next(n)) {
    static_cast<GSSymbol*>(n)->owner = nullptr;
  }
  members_.Clear();
  pending_.clear();
  ancestors_.clear();
}

bool GSClassSymbol::RemoveMember(GSSymbol* member) {
  if (member == nullptr || member->owner != this || !members_.Remove(member)) return false;
  member->owner = nullptr;
  return true;
}

bool GSClassSymbol::DeclareMember(GSSymbol* member, bool giveIndex) {
  if (member == nullptr || member->owner != nullptr) return false;
  if (!members_.Insert(member)) return false;
  member->owner = this;
  if (member->scopeLevel > 0) {
    member->flags |= kSymbolDeeperLevel;
  } else if (giveIndex) {
    if (member->kind == kSymbolVariable) member->index = ownMemberCount++;
    if (member->kind == kSymbolFunction) member->index = ownFunctionCount++;
  }
  return true;
}

GSSymbol* GSClassSymbol::FindMember(const char* memberName, bool classLevelOnly) const {
  GSSymbol key(kSymbolVariable, memberName);
  key.scopeLevel = classLevelOnly ? 0 : kAnyLevel;
  return static_cast<GSSymbol*>(members_.Find(key));
}

GSSymbol* GSClassSymbol::FindInHierarchy(const char* memberName, bool searchGlobal) {
  if (GSSymbol* found = FindMember(memberName)) return found;
  // The ancestor list is already flattened depth first, so a plain walk meets the ancestors in
  // the order a recursive search would, and visits each once.
  for (const Ancestor& a : ancestors_) {
    if (GSSymbol* found = a.symbol->FindMember(memberName)) return found;
  }
  if (!searchGlobal) return nullptr;
  GSSymbolTable* table = Table();
  return table != nullptr ? table->Lookup(memberName) : nullptr;
}

void GSClassSymbol::AddPendingParent(const char* parentName, i32 line) {
  GSSymbolTable* table = Table();
  pending_.push_back({table != nullptr ? table->KeepName(parentName) : parentName, line});
}

bool GSClassSymbol::ResolveParents(bool report) {
  GSSymbolTable* table = Table();
  UnitRecord* unit = table != nullptr ? table->currentUnit : nullptr;
  const char* fileName = library != nullptr ? Text(library->name) : "";
  resolving_ = true;
  bool ok = true;
  size_t resolved = 0;
  for (const PendingParent& p : pending_) {
    GSSymbol* found = FindInHierarchy(p.name, true);
    // Ancestors already added are searched first: a member of one named like the next parent
    // must not hide the parent class.
    if (found != nullptr && found->kind != kSymbolClass && table != nullptr) {
      found = table->LookupClass(p.name);
    }
    if (found == nullptr || found->kind != kSymbolClass) {
      if (report) {
        ReportErrorInFile(unit, fileName, true, false, p.line,
                          "Class %s has not been declared, line %d.", p.name, p.line);
      }
      ok = false;
      break;
    }
    GSClassSymbol* parent = static_cast<GSClassSymbol*>(found);
    if (parent->flags & GSTypes::kSpecStatic) {
      if (report) {
        ReportErrorInFile(unit, fileName, true, false, p.line,
                          "Cannot extend static class %s, line %d.", p.name, p.line);
      }
      ok = false;
      break;
    }
    if (parent->flags & GSTypes::kSpecFinal) {
      if (report) {
        ReportErrorInFile(unit, fileName, true, false, p.line,
                          "Cannot extend final class %s, line %d.", p.name, p.line);
      }
      ok = false;
      break;
    }
    // A class met again while its own parents are being resolved lies on a cycle; resolving it
    // once more would never end.
    if (parent->resolving_) {
      if (report) {
        ReportErrorInFile(unit, fileName, true, false, p.line,
                          "Class %s and %s causes cyclic derivation, line %d.", p.name, p.name,
                          p.line);
      }
      ok = false;
      break;
    }
    if (!parent->ResolveParents(report)) {
      ok = false;
      break;
    }
    GSClassSymbol* twice = nullptr;
    if (AddParent(parent, true, 0, 0, &twice) == -1) {
      if (report) {
        ReportErrorInFile(unit, fileName, true, false, p.line,
                          "Class %s and %s causes cyclic derivation, line %d.", Text(parent->name),
                          twice != nullptr ? Text(twice->name) : "", p.line);
      }
      ok = false;
      break;
    }
    ++resolved;
  }
  resolving_ = false;
  // Parents added stay added: a later attempt, after a quiet one failed, goes on from the first
  // parent that failed instead of adding the others twice.
  pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(resolved));
  return ok;
}

i32 GSClassSymbol::AddParent(GSClassSymbol* parent, bool direct, i32 memberOffset,
                             i32 functionOffset, GSClassSymbol** twice) {
  if (parent == this) {
    if (twice != nullptr) *twice = this;
    return -1;
  }
  for (const Ancestor& a : ancestors_) {
    if (a.symbol->Compare(*parent) == 0) {
      if (twice != nullptr) *twice = a.symbol;
      return -1;
    }
  }
  if (direct) {
    memberOffset = inheritedMemberCount;
    functionOffset = inheritedFunctionCount;
    inheritedMemberCount += parent->inheritedMemberCount + parent->ownMemberCount;
    inheritedFunctionCount += parent->inheritedFunctionCount + parent->ownFunctionCount;
  }
  ancestors_.push_back({parent, memberOffset, functionOffset, direct});

  if (GSSymbolTable* table = Table()) {
    for (Utils::IHashNode* n = parent->members_.First(); n != nullptr;
         n = parent->members_.Next(n)) {
      GSSymbol* member = static_cast<GSSymbol*>(n);
      if (member->kind == kSymbolClass || member->kind == kSymbolFunction) {
        table->NumberReference(member);
      }
    }
  }
  // Copy the parent's direct parents first: the recursion below appends to our own list.
  std::vector<Ancestor> grand;
  for (const Ancestor& a : parent->ancestors_) {
    if (a.direct) grand.push_back(a);
  }
  for (const Ancestor& a : grand) {
    if (AddParent(a.symbol, false, a.memberOffset + memberOffset, a.functionOffset + functionOffset,
                  twice) == -1) {
      return -1;
    }
  }
  return 0;
}

const GSClassSymbol::Ancestor* GSClassSymbol::FindAncestor(const char* ancestorName) const {
  for (const Ancestor& a : ancestors_) {
    if (std::strcmp(Text(a.symbol->name), Text(ancestorName)) == 0) return &a;
  }
  return nullptr;
}

bool GSClassSymbol::IsOrDerivesFrom(const GSClassSymbol* other) const {
  if (other == nullptr) return false;
  if (other == this) return true;
  for (const Ancestor& a : ancestors_) {
    if (a.symbol == other) return true;
  }
  return false;
}

i32 GSClassSymbol::MemberSlot(const GSSymbol* member, const GSClassSymbol* seenFrom) const {
  if (member == nullptr || member->owner == nullptr || member->owner->kind != kSymbolClass) {
    return -1;
  }
  const GSClassSymbol* declaring = static_cast<const GSClassSymbol*>(member->owner);
  const bool isFunction = member->kind == kSymbolFunction;
  i32 slot = (isFunction ? declaring->inheritedFunctionCount : declaring->inheritedMemberCount) +
             member->index;
  if (seenFrom != nullptr && seenFrom != declaring) {
    for (const Ancestor& a : seenFrom->ancestors_) {
      if (a.symbol == declaring) return slot + (isFunction ? a.functionOffset : a.memberOffset);
    }
  }
  return slot;
}

u32 GSClassSymbol::CollectOwnOverloads(const char* baseName, i32 parameterCount,
                                       GSFunctionSymbol** out, u32 capacity) const {
  const size_t baseLength = std::strlen(Text(baseName));
  u32 found = 0;
  for (const Utils::IHashNode* n = members_.First(); n != nullptr && found < capacity;
       n = members_.Next(n)) {
    const GSSymbol* member = static_cast<const GSSymbol*>(n);
    if (member->kind != kSymbolFunction) continue;
    const GSFunctionSymbol* function = static_cast<const GSFunctionSymbol*>(member);
    const char* base = function->Signature() + 2;  // past "::"
    if (function->parameterCountPlusOne != parameterCount + 1 ||
        std::strncmp(base, Text(baseName), baseLength) != 0 || base[baseLength] != '(') {
      continue;
    }
    out[found++] = const_cast<GSFunctionSymbol*>(function);
  }
  return found;
}

u32 GSClassSymbol::CollectOverloads(const char* baseName, i32 parameterCount,
                                    GSFunctionSymbol** out, u32 capacity) const {
  if (out == nullptr) return 0;
  u32 found = CollectOwnOverloads(baseName, parameterCount, out, capacity);
  for (const Ancestor& a : ancestors_) {
    found += a.symbol->CollectOwnOverloads(baseName, parameterCount, out + found, capacity - found);
  }
  return found;
}

}  // namespace GSCompiler
