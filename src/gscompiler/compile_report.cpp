#include "gscompiler/compile_report.h"

#include <cstdarg>
#include <cstdio>

#include "gscompiler/compile_log.h"
#include "gscompiler/unit_record.h"

namespace {

void FormatMessage(char (&buffer)[kMaxMessageLength + 1], const char* format, va_list args) {
  if (std::vsnprintf(buffer, sizeof buffer, format ? format : "", args) < 0) buffer[0] = 0;
}

void ReportErrorV(UnitRecord* unit, const char* fileName, bool countError, bool countWarning,
                  i32 line, const char* format, va_list args) {
  if (unit) {
    if (countError) ++unit->errorCount;
    if (countWarning) ++unit->warningCount;
  }
  char message[kMaxMessageLength + 1];
  FormatMessage(message, format, args);
  ReportMessage(unit, "%s(%d) : %s", fileName ? fileName : "", line, message);
}

}  // namespace

void ReportMessage(const UnitRecord* unit, const char* format, ...) {
  char message[kMaxMessageLength + 1];
  va_list args;
  va_start(args, format);
  FormatMessage(message, format, args);
  va_end(args);
  if (unit && unit->log) unit->log->Add(message);
}

void ReportError(UnitRecord* unit, bool countError, bool countWarning, i32 line, const char* format,
                 ...) {
  va_list args;
  va_start(args, format);
  ReportErrorV(unit, unit ? unit->fileName.CStr() : "", countError, countWarning, line, format,
               args);
  va_end(args);
}

void ReportErrorInFile(UnitRecord* unit, const char* fileName, bool countError, bool countWarning,
                       i32 line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportErrorV(unit, fileName, countError, countWarning, line, format, args);
  va_end(args);
}
