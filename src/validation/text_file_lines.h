// Small text files of the validation data and of assets, read whole and split into lines.
#pragma once

#include <string>
#include <vector>

#include "qel/types.h"

namespace TETLib {

enum class ReadLinesResult : u8 { kOk, kCannotOpen, kTooLarge };

// Reads the file (a regular file, resolved like every engine path) into lines: each line
// whatever its length, without its line end ("\n", "\r\n" or any run of '\r' before '\n'). A
// last line without an end counts; an empty file has no lines. Refuses a file larger than
// maxBytes before reading it, and anything but a regular file (a pipe would never end).
ReadLinesResult ReadTextFileLines(const char* path, u64 maxBytes, std::vector<std::string>& lines);

}  // namespace TETLib
