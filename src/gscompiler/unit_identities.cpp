#include "gscompiler/unit_identities.h"

#include <memory>
#include <set>
#include <string>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/parse_node.h"

namespace {

std::string UnitKey(const char* name) {
  Qel::String fileName(name ? name : "");
  fileName.ToLower();
  StripToFileName(fileName);
  return std::string(fileName.CStr());
}

// The walk of CompileUnit without declaring anything: each unit once, includes in source order.
bool Visit(GSCompilerState& state, const char* name, UnitRecord& unit, std::set<std::string>& seen,
           std::vector<std::pair<u32, u32>>* identities) {
  Qel::String lowered(name ? name : "");
  lowered.ToLower();
  if (ParseUnitSource(lowered.CStr(), unit) || unit.errorCount != 0) return false;
  seen.insert(UnitKey(lowered.CStr()));
  identities->emplace_back(unit.sourceId, unit.nameId);
  for (ParseNode* node = unit.topLevel; node != nullptr; node = node->next) {
    if (node->group != GSCompiler::kGroupDeclaration || node->kind != GSCompiler::kDeclInclude) {
      continue;
    }
    const char* included = node->child[0] != nullptr ? node->child[0]->text : nullptr;
    if (included == nullptr || seen.count(UnitKey(included)) != 0) continue;
    auto child = std::make_unique<UnitRecord>();
    child->Reset(&state, nullptr);
    const bool read = Visit(state, included, *child, seen, identities);
    state.includedUnits.push_back(std::move(child));
    if (!read) return false;
  }
  return true;
}

}  // namespace

bool CollectUnitIdentities(const char* name, std::vector<std::pair<u32, u32>>* identities) {
  identities->clear();
  Qel::String unitName(name ? name : "");
  // x.gse is found as x.gs, as a compile finds it.
  if (!unitName.IsEmpty() && unitName[unitName.Size() - 1] == 'e') {
    unitName.Truncate(unitName.Size() - 1);
  }
  auto state = std::make_unique<GSCompilerState>();
  state->Reset();
  state->rootUnit.Reset(state.get(), nullptr);
  std::set<std::string> seen;
  const bool read = Visit(*state, unitName.CStr(), state->rootUnit, seen, identities);
  SetCurrentUnit(nullptr);
  return read;
}
