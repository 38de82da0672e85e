#include "scripthost/kestro_script_spec.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "assetdata/category.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/crc32.h"
#include "core/file_util.h"
#include "core/log_printf.h"
#include "gscommon/library_image.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/unit_identities.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "qel/file.h"
#include "qel/file_facts.h"

namespace {

// An absolute folder is taken as it is; the root names where a relative one lies.
IncludePath MakeIncludePath(const Qel::File::Path& folder, const Qel::PString& rootName) {
  return IncludePath{folder, folder.IsAbsolute() ? Qel::PString() : rootName};
}

// The folder as the file system names it; a name that differs only in case is looked up.
std::string FolderOnDisk(const IncludePath& entry) {
  const Qel::String path = Qel::File::InFolder(entry.rootName, entry.folder.CStr());
  struct stat st {};
  if (entry.rootName.IsEmpty() && Qel::file_facts::Stat(path.Std(), &st) && S_ISDIR(st.st_mode)) {
    return std::string(path.CStr());
  }
  const Qel::String resolved = Qel::File::Resolve(path.CStr());
  return std::string(resolved.IsEmpty() ? path.CStr() : resolved.CStr());
}

// For paths this file builds itself, which need no lookup by case.
bool ExactPathExists(const Qel::File::Path& path) {
  Qel::File::Stamp stamp;
  return Qel::File::GetStamp(path.CStr(), &stamp);
}

// The entries of the folder but its folders (a link counts as its target), in name order.
std::vector<std::string> ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  // Exactly as named: the search's own lookup by case has been made by the caller.
  Qel::File::Find find(folder.c_str(), "*");
  while (find.Next()) {
    const Qel::String& name = find.GetName();
    if (name == "." || name == ".." || find.IsFolder()) continue;
    if (find.IsLink() && Qel::File::IsFolder((folder + "/" + name.Std()).c_str())) continue;
    names.push_back(name.Std());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsScriptSource(const Qel::File::Path& name) { return name.IsExt("gs") || name.IsExt("gse"); }

// "x.gse" and "x.gs" name one unit.
Qel::String UnitName(const Qel::String& fileName) {
  Qel::String name(fileName);
  if (!name.IsEmpty() && name[name.Size() - 1] == 'e') name.Truncate(name.Size() - 1);
  return name;
}

void AddError(ResultsLog* log, const Qel::String& text) {
  ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(), text);
}

// A compiler message without the line break some of them end in.
Qel::String MessageText(const char* message) {
  std::string_view text(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  while (!text.empty() && text.front() == '\n') text.remove_prefix(1);
  return Qel::String(text);
}

bool ReadFileHead(const std::string& path, GSLibraryFormat::LibraryImage* head) {
  std::vector<u8> bytes;
  return GSLibraryFormat::ReadLibraryFile(path, &bytes) &&
         GSLibraryFormat::ReadLibraryHead(bytes.data(), u32(bytes.size()), head, nullptr);
}

}  // namespace

KestroScriptSpec::KestroScriptSpec(const KUID& kuid, const Qel::String* location,
                                   const Qel::String* subLocation,
                                   const Qel::PString& contentFolder, const Soup& config)
    : KestroBaseSpec(kuid, location, subLocation, contentFolder, config),
      config_(config),
      contentRoot_(contentFolder) {}

Soup KestroScriptSpec::Config() const {
  if (!config_.IsNull()) return config_;
  return LoadConfigSoup();
}

bool KestroScriptSpec::IncludesScriptsOf(f32 build) const {
  return std::trunc(build * 100.0f) >= kIncludeTableBuild;
}

bool KestroScriptSpec::LoadScriptInfo() {
  scriptFlags_ &= u8(~kScriptInfoLoaded);
  const Soup config = Config();
  Qel::PString className;
  Qel::File::Path scriptPath;
  if (!ReadAssetScriptInfo(config, className, scriptPath)) {
    // A path was given but refused: it leaves the asset's folder.
    Qel::PString given = config.IsNull() ? Qel::PString() : config.GetNamedTag("script");
    if (given.IsEmpty() && !config.IsNull()) given = config.GetNamedTag("scriptlibrary");
    scriptPathRefused_ = !given.IsEmpty();
    refusedPath_ = Qel::String(given.View());
    OnMissingScript();
    return false;
  }
  scriptPathRefused_ = false;
  Qel::File::Path library = scriptPath;
  library.ChangeExtension("gsl");
  std::string_view name = library.GetText().View();
  scriptFlags_ &= u8(~kScriptInstallationLibrary);
  if (!name.empty() && name.front() == '/') {
    name.remove_prefix(1);
    scriptFlags_ |= kScriptInstallationLibrary;
  }
  libraryName_ = Qel::PString(name);
  className_ = className;
  scriptFlags_ |= kScriptInfoLoaded;
  return true;
}

void KestroScriptSpec::CollectScriptIncludes(std::set<KUID>& kuids) const {
  const Soup table = Config().GetNamedSoup("script-include-table");
  for (u32 i = 0; i < table.CountTags(); ++i) {
    kuids.insert(table.GetNamedTagAsKUID(table.GetIndexedTagName(i), KUID::Null()));
  }
}

bool KestroScriptSpec::AddIncludePaths() {
  if (!IncludesScriptsOf(GetBuild())) return true;
  bool result = true;
  std::set<KUID> pending;
  CollectScriptIncludes(pending);
  std::set<KUID> done;
  while (!pending.empty()) {
    const KUID kuid = *pending.begin();
    pending.erase(pending.begin());
    if (!done.insert(kuid).second) continue;
    SpecPointer found;
    FindKestroBaseSpec(found, kuid);
    auto* spec = dynamic_cast<KestroScriptSpec*>(found.Get());
    if (spec == nullptr) {
      result = false;
      continue;
    }
    spec->LoadScriptInfo();
    spec->GetLibrary();
    if ((spec->scriptFlags_ & kScriptInstallationLibrary) == 0) {
      GetIncludeSearchList().AddFront(MakeIncludePath(spec->BuildPath(), spec->contentRoot_));
    }
    if (spec->IncludesScriptsOf(spec->GetBuild())) spec->CollectScriptIncludes(pending);
  }
  return result;
}

bool KestroScriptSpec::IsCurrentLibrary(const Qel::File::Path& path, const char* sourceName) const {
  GSLibraryFormat::LibraryImage head;
  if (!ReadFileHead(path.CStr(), &head)) return false;
  // Without includes the header's two ids say everything.
  if (head.units.size() <= 1) return true;
  std::vector<std::pair<u32, u32>> current;
  return CollectUnitIdentities(sourceName, &current) && current == head.units;
}

bool KestroScriptSpec::CacheScripts(const Qel::PString& rootName, const Qel::File::Path& folder,
                                    const Qel::File::Path& primary, ResultsLog* log) {
  if ((scriptFlags_ & kScriptsCached) != 0) return true;
  scriptFlags_ |= kScriptsCached;
  bool result = true;
  bool primaryFound = primary.IsEmpty();

  const Qel::File::Path cacheFolder = GetScriptCachePath(GetKUID());
  if (cacheFolder.IsEmpty()) {
    AddError(log, "Unable to find the script library cache.");
    return false;
  }
  if (!ExactPathExists(cacheFolder)) {
    Qel::File::MakeTree(cacheFolder.CStr());
    Qel::File::Path prebuilt = GetPrebuiltPath();
    prebuilt.AddPath("asset-libraries").AddPath(GetKUID().ToSpacedString().CStr());
    if (Qel::File::Exists(prebuilt.CStr()) && IsAssetPrebuilt(GetKUID())) {
      CopyFolderTree(Qel::PString(), prebuilt, Qel::PString(), cacheFolder);
    }
  }

  const CompilerEnvironmentGuard guard;
  AddIncludePaths();
  const IncludePath own = MakeIncludePath(folder, rootName);
  GetIncludeSearchList().Add(own);
  GetIncludeSearchList().AddFront(IncludePath{Qel::File::Path(), Qel::PString("scripts")});

  GSMachine& machine = GSMachine::Instance();
  for (const std::string& entry : ListFiles(FolderOnDisk(own))) {
    const Qel::File::Path name(entry.c_str());
    if (!IsScriptSource(name)) continue;
    Qel::File::Path sourcePath = folder;
    sourcePath.AddPath(entry.c_str());
    GSSourceFile source;
    GSSourceFile::SetPendingPrefix(Qel::PString());
    if (!source.Load(own.rootName.CStr(), sourcePath.CStr()) || source.GetText() == nullptr) {
      AddError(log, Qel::String::Format("Unable to read script source file '%s'", entry.c_str()));
      result = false;
      continue;
    }
    const u32 prefix = source.GetPrefixLength();
    const u32 sourceId = Crc32(reinterpret_cast<const u8*>(source.GetText()) + prefix,
                               source.GetTextLength() - prefix);
    const Qel::String unitName = UnitName(Qel::String(entry.c_str()));
    const u32 nameId = Crc32LowerCaseString(unitName.CStr());
    const Qel::String libraryName = Qel::String::Format("%08x%08x.gsl", sourceId, nameId);
    Qel::File::Path libraryPath = cacheFolder;
    libraryPath.AddPath(libraryName.CStr());

    for (bool recompiled = false;;) {
      if (ExactPathExists(libraryPath)) {
        // A file that cannot be registered counts as another library: it is compiled afresh.
        GSLibraryId ids{0, 0};
        machine.AddLibrary("", cacheFolder.CStr(), libraryName.CStr(), &ids);
        // A library compiled just now was built from the includes as they stand.
        if (ids == GSLibraryId{sourceId, nameId} &&
            (recompiled || IsCurrentLibrary(libraryPath, entry.c_str()))) {
          if (!primaryFound) {
            Qel::File::Path full = folder;
            full.AddPath(unitName.CStr());
            if (Qel::PString(full.GetText().View()).Lower() ==
                Qel::PString(primary.GetText().View()).Lower()) {
              primarySourceId_ = sourceId;
              primaryNameId_ = nameId;
              primaryLibraryPath_ = libraryPath.GetText();
              primaryFound = true;
            }
          }
          break;
        }
        if (recompiled) {
          AddError(log, Qel::String::Format(
                            "CRC Mismatch on '%s' after recompile. Do you have both .gs and .gse "
                            "present?",
                            libraryName.CStr()));
          result = false;
          break;
        }
        Qel::File::Unlink(libraryPath.CStr());
      }
      GSSourceFile::SetPendingPrefix(Qel::PString());
      recompiled = true;
      GSCompileLog messages;
      if (CompileScriptFile(entry.c_str(), libraryPath.CStr(), &messages) == 0) continue;
      LogPrintf("KestroBaseSpec::CacheScripts> Syntax error in script of asset '%s'",
                GetDisplayName().CStr());
      while (const char* message = messages.Take()) {
        LogPrintf("KestroBaseSpec::CacheScripts> ** GSC> %s", message);
        AddError(log, MessageText(message));
      }
      result = false;
      break;
    }
  }

  if (!primaryFound && result) {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag("filename", primary.GetText().ToPString());
    ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(),
                          "Unable to locate primary script source file '$(FILENAME)'", parameters);
    result = false;
  }
  return result;
}

