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

// A parse holds at most two stack blocks at once: the old one while it moves to a new one. A
// root unit compiled a class at a time parses its includes within its own parse.
constexpr int kMaxParserStacks = 8;
void* g_parserStacks[kMaxParserStacks] = {};

// Reads the caller's text in place.
class TextBuffer : public std::streambuf {
 public:
  TextBuffer(const char* text, u32 length) {
    char* begin = const_cast<char*>(text ? text : "");
    setg(begin, begin, begin + (text ? length : 0));
  }
};

// Gives the scanner of an enclosing parse back, or none, however the parse ends.
class CurrentScannerScope {
 public:
  explicit CurrentScannerScope(GSScanner* scanner) : enclosing_(GetCurrentScanner()) {
    SetCurrentScanner(scanner);
  }
  ~CurrentScannerScope() { SetCurrentScanner(enclosing_); }
  CurrentScannerScope(const CurrentScannerScope&) = delete;
  CurrentScannerScope& operator=(const CurrentScannerScope&) = delete;

 private:
  GSScanner* enclosing_;
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

u32 ParserStacksInUse() {
  u32 used = 0;
  for (int i = 0; i < kMaxParserStacks; ++i) {
    if (g_parserStacks[i] != nullptr) used |= 1u << i;
  }
  return used;
}

void ReleaseParserStacks(u32 kept) {
  for (int i = 0; i < kMaxParserStacks; ++i) {
    if (kept & (1u << i)) continue;
    std::free(g_parserStacks[i]);
    g_parserStacks[i] = nullptr;
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
  // The stacks of an enclosing parse stay with it.
  const u32 enclosingStacks = ParserStacksInUse();
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
  ReleaseParserStacks(enclosingStacks);
  if (result != 0) unit.topLevel = nullptr;
  return result;
}

int ParseTokens(UnitRecord& unit, const char* text, u32 length) {
  TextBuffer buffer(text, length);
  std::istream input(&buffer);
  return ParseUnitStream(unit, input);
}

}  // namespace GSCompiler
