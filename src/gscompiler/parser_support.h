// What the generated parser needs from the compiler: the session of one parse.
#pragma once

#include <cstddef>

#include "qel/types.h"

class UnitRecord;

namespace GSCompiler {

class GSScanner;

// One parse: the unit it fills, the scanner it reads from and its stack memory. The generated
// parser keeps no state outside it, so parses on several threads, and a parse begun from within
// another (a root unit compiled a class at a time parses the units it includes), stay apart.
class ParseSession {
 public:
  ParseSession(UnitRecord& unit, GSScanner& scanner) : unit_(unit), scanner_(scanner) {}
  // Frees the stack blocks that an exception left behind.
  ~ParseSession();
  ParseSession(const ParseSession&) = delete;
  ParseSession& operator=(const ParseSession&) = delete;

  UnitRecord& Unit() const { return unit_; }
  GSScanner& Scanner() const { return scanner_; }

  // The parser's stack memory. A parse holds at most two blocks at once: the old one while it
  // moves to a new one.
  void* AllocStack(size_t bytes);
  void FreeStack(void* block);

  // Reports "<text>, line <n>" at the scanner's line as a counted error of the unit.
  void ReportError(const char* text) const;
  // The same as a counted warning: the compile goes on to its library.
  void ReportWarning(const char* text) const;

 private:
  void Report(const char* text, bool error) const;

  static constexpr int kMaxStacks = 2;

  UnitRecord& unit_;
  GSScanner& scanner_;
  void* stacks_[kMaxStacks] = {};
};

}  // namespace GSCompiler

// The generated parser: 0 on success, 1 after a syntax error, 2 after a stack overflow.
int yyparse(GSCompiler::ParseSession& session);
