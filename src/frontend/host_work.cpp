#include "frontend/host_work.h"

#include "assetdata/interface_text.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "qel/file.h"
#include "scripthost/pym_compile_asset.h"
#include "validation/texture_convert_job.h"

namespace {

void AddEntry(ResultsLog& log, u32 type, const Qel::String& text, const char* parameter = nullptr,
              const Qel::String& value = Qel::String()) {
  Soup parameters;
  if (parameter != nullptr) {
    parameters.EnsureContainer();
    parameters.SetNamedTag(parameter, value.ToPString());
  }
  ResultsLog::AddResult(&log, type, KestroPropertyRef(), text, parameters);
}

}  // namespace

bool ValidateAssetAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                         ResultsLog& log) {
  Soup config;
  bool read = false;
  for (const char* name : {"config.chump", "config.txt"}) {
    Qel::File::Path file = path;
    file.AddPath(name);
    if (Qel::File::Exists(file.CStr()) && config.LoadFile("", file.CStr(), nullptr)) {
      read = true;
      break;
    }
  }
  if (!read) {
    AddEntry(log, ResultsLog::kError,
             GetInterfaceString(Qel::PString("$pym_unable_read_config_at")), "file_path",
             path.GetText());
    return false;
  }
  // A script that does not compile is a finding like any other: the validation still ran.
  PymCompileAsset(folderName, path, log);
  AddEntry(log, ResultsLog::kWarning,
           "Validation rules are not part of this build: the configuration and the scripts "
           "were checked and nothing else.");
  return true;
}

u32 ConvertTexturesAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                          ResultsLog& log) {
  return CompressTexturesInPath(folderName, path, &log);
}
