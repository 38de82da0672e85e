// The process's last-resort line writer.
//
// A launching program may offer a pipe for our diagnostics: when the FIFO /tmp/<pid>cout exists
// (and has a reader) at start-up, these lines go into it as UTF-16LE text instead of to the
// standard output. Only the lines written here go into the pipe; the rest of the program's
// standard output stays where it was.
#pragma once

#include <cwchar>

// Writes the line and a line break, whole: lines from several threads never interleave.
// A null line counts as empty.
void WriteLogLine(const char* line);

// printf-style lines for WriteLogLine. A text longer than 65535 characters is cut to 65535.
void LogPrintfA(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The wide form; its text is written as UTF-8.
void LogPrintfW(const wchar_t* format, ...);

// True when the diagnostics lines go into the pipe.
bool IsStdOutPipeActive();
