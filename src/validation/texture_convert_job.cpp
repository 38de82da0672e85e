#include "validation/texture_convert_job.h"

#include <deque>
#include <exception>
#include <mutex>

#include "assetdata/interface_text.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/file_util.h"
#include "core/path_text.h"
#include "mesh/qel_get_plugins.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/resource_db_cache.h"
#include "qel/file.h"
#include "qel/file_find.h"
#include "qelgfx/resource.h"
#include "qelgfx/uid.h"
#include "validation/compress_ascii_resource.h"
#include "validation/conversion_scratch.h"

namespace {

constexpr const char* kConvertTypeId = "6B0C7D52-2F1E-4C3A-9E64-1D8A5B7C3F20";
constexpr const char* kTextureResourceClassId = "0D4E9A31-7C2B-4F68-8A15-3E6F2B9C4D71";
// The conversion always makes the mips itself and lets the options choose the format.
constexpr const char* kConvertOptions = "-Automip=none -Compression=auto";

void MakeConversionType() {
  // Lives for the rest of the process, like every registered type.
  new Qel::ResourceType<CompressAsciiResource>(Qel::PString("convert-tex.txt"),
                                              Qel::UId(kConvertTypeId),
                                              Qel::UId(kTextureResourceClassId));
}

void AddEntry(ResultsLog* log, u32 type, const Qel::String& text,
              std::initializer_list<std::pair<const char*, Qel::String>> parameters = {}) {
  Soup soup;
  if (parameters.size() > 0) soup.EnsureContainer();
  for (const auto& [name, value] : parameters) soup.SetNamedTag(name, value.ToPString());
  ResultsLog::AddResult(log, type, KestroPropertyRef(), text, soup);
}

// The walk of one call: jobs in the order they started, at most kMaxJobsInFlight of them.
class TextureWalk {
 public:
  TextureWalk(const Qel::PString& folderName, ResultsLog* log) : folderName_(folderName), log_(log) {}
  ~TextureWalk() { jobs_.clear(); }

  bool Walk(const Qel::File::Path& path) {
    if (!Qel::File::IsFolder(path.CStr())) {
      if (!Qel::File::Exists(path.CStr())) return Unsearchable(path);
      if (IsTextureTxtFile(path.CStr())) Begin(path);
      return !dropped_;
    }
    Qel::File::Find find(path.CStr(), "*");
    if (!find.Ok()) return Unsearchable(path);
    while (!dropped_ && find.Next()) {
      const Qel::String& name = find.GetName();
      if (name == "." || name == "..") continue;
      Qel::File::Path entry = path;
      entry.AddPath(name.CStr());
      if (find.IsFolder()) {
        Walk(entry);
      } else if (IsTextureTxtFile(name.CStr())) {
        Begin(entry);
      }
    }
    return !dropped_;
  }

  // Waits for every job still running, in order; stops at a dropped one.
  u32 Finish() {
    while (!dropped_ && !jobs_.empty()) WaitOldest();
    // A dropped chain leaves the others unrun: each is cancelled and cleaned up as it goes.
    jobs_.clear();
    if (dropped_) return kTextureConvertDropped;
    return ok_ ? kTextureConvertDone : kTextureConvertFailed;
  }

  u32 Converted() const { return converted_; }

 private:
  bool Unsearchable(const Qel::File::Path& path) {
    AddEntry(log_, ResultsLog::kError, "Unable to search path: '$(FILE_NAME)'",
             {{"file_name", path.GetText()}});
    ok_ = false;
    return false;
  }

  void Begin(const Qel::File::Path& path) {
    if (jobs_.size() >= kMaxJobsInFlight) WaitOldest();
    if (dropped_) return;
    jobs_.push_back(std::make_unique<PymTextureConvertFileRPC>(folderName_, path, log_));
    jobs_.back()->Start();
  }

  void WaitOldest() {
    PymTextureConvertFileRPC& job = *jobs_.front();
    if (!job.WaitUntilDone()) {
      dropped_ = true;
      AddEntry(log_, ResultsLog::kError,
               GetInterfaceString(Qel::PString("$pym_texture_compress_err")) + " (" +
                   job.GetDescriptionPath().GetText() + ")");
      return;
    }
    if (job.Succeeded()) {
      ++converted_;
    } else {
      ok_ = false;
    }
    jobs_.pop_front();
  }

  Qel::PString folderName_;
  ResultsLog* log_;
  std::deque<std::unique_ptr<PymTextureConvertFileRPC>> jobs_;
  bool ok_ = true;
  bool dropped_ = false;
  u32 converted_ = 0;
};

}  // namespace

