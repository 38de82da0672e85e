#include "qelgfx/qirf_file.h"

#include "qel/file_write.h"
#include "qelgfx/mesh_file_support.h"

namespace Qel {

QIRFWriteHeader::QIRFWriteHeader(QIRFFile& file, u32 bodyTag) : file_(file.GetFile()) {
  const bool magic = WriteTag(file_, kQIRFMagic);
  mark_ = magic ? MeshFileSupport::MarkSizePos(file_) : MeshFileSupport::kNoMark;
  ok_ = mark_ != MeshFileSupport::kNoMark && WriteU32(file_, bodyTag);
}

bool QIRFWriteHeader::Finish() {
  if (!finished_) {
    finished_ = true;
    ok_ = ok_ && MeshFileSupport::WriteSizeAtMark(file_, mark_);
  }
  return ok_;
}

}  // namespace Qel
