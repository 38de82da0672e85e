// A stream over an engine growable memory buffer: the payload carrier of daemon requests and
// replies.
#pragma once

#include "core/stream.h"
#include "qel/types.h"

namespace Qel {
class DynamicBuffer;
}  // namespace Qel

class TBuffer : public TStream {
 public:
  // A null buffer gives a stream that is not open and fails every transfer with kErrorIo.
  TBuffer(Qel::DynamicBuffer* buffer, bool owns);
  ~TBuffer() override;

  Qel::DynamicBuffer* GetBuffer() const { return buffer_; }

  // Empties the read buffer and the engine buffer; the error stays.
  void Reset() override;
  u32 Tell() const override;
  bool IsOpen() const override { return buffer_ != nullptr; }
  // A write the engine buffer cannot take sets kErrorTooLong and returns 0.
  u32 Write(const void* data, u32 n) override;
  u32 Read(void* dst, u32 n) override;
  // From the end (origin 2) the target is the data size minus offset. The position is clamped
  // into [0, allocated length].
  void Seek(i64 offset, u32 origin) override;
  bool IsEof() const override;

 private:
  Qel::DynamicBuffer* buffer_;
  bool owns_;
};
