// The compiler's diagnostics: messages and counted errors of a unit, in the unit's log. Every
// pass reports through these, so that none depends on the driver that runs it.
#pragma once

#include "qel/types.h"

class UnitRecord;

constexpr u32 kMaxMessageLength = 255;

// Formats at most kMaxMessageLength characters into the unit's log; dropped without a unit or
// log.
void ReportMessage(const UnitRecord* unit, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Counts an error and/or a warning in the unit and reports "<file>(<line>) : <message>".
void ReportError(UnitRecord* unit, bool countError, bool countWarning, i32 line, const char* format,
                 ...) __attribute__((format(printf, 5, 6)));
// ReportError with an explicit file name in place of the unit's.
void ReportErrorInFile(UnitRecord* unit, const char* fileName, bool countError, bool countWarning,
                       i32 line, const char* format, ...) __attribute__((format(printf, 6, 7)));
