#include "core/log_printf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/core_statics.h"
#include "qel/log.h"
#include "qel/string.h"

namespace {

Qel::String FormatAndLog(const char* format, va_list args) {
  Qel::String text = format != nullptr ? Qel::String::FormatV(format, args) : Qel::String();
  KestroLog().Printf(Qel::Log::kMessage, "%s", text.CStr());
  return text;
}

}  // namespace

void LogPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatAndLog(format, args);
  va_end(args);
}

void FatalError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Qel::String text = FormatAndLog(format, args);
  va_end(args);
  std::fprintf(stderr, "Error: %s\n", text.CStr());
  // The state is impossible, so nothing else may run: no exit handlers, only the buffered output.
  std::fflush(nullptr);
  std::_Exit(1);
}
