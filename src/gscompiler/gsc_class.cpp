#include "gscompiler/gsc_class.h"

#include <cstring>
#include <string>

#include "gscommon/library_format.h"
#include "gscompiler/compile_report.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_symbol.h"
#include "gscompiler/gs_symbol_table.h"

namespace GSCompiler {

namespace {

using namespace GSLibraryFormat;

bool IsFunction(const GSSymbol* s) { return s->kind == kSymbolFunction && s->scopeLevel == 0; }
bool IsField(const GSSymbol* s) {
  return s->kind == kSymbolVariable && s->scopeLevel == 0 && !(s->flags & GSTypes::kSpecDefine);
}

i32 ClassReference(GSSymbolTable& symbols, const char* className) {
  if (className == nullptr || *className == 0) return -1;
  const GSClassSymbol* cls = symbols.LookupClass(className);
  return cls != nullptr ? cls->referenceNumber : -1;
}

// The member offset of `defining` as a view inside `cls`; 0 for the class itself.
i32 ViewOffset(const GSClassSymbol& cls, const GSClassSymbol* defining) {
  for (const GSClassSymbol::Ancestor& a : cls.Ancestors()) {
    if (a.symbol == defining) return a.memberOffset;
  }
  return 0;
}

// The string number of the function's signature in a class record: the one the function
// reference section interned when it listed the function, or a new one.
u32 SignatureString(GSCompilerState& state, const GSFunctionSymbol& function,
                    const GSClassSymbol& cls) {
  const auto& known = state.referenceSignatures;
  if (function.referenceNumber >= 0 && u32(function.referenceNumber) < known.size() &&
      known[u32(function.referenceNumber)].first == &cls) {
    return known[u32(function.referenceNumber)].second;
  }
  return InternString(state, SignatureText(function, true, cls.name).c_str());
}

}  // namespace

bool BuildMethodTable(const GSClassSymbol& cls, std::vector<GSCClass::MethodEntry>& table,
                      const GSFunctionSymbol** wrong, MethodTableCache* cache) {
  const i32 inherited = cls.inheritedFunctionCount;
  table.assign(static_cast<size_t>(inherited + cls.ownFunctionCount), {nullptr, 0});
  std::vector<GSCClass::MethodEntry> built;
  for (const GSClassSymbol::Ancestor& a : cls.Ancestors()) {
    if (!a.direct) continue;
    const std::vector<GSCClass::MethodEntry>* kept = nullptr;
    if (cache != nullptr) {
      const auto found = cache->tables.find(a.symbol);
      if (found != cache->tables.end()) kept = &found->second;
    }
    if (kept == nullptr) {
      if (!BuildMethodTable(*a.symbol, built, wrong, cache)) return false;
      kept = cache != nullptr ? &(cache->tables[a.symbol] = built) : &built;
    }
    const std::vector<GSCClass::MethodEntry>& base = *kept;
    for (size_t i = 0; i < base.size(); ++i) {
      const size_t at = static_cast<size_t>(a.functionOffset) + i;
      if (at >= static_cast<size_t>(inherited) || base[i].function == nullptr) continue;
      const auto* owner = static_cast<const GSClassSymbol*>(base[i].function->owner);
      table[at] = {base[i].function, ViewOffset(cls, owner)};
    }
  }
  const Utils::HashNodeTable& members = cls.Members();
  for (Utils::IHashNode* n = members.First(); n != nullptr; n = members.Next(n)) {
    GSSymbol* member = static_cast<GSSymbol*>(n);
    if (!IsFunction(member) || member->index < 0) continue;
    auto* function = static_cast<GSFunctionSymbol*>(member);
    const GSTypes::TypeDescriptor type = function->Type();
    for (i32 i = 0; i < inherited; ++i) {
      GSFunctionSymbol* old = table[i].function;
      if (old == nullptr || std::strcmp(old->Signature(), function->Signature()) != 0) continue;
      const GSTypes::TypeDescriptor oldType = old->Type();
      if (GSTypes::TypeName(&oldType) != GSTypes::TypeName(&type)) {
        *wrong = function;
        return false;
      }
      table[i] = {function, 0};
    }
    if (function->index < cls.ownFunctionCount) table[inherited + function->index] = {function, 0};
  }
  return true;
}

bool GSCClass::Prepare(GSSymbolTable& symbols, MethodTableCache* cache) {
  const GSFunctionSymbol* wrong = nullptr;
  if (!BuildMethodTable(*symbol, methodTable, &wrong, cache)) {
    ReportMessage(symbols.currentUnit, "Wrong return type on function: %s",
                  SignatureText(*wrong, true, symbol->name).c_str());
    return false;
  }
  if (cache != nullptr) cache->tables.try_emplace(symbol, methodTable);
  symbols.NumberReference(symbol);
  for (const GSClassSymbol::Ancestor& a : symbol->Ancestors()) symbols.NumberReference(a.symbol);
  for (const MethodEntry& e : methodTable) symbols.NumberReference(e.function);
  for (const auto& f : functions) {
    symbols.NumberReference(const_cast<GSFunctionSymbol*>(f->symbol));
    ClassReference(symbols, f->symbol->returnClassName);
  }
  const Utils::HashNodeTable& members = symbol->Members();
  for (Utils::IHashNode* n = members.First(); n != nullptr; n = members.Next(n)) {
    const GSSymbol* member = static_cast<const GSSymbol*>(n);
    if (IsField(member)) ClassReference(symbols, member->ClassTypeName());
  }
  return true;
}

bool GSCClass::WriteClassRecord(GSCompilerState& state, Utils::ByteBuffer& out) const {
  GSSymbolTable& symbols = state.symbols;
  const GSClassSymbol& cls = *symbol;
  const u32 record = BeginRecord(out, kClassRecord);
  out.WriteU32(InternString(state, cls.name));
  out.WriteU32(cls.flags & kClassFlagMask);
  out.WriteU32(static_cast<u32>(cls.Ancestors().size()));
  for (const GSClassSymbol::Ancestor& a : cls.Ancestors()) {
    out.WriteI32(a.symbol->referenceNumber);
    out.WriteI32(a.memberOffset);
    out.WriteU32(a.direct ? 1 : 0);
  }

  const u32 functionsRecord = BeginRecord(out, kClassFunctions);
  out.WriteU32(static_cast<u32>(functions.size() + 1));
  for (const auto& f : functions) {
    const GSFunctionSymbol& s = *f->symbol;
    FunctionRecordInfo info;
    info.nameString = SignatureString(state, s, cls);
    info.returnType = static_cast<u32>(s.typeCode);
    info.returnClass = ClassReference(symbols, s.returnClassName);
    info.flags = s.flags;
    info.slot = cls.inheritedFunctionCount + s.index;
    info.parameterCount = static_cast<u32>(s.parameterCountPlusOne - 1);
    info.localWords = f->LocalWords();
    if (!WriteFunctionRecord(*f, info, out)) return false;
  }
  FunctionRecordInfo init;
  const std::string initName = std::string("::") + cls.name + "()";
  init.nameString = InternString(state, initName.c_str());
  init.flags = GSTypes::kSpecConstructor;
  init.localWords = initialiser.LocalWords();
  init.lineTable = false;
  init.localsInSecondCount = true;
  if (!WriteFunctionRecord(initialiser, init, out) || !EndRecord(out, functionsRecord)) {
    return false;
  }

  const u32 fieldsRecord = BeginRecord(out, kClassFields);
  const u32 countAt = out.Position();
  out.WriteU32(0);
  u32 fields = 0;
  const Utils::HashNodeTable& members = cls.Members();
  for (Utils::IHashNode* n = members.First(); n != nullptr; n = members.Next(n)) {
    const GSSymbol* member = static_cast<const GSSymbol*>(n);
    if (!IsField(member)) continue;
    ++fields;
    out.WriteU32(InternString(state, member->name));
    out.WriteU32(static_cast<u32>(member->typeCode));
    out.WriteI32(ClassReference(symbols, member->ClassTypeName()));
    out.WriteU32(member->flags & GSTypes::kSpecPublic);
    out.WriteI32(cls.inheritedMemberCount + member->index);
  }
  const u32 fieldsEnd = out.Position();
  if (!out.SetPosition(countAt) || !out.WriteU32(fields) || !out.SetPosition(fieldsEnd) ||
      !EndRecord(out, fieldsRecord)) {
    return false;
  }

  const u32 tableRecord = BeginRecord(out, kMethodTable);
  out.WriteU32(static_cast<u32>(methodTable.size()));
  for (const MethodEntry& e : methodTable) {
    out.WriteI32(e.function != nullptr ? e.function->referenceNumber : -1);
    out.WriteI32(e.viewOffset);
  }
  if (!EndRecord(out, tableRecord)) return false;

  const u32 layoutRecord = BeginRecord(out, kInstanceLayout);
  out.WriteU32(static_cast<u32>(cls.inheritedMemberCount + cls.ownMemberCount) +
               kInstanceHeaderWords);
  out.WriteU32(static_cast<u32>(cls.Ancestors().size() * 2 + 1));
  for (const GSClassSymbol::Ancestor& a : cls.Ancestors()) {
    const i32 n = a.memberOffset;
    for (const i32 word : {0, n, -n, 1, n + 1, a.functionOffset}) out.WriteI32(word);
  }
  for (const i32 word : {1, 1, 0}) out.WriteI32(word);
  out.WriteU32(static_cast<u32>(referenceFields.size()));
  for (u32 slot : referenceFields) out.WriteU32(slot);
  return EndRecord(out, layoutRecord) && EndRecord(out, record);
}

}  // namespace GSCompiler
