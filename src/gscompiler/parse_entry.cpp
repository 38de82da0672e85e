#include "gscompiler/parse_entry.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <streambuf>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_scanner.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/parser_support.h"

namespace GSCompiler {

namespace {

// The parser holds at most two stack blocks at once: the old one while it moves to a new one.
constexpr int kMaxParserStacks = 4;
void* g_parserStacks[kMaxParserStacks] = {};

// Reads the caller's text in place.
class TextBuffer : public std::streambuf {
 public:
  TextBuffer(const char* text, u32 length) {
    char* begin = const_cast<char*>(text ? text : "");
    setg(begin, begin, begin + (text ? length : 0));
  }
};

// Clears the current scanner however the parse ends.
class CurrentScannerScope {
 public:
  explicit CurrentScannerScope(GSScanner* scanner) { SetCurrentScanner(scanner); }
  ~CurrentScannerScope() { SetCurrentScanner(nullptr); }
  CurrentScannerScope(const CurrentScannerScope&) = delete;
  CurrentScannerScope& operator=(const CurrentScannerScope&) = delete;
};

}  // namespace

void* AllocParserStack(size_t bytes) {
  for (void*& slot : g_parserStacks) {
    if (slot == nullptr) return slot = std::malloc(bytes);
  }
  return nullptr;
}

void FreeParserStack(void* block) {
  for (void*& slot : g_parserStacks) {
    if (slot == block && block != nullptr) slot = nullptr;
  }
  std::free(block);
}

void ReleaseParserStacks() {
  for (void*& slot : g_parserStacks) {
    std::free(slot);
    slot = nullptr;
  }
}

void ReportParseError(const char* text) {
  UnitRecord* unit = GetCurrentUnit();
  const GSScanner* scanner = GetCurrentScanner();
  if (!scanner) {
    if (unit) ++unit->errorCount;
    ReportMessage("%s", text);
    return;
  }
  const i32 line = scanner->lineno();
  ReportError(unit, true, false, line, "%s, line %d", text, line);
}

int ParseUnitStream(UnitRecord& unit, std::istream& input) {
  SetCurrentUnit(&unit);
  unit.topLevel = nullptr;
  int result = 1;
  std::unique_ptr<GSScanner> scanner;
  try {
    scanner = std::make_unique<GSScanner>(input);
    CurrentScannerScope current(scanner.get());
    try {
      result = yyparse();
    } catch (const ScannerFailure& failure) {
      ReportParseError(failure.what());
    } catch (const std::bad_alloc&) {
      ReportParseError("out of memory");
    }
  } catch (const ScannerFailure& failure) {
    ReportParseError(failure.what());
  } catch (const std::bad_alloc&) {
    ReportParseError("out of memory");
  }
  ReleaseParserStacks();
  if (result != 0) unit.topLevel = nullptr;
  return result;
}

int ParseTokens(UnitRecord& unit, const char* text, u32 length) {
  TextBuffer buffer(text, length);
  std::istream input(&buffer);
  return ParseUnitStream(unit, input);
}

}  // namespace GSCompiler