GSRuntime::GSLibrary* KestroScriptSpec::FindInstallationLibrary() {
  GSMachine& machine = GSMachine::Instance();
  const std::string name(libraryName_.View());
  Qel::File::Path shipped = GetInstallPath();
  shipped.AddPath("bin").AddPath("libraries");
  const Qel::String users = Qel::File::ResolveSubst("libraries");
  for (const std::string& folder : {std::string(shipped.CStr()), std::string(users.CStr())}) {
    if (folder.empty() || folder == "libraries") continue;
    Qel::File::Path file(folder.c_str());
    file.AddPath(name.c_str());
    const Qel::String found = Qel::File::Resolve(file.CStr());
    if (found.IsEmpty() || !Qel::File::Exists(found.CStr())) continue;
    const Qel::File::Path onDisk(found);
    if (machine.AddLibrary("", onDisk.GetFolder().CStr(), onDisk.GetFileName().CStr())) {
      return machine.FindLibrary(std::string(onDisk.CStr()));
    }
  }
  return machine.FindLibrary(name);
}

GSRuntime::GSLibrary* KestroScriptSpec::GetLibrary() {
  if ((scriptFlags_ & kScriptInstallationLibrary) != 0) return FindInstallationLibrary();
  if (primarySourceId_ == 0 && primaryNameId_ == 0) {
    Qel::File::Path primary{Qel::String(libraryName_.View())};
    primary.ChangeExtension("gs");
    ResultsLog discarded;
    CacheScripts(contentRoot_, BuildPath(), BuildPath(primary.CStr()), &discarded);
    if (primarySourceId_ == 0 && primaryNameId_ == 0) return nullptr;
  }
  // By its own file: another asset's library of the same identity may have been registered
  // since, built over other includes.
  return GSMachine::Instance().FindLibrary(primaryLibraryPath_.CStr());
}

