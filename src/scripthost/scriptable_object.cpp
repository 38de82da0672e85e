#include "scripthost/scriptable_object.h"

#include <string>

#include "core/crc32.h"
#include "core/file_util.h"
#include "core/log_printf.h"
#include "core/stream.h"
#include "core/whole_file_writer.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_environment.h"
#include "gscompiler/compile_log.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "scripthost/gso_asset.h"
#include "scripthost/gso_soup.h"
#include "scripthost/kestro_script_spec.h"

namespace {

// A game object told to stay without a script.
constexpr u32 kNoScript = 1u << 4;

bool IsBlank(const Qel::String& text) {
  for (const char c : text.View()) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}
}  // namespace

ScriptableObject::ScriptableObject(GSRuntime::GSContext* owner, DelayedInitManager* manager)
    : owner_(owner), manager_(manager) {
  if (manager_ != nullptr) manager_->Enqueue(this);
}

ScriptableObject::~ScriptableObject() {
  if (manager_ != nullptr) manager_->Dequeue(this);
}

Qel::String ScriptableObject::WrapperSource(const Qel::PString& baseClass,
                                            const Qel::PString& scriptFile) {
  std::string base = baseClass.IsEmpty() ? std::string("GameObject") : std::string(baseClass.View());
  std::string include = "gs.gs";
  if (!scriptFile.IsEmpty()) {
    Qel::File::Path file{Qel::String(scriptFile.View())};
    file.ChangeExtension("gs");
    include = file.CStr();
  }
  const std::string text = "include \"Kestro.gs\"\n\ninclude \"" + include + "\"\n\nclass " +
                           kCustomClass + " isclass " + base +
                           "\n{\n  public void Init(Asset self)\n  {\n    inherited(self);\n"
                           "    //...\n  }\n};\n\n";
  return Qel::String(text.c_str());
}

Qel::String ScriptableObject::GetSource() const {
  if (!source_.IsEmpty()) return source_;
  const KestroScriptSpec* spec = GetSpec();
  if (spec == nullptr) return WrapperSource(Qel::PString(), Qel::PString());
  return WrapperSource(spec->GetScriptClassName(), spec->GetLibraryName());
}

GSRuntime::GSClass* ScriptableObject::CompileOwnSource(const Qel::String& text,
                                                       const Qel::String& assetFolder,
                                                       const Qel::PString& rootName) {
  const Qel::String cache = GetUserDataFolder(Qel::PString("cache"));
  if (cache.IsEmpty()) return nullptr;
  const u32 sourceId = Crc32(reinterpret_cast<const u8*>(text.CStr()), text.Size());
  const u32 nameId = Crc32LowerCaseString(kTempUnit);
  // Each source gets a library file of its own: a registration made for one object's code can
  // never load another's from a shared name.
  const Qel::String libraryName = Qel::String::Format("temp_object_%08x%08x.gsl", sourceId, nameId);
  Qel::File::Path libraryPath{cache};
  libraryPath.AddPath(libraryName.CStr());
  GSMachine& machine = GSMachine::Instance();
  GSRuntime::GSLibrary* library = machine.FindLibrary(libraryPath.CStr());
  if (library == nullptr) {
    Qel::File::Path sourcePath{cache};
    sourcePath.AddPath(kTempUnit);
    if (WriteWholeFile(sourcePath.CStr(), {{text.CStr(), text.Size()}}) != WriteResult::kWritten) {
      return nullptr;
    }
    Qel::File::Unlink(libraryPath.CStr());
    {
      const CompilerEnvironmentGuard scope;
      IncludePathList& includes = GetIncludeSearchList();
      if (!assetFolder.IsEmpty()) includes.Add(IncludePath{Qel::File::Path(assetFolder), rootName});
      includes.Add(IncludePath{Qel::File::Path(cache), {}});
      includes.Add(IncludePath{Qel::File::Path(), Qel::PString("scripts")});
      GSCompileLog messages;
      if (CompileScriptFile(kTempUnit, libraryPath.CStr(), &messages) != 0) {
        while (const char* message = messages.Take()) {
          LogPrintf("ScriptableObject::GetScriptClass> %s", message);
        }
        return nullptr;
      }
    }
    GSLibraryId ids{0, 0};
    if (!machine.AddLibrary("", cache.CStr(), libraryName.CStr(), &ids)) return nullptr;
    if (ids != GSLibraryId{sourceId, nameId}) {
      LogPrintf("ScriptableObject::GetScriptClass> library '%s' does not hold its source",
                libraryPath.CStr());
      return nullptr;
    }
    library = machine.FindLibrary(libraryPath.CStr());
  }
  return library != nullptr ? library->FindClass(kCustomClass) : nullptr;
}

