#include "core/buffer_stream.h"

#include <algorithm>
#include <limits>

#include "qel/dynamic_buffer.h"

namespace {

// Above this allocation a write that does not fit first extends it by its size plus kGrowStep,
// and at least by the allocation itself: growing geometrically copies each byte a bounded number
// of times, where fixed steps would copy the whole buffer at every step.
constexpr u32 kGrowThreshold = 16384;
constexpr u64 kGrowStep = 65536;

}  // namespace

TBuffer::TBuffer(Qel::DynamicBuffer* buffer, bool owns)
    : buffer_(buffer), owns_(buffer != nullptr && owns) {}

TBuffer::~TBuffer() {
  if (owns_) delete buffer_;
}

void TBuffer::Reset() {
  EmptyReadBuffer();
  if (buffer_ != nullptr) buffer_->Clean();
}

u32 TBuffer::Tell() const {
  if (buffer_ == nullptr) return 0;
  const u32 position = buffer_->GetPosition();
  return position > BufferedCount() ? position - BufferedCount() : 0;
}

u32 TBuffer::Write(const void* data, u32 n) {
  if (buffer_ == nullptr) {
    SetError(kErrorIo);
    return 0;
  }
  DropReadAhead();
  try {
    const u32 allocated = buffer_->GetAllocatedLength();
    if (u64(buffer_->GetPosition()) + n > allocated && allocated > kGrowThreshold) {
      const u64 room = std::numeric_limits<u32>::max() - u64(allocated);
      const u64 grow = std::max<u64>(u64(n) + kGrowStep, allocated);
      // Near the 4 GiB bound the step shrinks to what is left; a write beyond it still fails.
      buffer_->AddLength(u32(std::min<u64>(grow, std::max<u64>(room, n))));
    }
    return buffer_->Write(data, n);
  } catch (...) {
    SetError(kErrorTooLong);
    return 0;
  }
}

u32 TBuffer::Read(void* dst, u32 n) {
  if (buffer_ == nullptr) {
    SetError(kErrorIo);
    return 0;
  }
  DropReadAhead();
  return std::min(buffer_->Read(dst, n), n);
}

void TBuffer::Seek(i64 offset, u32 origin) {
  if (buffer_ == nullptr || origin > 2) {
    SetError(kErrorIo);
    return;
  }
  i64 target = offset;
  if (origin == 1) target = i64(buffer_->GetPosition()) - i64(BufferedCount()) + offset;
  if (origin == 2) target = i64(buffer_->GetDataSize()) - offset;
  const i64 limit = buffer_->GetAllocatedLength();
  buffer_->SetPosition(u32(std::clamp<i64>(target, 0, limit)));
  EmptyReadBuffer();
}

bool TBuffer::IsEof() const {
  if (buffer_ == nullptr) return true;
  return Tell() >= buffer_->GetDataSize();
}
