#include "gscompiler/parse_entry.h"

#include <new>
#include <streambuf>

#include "gscompiler/compile_report.h"
#include "gscompiler/gs_scanner.h"
#include "gscompiler/parser_support.h"
#include "gscompiler/unit_record.h"

namespace GSCompiler {

namespace {

// Reads the caller's text in place.
class TextBuffer : public std::streambuf {
 public:
  TextBuffer(const char* text, u32 length) {
    char* begin = const_cast<char*>(text ? text : "");
    setg(begin, begin, begin + (text ? length : 0));
  }
};

// A failure before there was a scanner to name a line: the text alone, still counted.
void ReportWithoutLine(UnitRecord& unit, const char* text) {
  ++unit.errorCount;
  ReportMessage(&unit, "%s", text);
}

// The parse proper; its session frees what the parser held however the parse ends.
int Parse(UnitRecord& unit, GSScanner& scanner) {
  ParseSession session(unit, scanner);
  try {
    return yyparse(session);
  } catch (const ScannerFailure& failure) {
    session.ReportError(failure.what());
  } catch (const std::bad_alloc&) {
    session.ReportError("out of memory");
  }
  return 1;
}

}  // namespace

int ParseUnitStream(UnitRecord& unit, std::istream& input) {
  unit.topLevel = nullptr;
  int result = 1;
  try {
    GSScanner scanner(input);
    result = Parse(unit, scanner);
  } catch (const ScannerFailure& failure) {
    ReportWithoutLine(unit, failure.what());
  } catch (const std::bad_alloc&) {
    ReportWithoutLine(unit, "out of memory");
  }
  if (result != 0) unit.topLevel = nullptr;
  return result;
}

int ParseTokens(UnitRecord& unit, const char* text, u32 length) {
  TextBuffer buffer(text, length);
  std::istream input(&buffer);
  return ParseUnitStream(unit, input);
}

}  // namespace GSCompiler