GSRuntime::GSClass* KestroScriptSpec::GetGSClass() {
  if ((scriptFlags_ & kScriptClassResolved) != 0) return class_;
  LoadScriptInfo();
  if (!libraryName_.IsEmpty()) {
    if (GSRuntime::GSLibrary* library = GetLibrary()) {
      class_ = library->FindClass(std::string(className_.View()));
      if (class_ == nullptr) {
        LogPrintf(
            "KestroBaseSpec::GetGSClass> Could not load Kestro class %s from library %s for %s",
            className_.CStr(), libraryName_.CStr(), GetDisplayName().CStr());
      }
    } else {
      LogPrintf("KestroBaseSpec::GetGSClass> Could not load Kestro library %s for '%s'",
                libraryName_.CStr(), GetDisplayName().CStr());
    }
  }
  scriptFlags_ |= kScriptClassResolved;
  return class_;
}

void KestroScriptSpec::ForgetCompiledScripts() {
  scriptFlags_ &= u8(~(kScriptClassResolved | kScriptsCached));
  primarySourceId_ = primaryNameId_ = 0;
  primaryLibraryPath_.Clear();
  class_ = nullptr;
}

bool KestroScriptSpec::CompileScripts(ResultsLog* log) {
  // Compiled afresh: the identity of an earlier run says nothing about the sources now.
  ForgetCompiledScripts();
  LoadScriptInfo();
  if (scriptPathRefused_) {
    Soup parameters;
    parameters.EnsureContainer();
    parameters.SetNamedTag("filename", refusedPath_.ToPString());
    ResultsLog::AddResult(log, ResultsLog::kError, KestroPropertyRef(),
                          "Script path '$(FILENAME)' leaves the asset's folder.", parameters);
    return false;
  }
  if (libraryName_.IsEmpty() || (scriptFlags_ & kScriptInstallationLibrary) != 0) return true;

  Qel::File::Path primary{Qel::String(libraryName_.View())};
  primary.ChangeExtension("gs");
  if (!CacheScripts(contentRoot_, BuildPath(), BuildPath(primary.CStr()), log)) return false;
  GSRuntime::GSClass* cls = GetGSClass();
  if (cls == nullptr) {
    AddError(log, "Unable to link compiled script class.");
    return false;
  }

  PymAssetInfo info;
  PymGetAssetInfo(GetKUID(), info, PymAssetInfo::kPartCategories);
  const char* categories = info.category.CStr();
  const bool vehicle = MatchCategoryExpression(categories, "TR;TV");
  const bool signal = MatchCategoryExpression(categories, "?WA");
  const bool trackside = vehicle || signal || MatchCategoryExpression(categories, "TO");
  const struct {
    const char* base;
    bool wanted;
    const char* error;
  } checks[] = {
      {"Vehicle", vehicle, "Script class does not match asset kind (vehicle)."},
      {"Trackside", trackside, "Script class does not match asset kind (trackside)."},
      {"Signal", signal, "Script class does not match asset kind (signal)."},
  };
  for (const auto& check : checks) {
    if (cls->IsA(check.base) != check.wanted) {
      AddError(log, check.error);
      return false;
    }
  }
  return true;
}

CompilerEnvironmentGuard::CompilerEnvironmentGuard()
    : environment_(CompileEnvironment::OfThisThread()) {
  IncludePathList& list = environment_.includes;
  saved_.assign(list.begin(), list.end());
  list.Clear();
}

CompilerEnvironmentGuard::~CompilerEnvironmentGuard() {
  IncludePathList& list = environment_.includes;
  list.Clear();
  for (const IncludePath& entry : saved_) list.Add(entry);
  environment_.pendingPrefix = Qel::PString();
}
