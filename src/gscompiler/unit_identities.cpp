#include "gscompiler/unit_identities.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_environment.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"
#include "qel/file.h"

namespace {

std::string UnitKey(const char* name) {
  Qel::String fileName(name ? name : "");
  fileName.ToLower();
  StripToFileName(fileName);
  return std::string(fileName.CStr());
}

// What a unit found in the first folder of the search list was read as: its ids and its
// includes in source order. The first folder wins whatever the others hold, so the unit stays
// the same while that folder's entries and the file itself are unchanged; validating many assets
// reads the same standard sources again and again.
struct KnownUnit {
  std::string path;  // where it was read
  Qel::File::Stamp folder;
  Qel::File::Stamp file;
  u32 sourceId = 0;
  u32 nameId = 0;
  std::vector<std::string> includes;
};

constexpr size_t kMaxKnownUnits = 4096;
constexpr i64 kSettleSeconds = 2;

std::mutex g_knownMutex;
// By the unit's path in the first folder of the search list, as written.
std::map<std::string, KnownUnit> g_knownUnits;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The unit's path in the first folder of the search list; empty when the name holds a folder
// (its resolution would depend on more than one folder) or the list is empty.
std::string FirstFolderPath(const IncludePathList& list, const char* name) {
  const std::string_view text(name);
  if (text.find_first_of("/\\:") != std::string_view::npos) return std::string();
  if (list.Count() == 0) return std::string();
  Qel::File::Path candidate = list[0].folder;
  candidate.AddPath(name);
  const Qel::String inFolder = Qel::File::InFolder(list[0].rootName, candidate.CStr());
  std::string path(Qel::File::ResolveSubst(inFolder.CStr()).View());
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

// The stamps of the folders that one walk has looked at: the standard units all lie in one folder,
// which need not be asked again for each of them.
using FolderStamps = std::map<std::string, Qel::File::Stamp>;

bool FindKnownUnit(const std::string& key, UnitRecord& unit, std::vector<std::string>& includes,
                   FolderStamps& folders) {
  if (key.empty()) return false;
  KnownUnit known;
  {
    const std::lock_guard<std::mutex> lock(g_knownMutex);
    const auto it = g_knownUnits.find(key);
    if (it == g_knownUnits.end()) return false;
    known = it->second;
  }
  const std::string folderPath = FolderOf(known.path);
  auto folder = folders.find(folderPath);
  if (folder == folders.end()) {
    Qel::File::Stamp stamp;
    if (!Qel::File::GetStamp(folderPath.c_str(), &stamp)) return false;
    folder = folders.emplace(folderPath, stamp).first;
  }
  Qel::File::Stamp file;
  if (folder->second != known.folder || !Qel::File::GetStamp(known.path.c_str(), &file) ||
      file != known.file) {
    return false;
  }
  unit.sourceId = known.sourceId;
  unit.nameId = known.nameId;
  includes = std::move(known.includes);
  return true;
}

// Keeps what was read when it came from the first folder, found there by the name's case alone.
void RememberUnit(const std::string& key, const std::string& readPath, const UnitRecord& unit,
                  const std::vector<std::string>& includes) {
  if (key.empty() || FolderOf(readPath) != FolderOf(key)) return;
  KnownUnit known{readPath, {}, {}, unit.sourceId, unit.nameId, includes};
  if (!Qel::File::GetStamp(FolderOf(readPath).c_str(), &known.folder) ||
      !Qel::File::GetStamp(readPath.c_str(), &known.file) ||
      !known.folder.IsSettled(kSettleSeconds) || !known.file.IsSettled(kSettleSeconds)) {
    return;
  }
  const std::lock_guard<std::mutex> lock(g_knownMutex);
  if (g_knownUnits.size() >= kMaxKnownUnits) g_knownUnits.clear();
  g_knownUnits[key] = std::move(known);
}

// The ids and include names of the unit's source. False when it cannot be read or parsed.
bool ReadIncludes(const char* name, UnitRecord& unit, std::vector<std::string>& includes,
                  FolderStamps& folders) {
  CompileEnvironment& environment = unit.state->environment;
  const std::string key = FirstFolderPath(environment.includes, name);
  if (FindKnownUnit(key, unit, includes, folders)) return true;
  GSSourceFile source(environment);
  if (!LoadUnitSource(name, unit, source)) return false;
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
  RememberUnit(key, std::string(source.GetSourcePath().GetText().View()), unit, includes);
  return true;
}

// The walk of CompileUnit without declaring anything: each unit once, includes in source order.
bool Visit(GSCompilerState& state, const char* name, UnitRecord& unit, std::set<std::string>& seen,
           FolderStamps& folders, std::vector<std::pair<u32, u32>>* identities) {
  Qel::String lowered(name ? name : "");
  lowered.ToLower();
  std::vector<std::string> includes;
  if (!ReadIncludes(lowered.CStr(), unit, includes, folders)) return false;
  seen.insert(UnitKey(lowered.CStr()));
  identities->emplace_back(unit.sourceId, unit.nameId);
  for (const std::string& included : includes) {
    if (seen.count(UnitKey(included.c_str())) != 0) continue;
    auto child = std::make_unique<UnitRecord>();
    child->Reset(&state, nullptr);
    const bool read = Visit(state, included.c_str(), *child, seen, folders, identities);
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
  auto state = std::make_unique<GSCompilerState>(CompileEnvironment::OfThisThread());
  state->Reset();
  state->rootUnit.Reset(state.get(), nullptr);
  std::set<std::string> seen;
  FolderStamps folders;
  return Visit(*state, unitName.CStr(), state->rootUnit, seen, folders, identities);
}
