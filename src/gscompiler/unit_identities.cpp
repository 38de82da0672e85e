#include "gscompiler/unit_identities.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"

namespace {

std::string UnitKey(const char* name) {
  Qel::String fileName(name ? name : "");
  fileName.ToLower();
  StripToFileName(fileName);
  return std::string(fileName.CStr());
}

// The includes of a unit's source, in source order, keyed by the source's identity: the same text
// under the same file name includes the same names, so each text is parsed once per process.
// Validating many assets reads the same standard sources again and again.
struct SourceKey {
  u32 nameId = 0;
  u32 sourceId = 0;
  u32 length = 0;
  auto operator<=>(const SourceKey&) const = default;
};

constexpr size_t kMaxRememberedSources = 4096;

std::mutex g_includesMutex;
std::map<SourceKey, std::vector<std::string>> g_includesBySource;

// The include names of the unit's source, parsed only when this text was not seen before. False
// when the source cannot be read or parsed.
bool ReadIncludes(const char* name, UnitRecord& unit, std::vector<std::string>& includes) {
  GSSourceFile source;
  if (!LoadUnitSource(name, unit, source)) return false;
  const SourceKey key{unit.nameId, unit.sourceId, source.GetTextLength()};
  {
    const std::lock_guard<std::mutex> lock(g_includesMutex);
    const auto known = g_includesBySource.find(key);
    if (known != g_includesBySource.end()) {
      includes = known->second;
      return true;
    }
  }
  unit.errorCount += GSCompiler::ParseTokens(unit, source.GetText(), source.GetTextLength());
  if (unit.errorCount != 0) return false;
  includes.clear();
  for (ParseNode* node = unit.topLevel; node != nullptr; node = node->next) {
    if (node->group != GSCompiler::kGroupDeclaration || node->kind != GSCompiler::kDeclInclude) {
      continue;
    }
    const char* included = node->child[0] != nullptr ? node->child[0]->text : nullptr;
    if (included != nullptr) includes.emplace_back(included);
  }
  const std::lock_guard<std::mutex> lock(g_includesMutex);
  if (g_includesBySource.size() >= kMaxRememberedSources) g_includesBySource.clear();
  g_includesBySource.emplace(key, includes);
  return true;
}

// The walk of CompileUnit without declaring anything: each unit once, includes in source order.
bool Visit(GSCompilerState& state, const char* name, UnitRecord& unit, std::set<std::string>& seen,
           std::vector<std::pair<u32, u32>>* identities) {
  Qel::String lowered(name ? name : "");
  lowered.ToLower();
  std::vector<std::string> includes;
  if (!ReadIncludes(lowered.CStr(), unit, includes)) return false;
  seen.insert(UnitKey(lowered.CStr()));
  identities->emplace_back(unit.sourceId, unit.nameId);
  for (const std::string& included : includes) {
    if (seen.count(UnitKey(included.c_str())) != 0) continue;
    auto child = std::make_unique<UnitRecord>();
    child->Reset(&state, nullptr);
    const bool read = Visit(state, included.c_str(), *child, seen, identities);
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
