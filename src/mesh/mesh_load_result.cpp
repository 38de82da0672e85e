#include "mesh/mesh_load_result.h"

namespace {

struct Entry {
  const char* name;
  const char* message;
};

constexpr Entry kEntries[] = {
    {"", ""},
    {"RES_UNKNOWN", "Unknown mesh load error"},
    {"RES_FILE_OPEN_ERROR", "Unable to open file"},
    {"RES_FILE_FORMAT_ERROR", "Unexpected file format"},
    {"RES_FILE_VERSION_ERROR", "Incompatible file version"},
    {"RES_NO_MATERIAL_MANAGER", "Unable to find material manager in Render Kernel"},
    {"RES_UNSUPPORTED_MATERIAL", "Unable to create requested material"},
    {"RES_UNKNOWN_MATERIAL", "Unable to find the type of a requested material"},
    {"RES_FAIL_CHUNK_CREATE", "Failed to create geometry chunk"},
    {"RES_FILE_DATA_ERROR", "File contains invalid data"},
};

const Entry& Lookup(u32 code) {
  return code < sizeof kEntries / sizeof kEntries[0] ? kEntries[code] : kEntries[RES_UNKNOWN];
}

}  // namespace

const char* MeshLoadResultName(u32 code) { return Lookup(code).name; }

const char* MeshLoadResultMessage(u32 code) { return Lookup(code).message; }
