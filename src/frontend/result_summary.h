// What the user sees of a command's results log: one line per entry and the count line.
#pragma once

#include <cstdio>

class ResultsLog;

// Per entry: the prefix of its type ("; ", "! ", "- ", "+ " or none), the entry's asset as KUID
// text or "<NULL>", " : " and the message, its control characters escaped
// (EscapeControlCharacters), and the blank line the entry asks for; then
// "OK (<n> Errors, <m> Warnings)". Counts are taken afresh from the entries printed, plus those
// the command printed in its own form.
void PrintResultSummary(ResultsLog& log, std::FILE* out = stdout);
