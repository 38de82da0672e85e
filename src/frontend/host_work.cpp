#include "frontend/host_work.h"

#include "assetdata/interface_text.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "qel/file.h"

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

u32 ConvertTexturesAtPath(const Qel::PString& /*folderName*/, const Qel::File::Path& path,
                          ResultsLog& log) {
  if (!Qel::File::Exists(path.CStr())) {
    AddEntry(log, ResultsLog::kError, "Unable to search path: '$(FILE_NAME)'", "file_name",
             path.GetText());
    return 0;
  }
  AddEntry(log, ResultsLog::kWarning,
           "Texture conversion is not part of this build: no texture was converted.");
  return 0;
}