void RegisterTextureConversionType() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    AddPluginRegistration(&MakeConversionType);
    // Conversions run without a resource system too: the plug-ins are made here when none did.
    QelGetPlugins();
  });
}

u32 CompressTexturesInPath(const Qel::PString& folderName, const Qel::File::Path& path,
                           ResultsLog* log, u32* converted) {
  RegisterTextureConversionType();
  TextureWalk walk(folderName, log);
  const bool searched = walk.Walk(path);
  const u32 status = walk.Finish();
  if (converted != nullptr) *converted = walk.Converted();
  return searched ? status : (status == kTextureConvertDropped ? status : kTextureConvertFailed);
}

u32 CompressTextures(const Qel::PString& folderName, const Qel::File::Path& path, ResultsLog* log,
                     u32* converted) {
  return CompressTexturesInPath(folderName, path, log, converted);
}

PymTextureConvertFileRPC::PymTextureConvertFileRPC(const Qel::PString& folderName,
                                                   const Qel::File::Path& path, ResultsLog* log)
    : folderName_(folderName), descriptionPath_(path), log_(log) {}

PymTextureConvertFileRPC::~PymTextureConvertFileRPC() {
  // The steps go first, so that none runs on what is released below.
  chain_.reset();
  if (resource_ != nullptr || database_ != nullptr) ReleaseTextureResource(0);
  RemoveConversionScratchFile(copyPath_);
}

void PymTextureConvertFileRPC::Error(const Qel::String& text, bool withArchive) {
  success_.store(false);
  if (withArchive) {
    AddEntry(log_, ResultsLog::kError, text,
             {{"file_name", descriptionPath_.GetText()}, {"archive", Qel::String(folderName_)}});
  } else {
    AddEntry(log_, ResultsLog::kError, text, {{"file_name", descriptionPath_.GetText()}});
  }
}

void PymTextureConvertFileRPC::Start() {
  if (!PrepareFile()) return;
  chain_ = std::make_unique<KestroWorkerCallChain>();
  const intptr_t self = reinterpret_cast<intptr_t>(this);
  chain_->AddCall(0, self, TCXCallback(this, &PymTextureConvertFileRPC::LoadTextureResource));
  chain_->AddCall(0, self, TCXCallback(this, &PymTextureConvertFileRPC::WriteTextureFile));
  chain_->AddCall(0, self, TCXCallback(this, &PymTextureConvertFileRPC::FinishSteps));
  chain_->Start();
}

bool PymTextureConvertFileRPC::WaitUntilDone() {
  if (chain_ == nullptr) return true;
  // A chain that the dispatcher refused ends without running its steps: only the last step
  // having run means the job was done.
  return chain_->WaitUntilDone() && stepsRun_.load();
}

bool PymTextureConvertFileRPC::PrepareFile() {
  RegisterTextureConversionType();
  // The content folder that holds the file, and the file's path inside it.
  Qel::File::Path inside = descriptionPath_;
  if (folderName_.IsEmpty() && !GetContentFolderName(inside, folderName_)) {
    Error("Unable to determine relative path for '$(FILE_NAME)'", false);
    return false;
  }
  Qel::File::Path relative;
  if (!OpenContentResourceDatabase(folderName_, database_) || database_ == nullptr ||
      !GetRelativePathUnder(Qel::File::Path(database_->GetFolder()), descriptionPath_, relative) ||
      relative.IsEmpty()) {
    Error(database_ == nullptr ? GetInterfaceString(Qel::PString("$pymtexture_invalid_subst"))
                               : Qel::String("Unable to determine relative path for '$(FILE_NAME)'"),
          true);
    return false;
  }
  // The relative part as the user's path spells it, for the names in messages.
  const Qel::String& full = descriptionPath_.GetText();
  if (full.Size() > relative.Length()) {
    Qel::String spelled = full.SubString(full.Size() - relative.Length());
    Qel::String lower = spelled;
    lower.ToLower();
    if (lower == relative.GetText()) relative = Qel::File::Path(spelled);
  }
  // A description reached through a link out of the folder is missing, as its images would be.
  Qel::String found;
  if (!database_->FindFile(relative.GetText(), found)) {
    Error(GetInterfaceString(Qel::PString("$pymtexture_load_error")) + " (description '" +
              relative.GetText() + "' is missing)",
          true);
    return false;
  }
  descriptionName_ = relative.GetText();
  // "<stem>.texture.txt" -> "<stem>.texture", and the resource "<stem>.convert-tex.txt".
  outputPath_ = descriptionPath_;
  outputPath_.ChangeExtension("");
  relative.ChangeExtension("");
  relative.ChangeExtension("convert-tex.txt");
  resourceName_ = relative.GetText();
  if (!CreateConversionScratchPath(copyPath_) ||
      !CopyFile(Qel::PString(), Qel::File::Path(found), Qel::PString(), copyPath_)) {
    RemoveConversionScratchFile(copyPath_);
    copyPath_ = Qel::File::Path();
    Error("Unable to copy file '$(FILE_NAME)' in subst '$(ARCHIVE)'", true);
    return false;
  }
  return true;
}

