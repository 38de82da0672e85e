#include "mesh/chunk_reader.h"

#include <cstring>

#include "mesh/mesh_load_result.h"
#include "qelgfx/qirf_file.h"

u32 ChunkReader::OpenBody(const char* bodyTag) {
  ends_.clear();
  char magic[4];
  u32 length = 0;
  if (!memory_.Read(magic, 4) || std::memcmp(magic, Qel::kQIRFMagic, 4) != 0) {
    return RES_FILE_FORMAT_ERROR;
  }
  if (!memory_.ReadU32(length)) return RES_FILE_FORMAT_ERROR;
  const u64 end = u64(memory_.GetPosition()) + length;
  if (end > memory_.GetSize() || length < 4) return RES_FILE_FORMAT_ERROR;
  if (!memory_.Read(bodyTag_, 4)) return RES_FILE_FORMAT_ERROR;
  if (bodyTag && std::memcmp(bodyTag_, bodyTag, 4) != 0) return RES_FILE_FORMAT_ERROR;
  ends_.push_back(u32(end));
  return RES_OK;
}

u32 ChunkReader::CloseBody() {
  if (ends_.size() != 1) return RES_FILE_FORMAT_ERROR;
  const u32 end = ends_.back();
  ends_.clear();
  if (ReadResult() != RES_OK || memory_.GetPosition() != end) return RES_FILE_FORMAT_ERROR;
  return RES_OK;
}

u32 ChunkReader::BytesLeft() const {
  const u32 end = ParentEnd();
  const u32 at = memory_.GetPosition();
  return at < end ? end - at : 0;
}

bool ChunkReader::NextTagIs(const char* tag) const {
  return BytesLeft() >= 4 && std::memcmp(memory_.GetCursor(), tag, 4) == 0;
}

u32 ChunkReader::ReadResult() const {
  return memory_.HasShortRead() ? RES_FILE_FORMAT_ERROR : RES_OK;
}

u32 ChunkReader::EnterChunk(const char* tag, Presence presence, u32 minVersion, u32 maxVersion,
                            ChunkHeader& header) {
  header = ChunkHeader();
  header.start = memory_.GetPosition();
  const bool optional = presence == Presence::kOptional;
  if (BytesLeft() < 4) return optional ? RES_OK : RES_FILE_FORMAT_ERROR;
  memory_.Read(header.tag, 4);
  if (std::memcmp(header.tag, tag, 4) != 0) {
    if (!optional) return RES_FILE_FORMAT_ERROR;
    memory_.Rewind(4);
    return RES_OK;
  }
  header.present = true;
  u32 size = 0;
  if (!memory_.ReadU32(size)) return RES_FILE_FORMAT_ERROR;
  // The size covers at least the version and must end inside the parent.
  const u64 end = u64(memory_.GetPosition()) + size;
  if (size < 4 || end > ParentEnd()) return RES_FILE_FORMAT_ERROR;
  header.end = u32(end);
  if (!memory_.ReadU32(header.version)) return RES_FILE_FORMAT_ERROR;
  if (header.version < minVersion || header.version > maxVersion) return RES_FILE_VERSION_ERROR;
  ends_.push_back(header.end);
  return RES_OK;
}

u32 ChunkReader::LeaveChunk(const ChunkHeader& header, EndCheck check) {
  if (ends_.size() < 2 || ends_.back() != header.end) return RES_FILE_FORMAT_ERROR;
  ends_.pop_back();
  if (ReadResult() != RES_OK) return RES_FILE_FORMAT_ERROR;
  switch (check) {
    case EndCheck::kExact:
      return memory_.GetPosition() == header.end ? RES_OK : RES_FILE_FORMAT_ERROR;
    case EndCheck::kNone:
      return RES_OK;
    case EndCheck::kSeekToEnd:
      return memory_.Seek(header.end) ? RES_OK : RES_FILE_FORMAT_ERROR;
  }
  return RES_FILE_FORMAT_ERROR;
}
