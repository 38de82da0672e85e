#include "gscompiler/parser_support.h"

#include <cstdlib>

#include "gscompiler/compile_report.h"
#include "gscompiler/gs_scanner.h"

namespace GSCompiler {

ParseSession::~ParseSession() {
  for (void* block : stacks_) std::free(block);
}

void* ParseSession::AllocStack(size_t bytes) {
  for (void*& slot : stacks_) {
    if (slot == nullptr) return slot = std::malloc(bytes);
  }
  return nullptr;
}

void ParseSession::FreeStack(void* block) {
  for (void*& slot : stacks_) {
    if (slot == block && block != nullptr) slot = nullptr;
  }
  std::free(block);
}

void ParseSession::ReportError(const char* text) const { Report(text, true); }

void ParseSession::ReportWarning(const char* text) const { Report(text, false); }

void ParseSession::Report(const char* text, bool error) const {
  const i32 line = scanner_.lineno();
  ::ReportError(&unit_, error, !error, line, "%s, line %d", text, line);
}

}  // namespace GSCompiler
