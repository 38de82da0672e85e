// Hostile QIRF files through the chunk reader and the generic chunk walk: no read past the
// memory, no allocation beyond what the bytes can hold, and the two must agree on the body.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "mesh/chunk_reader.h"
#include "mesh/mesh_load_result.h"
#include "mesh/qirf_walk.h"
#include "qelgfx/mesh_file_support.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Reads chunks in whatever order the file names them: a padded string for odd versions, then a
// counted array of 12-byte records, then nested chunks where the version asks for them.
u32 ReadSequence(ChunkReader& reader, u32 depth) {
  while (reader.BytesLeft() >= 4) {
    char tag[5] = {};
    const u8* at = reader.Memory().GetCursor();
    for (int i = 0; i < 4; ++i) tag[i] = char(at[i]);
    ChunkHeader header;
    u32 code = reader.EnterChunk(tag, ChunkReader::Presence::kMandatory, 0, 0xFFFFFFFEu, header);
    if (code != RES_OK) return code;
    Check(header.present && header.end <= reader.Memory().GetSize());
    if (header.version & 1) {
      Qel::String name;
      Qel::MeshFileSupport::ReadPaddedString(reader.Memory(), name);
    }
    u32 count = 0;
    if (reader.Memory().ReadU32(count)) {
      if (!reader.FitsRecords(count, 12)) return RES_FILE_FORMAT_ERROR;
      std::vector<u8> records(size_t(count) * 12);
      reader.Memory().Read(records.data(), u32(records.size()));
    }
    if ((header.version & 2) && depth < 32) {
      code = ReadSequence(reader, depth + 1);
      if (code != RES_OK) return code;
    }
    code = reader.LeaveChunk(header, ChunkReader::EndCheck::kSeekToEnd);
    if (code != RES_OK) return code;
  }
  return reader.ReadResult();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Qel::MemoryFile memory(data, u32(size));
  ChunkReader reader(memory);
  if (reader.OpenBody(nullptr) == RES_OK) {
    Check(reader.GetBodyEnd() <= size);
    if (ReadSequence(reader, 0) == RES_OK) reader.CloseBody();
  }
  Check(memory.GetPosition() <= memory.GetSize());

  u32 chunks = 0;
  const QIRFWalkResult walk = WalkQIRF(data, u32(size), [&](const QIRFWalkEntry& e) {
    Check(u64(e.offset) + 8 + e.size <= size);
    ++chunks;
  });
  Check(walk.chunkCount == chunks);
  return 0;
}
