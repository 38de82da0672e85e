// A window [start, end) of absolute offsets onto a parent stream, which it borrows. Positions
// count from the window's start; the parent follows the window's current offset.
#pragma once

#include "core/stream.h"
#include "qel/types.h"

class TSubFile : public TStream {
 public:
  // The window starts at the parent's logical position, which the caller puts at start. A
  // parent outside the window is moved to start; an end before start gives an empty window.
  TSubFile(TStream& parent, u32 start, u32 end);

  void Reset() override {}
  u32 Tell() const override;
  bool IsOpen() const override { return parent_->IsOpen(); }
  // Clamped to the window; a write that does not fit sets kErrorIo and returns the count written.
  u32 Write(const void* data, u32 n) override;
  // Clamped to the window; returns the count the parent delivered.
  u32 Read(void* dst, u32 n) override;
  // The target is clamped into the window.
  void Seek(i64 offset, u32 origin) override;
  bool IsEof() const override;

 private:
  TStream* parent_;
  u32 start_;
  u32 end_;
  u32 current_;
};
