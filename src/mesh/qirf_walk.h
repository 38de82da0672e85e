// Walks the chunk tree of any QIRF file without knowing its body's grammar, for inspection tools
// and fuzzing. A chunk's body holds nested chunks when, from some 4-byte-aligned offset on, the
// rest of it parses exactly as a sequence of chunks whose tags are four capitals or digits; the
// bytes before that offset are its own data. The first framing fault ends the walk, with its
// offset and reason. A body whose first bytes are not a chunk tag is reported as data.
#pragma once

#include <functional>
#include <string>

#include "qel/types.h"

struct QIRFWalkEntry {
  u32 depth = 0;  // 0 for the chunks of the body
  char tag[5] = {};
  u32 offset = 0;  // of the tag
  u32 size = 0;    // bytes after the size field
  u32 version = 0;
  u32 dataBytes = 0;  // the chunk's own bytes after the version
  bool hasChildren = false;
};

struct QIRFWalkResult {
  bool ok = false;
  char bodyTag[5] = {};
  u32 bodyLength = 0;
  u32 chunkCount = 0;
  u32 bodyDataBytes = 0;  // a body that is not made of chunks
  u32 failOffset = 0;     // where the walk stopped, when not ok
  std::string reason;
};

QIRFWalkResult WalkQIRF(const u8* data, u32 size,
                        const std::function<void(const QIRFWalkEntry&)>& visit);
