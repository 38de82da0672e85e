// Printf-style lines for the process log, and the orderly stop for impossible states.
#pragma once

// Formats the text and writes it to the process log client "Kestro" as a message.
void LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs the text, prints "Error: <text>" on standard error and ends the process with exit code 1.
[[noreturn]] void FatalError(const char* format, ...) __attribute__((format(printf, 1, 2)));
