// Result codes of every mesh load, with their names and messages.
#pragma once

#include "qel/types.h"

// The constants keep the names that load messages and logs have always shown for them.
// NOLINTBEGIN(readability-identifier-naming)
enum MeshLoadResult : u32 {
  RES_OK = 0,
  RES_UNKNOWN = 1,
  RES_FILE_OPEN_ERROR = 2,
  RES_FILE_FORMAT_ERROR = 3,
  RES_FILE_VERSION_ERROR = 4,
  RES_NO_MATERIAL_MANAGER = 5,
  RES_UNSUPPORTED_MATERIAL = 6,
  RES_UNKNOWN_MATERIAL = 7,
  RES_FAIL_CHUNK_CREATE = 8,
  RES_FILE_DATA_ERROR = 9,
};
// NOLINTEND(readability-identifier-naming)

// "RES_FILE_FORMAT_ERROR" and so on; "" for success, "RES_UNKNOWN" for codes past the table.
const char* MeshLoadResultName(u32 code);
// "Unexpected file format" and so on; "" for success, the message of code 1 past the table.
const char* MeshLoadResultMessage(u32 code);