GSRuntime::GSClass* ScriptableObject::GetScriptClass() {
  KestroScriptSpec* spec = GetSpec();
  if (source_.IsEmpty()) return spec != nullptr ? spec->GetGSClass() : nullptr;
  if (spec == nullptr) return nullptr;
  return CompileOwnSource(source_, spec->BuildPath().GetText(), spec->GetContentRootName());
}

void ScriptableObject::InitStage2() {
  initFailed_ = true;
  // The script's tokens name the object's asset from its first line on.
  if (const KestroScriptSpec* spec = GetSpec()) SetIssuerKUID(spec->GetKUID());
  if ((flags & kNoScript) == 0) {
    GSRuntime::GSClass* cls = GetScriptClass();
    if (cls != nullptr && AcceptScriptClass(cls)) {
      if (scriptInstance == 0 || GetGSClass() != cls) {
        if (scriptInstance != 0) BindScriptInstance(nullptr, owner_);
        BindScriptInstance(cls, owner_);
      }
      if (scriptInstance != 0) initFailed_ = false;
    }
  }
  initFlags |= kStage2Done;
}

bool ScriptableObject::CallSetProperties(const Soup& properties) {
  const GSRuntime::GSHandle soup = GSOSoup::New(owner_, properties, false);
  if (soup == 0) return false;
  return GSRuntime::CallScriptMethod(scriptInstance, "$void@PropertyObject::SetProperties(Soup)",
                                     nullptr, {soup});
}

void ScriptableObject::InitStage3() {
  initFlags |= kStage3Done;
  if (!initFailed_) {
    if (owner_ != nullptr && owner_->router != nullptr && router == nullptr) {
      owner_->router->AddNode(this);
    }
    const KestroScriptSpec* spec = GetSpec();
    const GSRuntime::GSHandle asset =
        GSOAsset::Wrap(owner_, spec != nullptr ? spec->GetKUID() : KUID());
    u32 result = 0;
    if (!GSRuntime::CallScriptMethod(scriptInstance, "$void@KestroGameObject::Init(Asset)", nullptr,
                                     {asset})) {
      initFailed_ = true;
    } else if (!GSRuntime::CallScriptMethod(scriptInstance, "$Asset@KestroGameObject::GetAsset()",
                                            &result, {}) ||
               result == 0) {
      initFailed_ = true;
    } else {
      GSRuntime::ObjectBridge::ReleaseReference(result);
      if (propertiesPending_) {
        if (!CallSetProperties(pendingProperties_)) initFailed_ = true;
        pendingProperties_.Clear();
        propertiesPending_ = false;
      }
    }
  }
  Update(0.0f);
}

void ScriptableObject::StoreSource(const Qel::String& text) {
  if (text == source_) return;
  source_ = text;
  if (owner_ != nullptr && (initFlags & kStage3Done) != 0) Reinitialise();
}

void ScriptableObject::SetSource(const Qel::String& text) {
  StoreSource(IsBlank(text) ? Qel::String() : text);
}

void ScriptableObject::Reinitialise() {
  // Unbinding ends the object's threads; one that is running now (a native of it re-initialising
  // its own object) is ended when its run returns, never freed under it.
  BindScriptInstance(nullptr, owner_);
  if (owner_->router != nullptr && router == nullptr) owner_->router->AddNode(this);
  initFlags &= u8(~(kStage2Done | kStage3Done));
  InitStage2();
  InitStage3();
}

void ScriptableObject::SaveSource(TStream& stream) const { stream.WriteString(source_); }

void ScriptableObject::LoadSource(TStream& stream) {
  Qel::String text;
  if (!stream.ReadString(text)) return;
  StoreSource(text);
}
