// Walks the chunk tree of any QIRF file, for inspection tools and fuzzing. Nested chunks are
// looked for only where the mesh bodies put them ("IDXM": CHNK, SKEL and BONE; "LODM": MATT, MESH
// and LCHK), after the container's own fields; every other chunk body is its own data, whatever
// its bytes look like. A body of another kind is a flat sequence of chunks when it opens with a
// chunk tag and data otherwise. The first framing fault ends the walk, with its offset and reason.
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
