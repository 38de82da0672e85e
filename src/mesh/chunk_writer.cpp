#include "mesh/chunk_writer.h"

#include "qel/file_write.h"
#include "qelgfx/mesh_file_support.h"
#include "qelgfx/qirf_file.h"

bool ChunkWriter::BeginFile(const char* bodyTag) {
  if (!Check(marks_.empty() && Qel::WriteTag(file_, Qel::kQIRFMagic))) return false;
  const u64 mark = Qel::MeshFileSupport::MarkSizePos(file_);
  if (!Check(mark != Qel::MeshFileSupport::kNoMark)) return false;
  marks_.push_back(mark);
  return Check(Qel::WriteTag(file_, bodyTag));
}

bool ChunkWriter::EndFile() {
  if (!Check(marks_.size() == 1)) return false;
  const u64 mark = marks_.back();
  marks_.clear();
  return Check(Qel::MeshFileSupport::WriteSizeAtMark(file_, mark));
}

bool ChunkWriter::BeginChunk(const char* tag, u32 version) {
  if (!Check(!marks_.empty() && Qel::WriteTag(file_, tag))) return false;
  const u64 mark = Qel::MeshFileSupport::MarkSizePos(file_);
  if (!Check(mark != Qel::MeshFileSupport::kNoMark)) return false;
  marks_.push_back(mark);
  return Check(Qel::WriteU32(file_, version));
}

bool ChunkWriter::EndChunk() {
  if (!Check(marks_.size() > 1)) return false;
  const u64 mark = marks_.back();
  marks_.pop_back();
  return Check(Qel::MeshFileSupport::WriteSizeAtMark(file_, mark));
}

bool ChunkWriter::WriteU32(u32 value) { return Check(Qel::WriteU32(file_, value)); }

bool ChunkWriter::WriteI32(i32 value) { return Check(Qel::WriteI32(file_, value)); }

bool ChunkWriter::WriteU16(u16 value) { return Check(Qel::WriteU16(file_, value)); }

bool ChunkWriter::WriteF32(f32 value) { return Check(Qel::WriteF32(file_, value)); }

bool ChunkWriter::WriteBlock(const void* data, u32 size) {
  return Check(Qel::WriteBlock(file_, data, size));
}

bool ChunkWriter::WritePaddedString(const char* text) {
  return Check(Qel::MeshFileSupport::WritePaddedString(file_, text));
}
