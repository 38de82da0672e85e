#include "frontend/result_summary.h"

#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "core/text_convert.h"
#include "frontend/asset_status.h"

namespace {

const char* Prefix(u32 type) {
  switch (type) {
    case ResultsLog::kInformation:
      return "; ";
    case ResultsLog::kWarning:
      return "! ";
    case ResultsLog::kError:
      return "- ";
    case ResultsLog::kFourth:
      return "+ ";
    default:
      return "";
  }
}

}  // namespace

void PrintResultSummary(ResultsLog& log, std::FILE* out) {
  // A snapshot taken under the log's guard: threads still reporting wait for none of the
  // printing, and the lines printed are one consistent state of the log.
  const std::vector<ResultsLogEntry> entries = log.GetEntries();
  u32 warnings = log.GetWarningsPrintedElsewhere();
  u32 errors = log.GetErrorsPrintedElsewhere();
  for (const ResultsLogEntry& entry : entries) {
    warnings += entry.type == ResultsLog::kWarning;
    errors += entry.type == ResultsLog::kError;
    const Qel::PString asset = entry.property.IsNull()
                                   ? Qel::PString("<NULL>")
                                   : KUID::Parse(entry.property.GetText().CStr(), false).ToString();
    // Messages carry names, tags and file names of assets and packages, from here or from the
    // daemon: escaped here, none of them can start a line of its own, a line break that ends
    // one included. Messages are UTF-8; the console takes its own code page.
    const Qel::String message =
        Utf8ToConsoleText(Qel::String(EscapeControlCharacters(entry.text.View())));
    std::fprintf(out, "%s%s : %s\n%s", Prefix(entry.type), asset.CStr(), message.CStr(),
                 entry.blankLineAfter ? "\n" : "");
  }
  std::fprintf(out, "OK (%u Errors, %u Warnings)\n", errors, warnings);
}
