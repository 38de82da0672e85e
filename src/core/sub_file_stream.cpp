#include "core/sub_file_stream.h"

#include <algorithm>

TSubFile::TSubFile(TStream& parent, u32 start, u32 end)
    : parent_(&parent), start_(start), end_(std::max(start, end)), current_(parent.Tell()) {
  if (current_ < start_ || current_ > end_) {
    parent_->MoveTo(start_);
    current_ = start_;
  }
}

u32 TSubFile::Tell() const {
  const u32 offset = current_ - start_;
  return offset > BufferedCount() ? offset - BufferedCount() : 0;
}

u32 TSubFile::Write(const void* data, u32 n) {
  DropReadAhead();
  const u32 fits = std::min(n, end_ - current_);
  u32 written = 0;
  if (fits != 0) written = std::min(parent_->WriteBytes(data, fits), fits);
  current_ += written;
  if (written < n) SetError(kErrorIo);
  return written;
}

u32 TSubFile::Read(void* dst, u32 n) {
  DropReadAhead();
  const u32 wanted = std::min(n, end_ - current_);
  if (wanted == 0) return 0;
  const u32 got = std::min(parent_->ReadFromBuffer(dst, wanted), wanted);
  current_ += got;
  return got;
}

void TSubFile::Seek(i64 offset, u32 origin) {
  if (origin > 2) {
    SetError(kErrorIo);
    return;
  }
  i64 target = i64(start_) + offset;
  if (origin == 1) target = i64(current_) - i64(BufferedCount()) + offset;
  if (origin == 2) target = i64(end_) + offset;
  const u32 clamped = u32(std::clamp<i64>(target, start_, end_));
  if (clamped != current_) {
    parent_->MoveTo(clamped);
    current_ = clamped;
  }
  EmptyReadBuffer();
}

bool TSubFile::IsEof() const {
  if (BufferedCount() != 0) return false;
  return current_ >= end_;
}
