// The script side of a KestroBaseSpec: which library and class the configuration names, the
// per-asset cache of compiled libraries under UserData/cache/libraries, linking the class and
// checking it against the asset's kind.
//
// Caching compiles in the calling thread's compile environment and registers the libraries with
// the script machine, so it runs on the thread that drives the script machine.
#pragma once

#include <set>
#include <vector>

#include "core/kuid.h"
#include "gscompiler/compile_environment.h"
#include "pymclient/kestro_base_spec.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class ResultsLog;
namespace GSRuntime {
struct GSClass;
struct GSLibrary;
}  // namespace GSRuntime

class KestroScriptSpec : public KestroBaseSpec {
 public:
  // Script flags.
  enum : u8 {
    kScriptClassResolved = 0x01,
    kScriptInstallationLibrary = 0x02,
    kScriptsCached = 0x04,  // set when a caching attempt starts, successful or not
    kScriptInfoLoaded = 0x08,
  };
  // Builds from 2.90 on may name other assets whose script folders their scripts include.
  static constexpr f32 kIncludeTableBuild = 290.0f;

  KestroScriptSpec(const KUID& kuid, const Qel::String* location, const Qel::String* subLocation,
                   const Qel::PString& contentFolder, const Soup& config);

  // Runs when the configuration names no script.
  virtual void OnMissingScript() {}

  // Re-reads the script library and class from the configuration. Without them the fields stay
  // as they were; false then.
  bool LoadScriptInfo();
  // Compiles or reuses every script source of the asset's folder into the cache; `primary` is
  // the source that holds the asset's class (empty: none required). Findings go to `log`.
  bool CacheScripts(const Qel::PString& rootName, const Qel::File::Path& folder,
                    const Qel::File::Path& primary, ResultsLog* log);
  // The asset's library, cached first when its identity is not known yet; null when there is
  // none.
  GSRuntime::GSLibrary* GetLibrary();
  // The linked script class, looked up once; null when it cannot be had.
  GSRuntime::GSClass* GetGSClass();
  // Compiles and links the scripts afresh and checks the class against the asset's kind.
  bool CompileScripts(ResultsLog* log);
  // The class and library found before are looked up afresh on next use: the script machine
  // may have let them go.
  void ForgetCompiledScripts();
  // Puts the script folders of the assets of the include table, and of theirs, on the include
  // list; false when one of them has no KestroBaseSpec.
  bool AddIncludePaths();
  // The KUIDs of the configuration's "script-include-table" (the null KUID for a tag that is no
  // KUID).
  void CollectScriptIncludes(std::set<KUID>& kuids) const;

  const Qel::PString& GetLibraryName() const { return libraryName_; }
  const Qel::PString& GetScriptClassName() const { return className_; }
  u8 GetScriptFlags() const { return scriptFlags_; }
  u32 GetPrimarySourceId() const { return primarySourceId_; }
  u32 GetPrimaryNameId() const { return primaryNameId_; }
  const Qel::PString& GetContentRootName() const { return contentRoot_; }

 private:
  // The configuration as given, else as the daemon holds it.
  Soup Config() const;
  bool IncludesScriptsOf(f32 build) const;
  // The library of "/name": the installation's library folder, then the user's.
  GSRuntime::GSLibrary* FindInstallationLibrary();
  // Whether the cached file at `path` is the library of this source as the includes stand now.
  bool IsCurrentLibrary(const Qel::File::Path& path, const char* sourceName) const;

  Soup config_;
  Qel::PString contentRoot_;
  Qel::PString libraryName_;
  Qel::PString className_;
  GSRuntime::GSClass* class_ = nullptr;
  u8 scriptFlags_ = 0;
  // A script path that leaves the asset's folder; nothing is compiled from it.
  bool scriptPathRefused_ = false;
  Qel::String refusedPath_;
  u32 primarySourceId_ = 0;
  u32 primaryNameId_ = 0;
  // The cached file of the primary library, set with the primary ids; its own registration is
  // found through it even when another asset's library of the same identity came after it.
  Qel::String primaryLibraryPath_;
};

// The include list of the calling thread's compile environment as the caller left it comes back,
// and its pending prefix is dropped, on every way out of a compile run made here, nested runs
// (included assets cached first) included. The list starts empty.
class CompilerEnvironmentGuard {
 public:
  CompilerEnvironmentGuard();
  ~CompilerEnvironmentGuard();
  CompilerEnvironmentGuard(const CompilerEnvironmentGuard&) = delete;
  CompilerEnvironmentGuard& operator=(const CompilerEnvironmentGuard&) = delete;

 private:
  CompileEnvironment& environment_;
  std::vector<IncludePath> saved_;
};
