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
    // daemon: escaped here, none of them can start a line of its own. One line break that ends a
    // message is the message's own blank line: nothing can follow it to pass for a tool's line.
    const std::string_view text = entry.text.View();
    const size_t body = text.size() - (text.ends_with('\n') ? 1 : 0);
    // Messages are UTF-8; the console takes its own code page.
    const Qel::String message = Utf8ToConsoleText(Qel::String(
        EscapeControlCharacters(text.substr(0, body)) + std::string(text.substr(body))));
    std::fprintf(out, "%s%s : %s\n", Prefix(entry.type), asset.CStr(), message.CStr());
  }
  std::fprintf(out, "OK (%u Errors, %u Warnings)\n", errors, warnings);
}