void PymTextureConvertFileRPC::LoadTextureResource(intptr_t) {
  if (database_ == nullptr) {
    Error(GetInterfaceString(Qel::PString("$pymtexture_invalid_subst")), true);
    return;
  }
  const Qel::PString name(resourceName_.View());
  Qel::ResourceTypeBase* type = Qel::ResourceTypeBase::FindForName(name);
  Qel::Resource* resource = type != nullptr ? type->CreateResource(name, database_) : nullptr;
  if (resource == nullptr) {
    Error(GetInterfaceString(Qel::PString("$pymtexture_open_error")), true);
    return;
  }
  resource_ = dynamic_cast<CompressAsciiResource*>(resource);
  if (resource_ == nullptr) {
    resource->ReleaseReference();
    Error(GetInterfaceString(Qel::PString("$pymtexture_incorrect_resource")), true);
    return;
  }
  options_.ProcessRaw(kConvertOptions);
  resource_->SetOptions(&options_);
  resource_->SetDescriptionFile(copyPath_.GetText(), descriptionName_);
  if (resource_->Lock() != Qel::Resource::kLoaded) {
    Error(GetInterfaceString(Qel::PString("$pymtexture_load_error")) + " (" +
              resource_->GetLoadError() + ")",
          true);
    return;
  }
  if (!resource_->GetMipLock()) {
    resource_->Unlock();
    Error(GetInterfaceString(Qel::PString("$pymtexture_lock_error")) + " (" +
              resource_->GetCompressError() + ")",
          true);
    return;
  }
  resourceHeld_ = true;
}

void PymTextureConvertFileRPC::WriteTextureFile(intptr_t) {
  // A job whose load failed writes nothing.
  if (!resourceHeld_) {
    RemoveOldOutput();
    return;
  }
  try {
    // Written in the temporary folder, so that a process cut short leaves nothing in the asset.
    Qel::File::Path scratch;
    const bool haveScratch = CreateConversionScratchPath(scratch);
    // Asked once per file: the setting may change while a walk runs.
    const bool settingOff = !PymQueryTextureConvertSetting();
    written_ = resource_->SaveTexture(outputPath_.CStr(), settingOff,
                                      haveScratch ? scratch.CStr() : nullptr);
    if (!written_) {
      success_.store(false);
      AddEntry(log_, ResultsLog::kError, "Unable to write output file '$(FILE_NAME)'",
               {{"file_name", outputPath_.GetText()}});
      if (!resource_->GetCompressError().IsEmpty()) {
        AddEntry(log_, ResultsLog::kInformation, resource_->GetCompressError());
      }
    }
  } catch (const std::exception& e) {
    written_ = false;
    success_.store(false);
    AddEntry(log_, ResultsLog::kError,
             "Exception '$(ERROR)' thrown while processing '$(FILE_NAME)'",
             {{"error", Qel::String(e.what())}, {"file_name", descriptionPath_.GetText()}});
  }
  if (!written_) RemoveOldOutput();
}

void PymTextureConvertFileRPC::RemoveOldOutput() {
  // A compiled texture that no longer matches its description must not survive a failure.
  if (Qel::File::Exists(outputPath_.CStr())) Qel::File::Unlink(outputPath_.CStr());
}

void PymTextureConvertFileRPC::FinishSteps(intptr_t) {
  ReleaseTextureResource(0);
  stepsRun_.store(true);
}

void PymTextureConvertFileRPC::ReleaseTextureResource(intptr_t) {
  if (resource_ != nullptr) {
    if (resourceHeld_) {
      resource_->GetMipUnlock();
      resource_->Unlock();
      resourceHeld_ = false;
    }
    resource_->ReleaseReference();
    resource_ = nullptr;
  }
  ReleaseResourceDatabase(database_);
  database_ = nullptr;
}
