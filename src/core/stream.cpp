#include "core/stream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "core/kuid.h"
#include "platform/byte_order.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace {

// Strings below this length are read into a stack buffer.
constexpr u32 kStackStringSize = 511;

}  // namespace

u32 TStream::GetLength() {
  const u32 position = Tell();
  Seek(0, 2);
  const u32 length = Tell();
  MoveTo(position);
  return length;
}

void TStream::DropReadAhead() {
  if (bufferedCount_ != 0) Seek(0, 1);
  EmptyReadBuffer();
}

void TStream::MoveTo(u32 position) {
  const i64 distance = i64(position) - i64(Tell());
  if (i64(bufferPosition_) + distance >= 0 && distance <= i64(bufferedCount_)) {
    bufferPosition_ = u32(i64(bufferPosition_) + distance);
    bufferedCount_ = u32(i64(bufferedCount_) - distance);
    return;
  }
  Seek(position, 0);
}

u32 TStream::ReadFromBuffer(void* dst, u32 n) {
  if (n > bufferedCount_) return ReadBuffered(dst, n);
  std::memcpy(dst, buffer_ + bufferPosition_, n);
  bufferPosition_ += n;
  bufferedCount_ -= n;
  return n;
}

u32 TStream::ReadBuffered(void* dst, u32 n) {
  u8* out = static_cast<u8*>(dst);
  if (n == 0) return 0;
  if (n <= bufferedCount_) return ReadFromBuffer(dst, n);

  u32 copied = 0;
  if (bufferedCount_ != 0) {
    std::memcpy(out, buffer_ + bufferPosition_, bufferedCount_);
    copied = bufferedCount_;
    // The position stays at the end of the valid bytes: only a buffer whose bytes ran to its
    // very end counts as drained to its end, so the kept history is never stale.
    bufferPosition_ += bufferedCount_;
    bufferedCount_ = 0;
  }
  const u32 wanted = n - copied;

  if (wanted >= kDirectReadSize) {
    const u32 got = std::min(Read(out + copied, wanted), wanted);
    EmptyReadBuffer();
    return copied + got;
  }

  u32 start = 0;
  if (bufferPosition_ == kBufferSize) {
    std::memmove(buffer_, buffer_ + kBufferSize - kKeepBack, kKeepBack);
    start = kKeepBack;
  }
  const u32 room = kBufferSize - start;
  const u32 got = std::min(Read(buffer_ + start, room), room);
  const u32 take = std::min(wanted, got);
  std::memcpy(out + copied, buffer_ + start, take);
  bufferedCount_ = got - take;
  bufferPosition_ = start + take;
  return copied + take;
}

void TStream::WriteU8(u8 value) { WriteBytes(&value, 1); }

void TStream::WriteBool(bool value) { WriteU8(value ? 1 : 0); }

void TStream::WriteU16(u16 value) {
  u8 bytes[2];
  ByteOrder::StoreLE(bytes, value);
  WriteBytes(bytes, sizeof(bytes));
}

void TStream::WriteU32(u32 value) {
  u8 bytes[4];
  ByteOrder::StoreLE(bytes, value);
  WriteBytes(bytes, sizeof(bytes));
}

void TStream::WriteU64(u64 value) {
  u8 bytes[8];
  ByteOrder::StoreLE(bytes, value);
  WriteBytes(bytes, sizeof(bytes));
}

void TStream::WriteFloat(f32 value) { WriteU32(std::bit_cast<u32>(value)); }

u32 TStream::WriteBytes(const void* data, u32 n) {
  DropReadAhead();
  if (n == 0) return 0;
  return Write(data, n);
}

void TStream::WriteU32Array(const u32* values, i32 count) {
  if (count < 1) return;
  // Chunks keep the virtual calls few without a count * 4 that could overflow.
  constexpr u32 kChunk = 256;
  u8 bytes[kChunk * 4];
  u32 left = u32(count);
  while (left != 0) {
    const u32 now = std::min(left, kChunk);
    for (u32 i = 0; i < now; ++i) ByteOrder::StoreLE(bytes + 4 * i, values[i]);
    WriteBytes(bytes, now * 4);
    values += now;
    left -= now;
  }
}

template <typename T>
bool TStream::ReadLittleEndian(T& out, T def) {
  u8 bytes[sizeof(T)];
  if (ReadFromBuffer(bytes, sizeof(T)) != sizeof(T)) {
    out = def;
    SetError(kErrorShortRead);
    return false;
  }
  out = ByteOrder::LoadLE<T>(bytes);
  return true;
}

bool TStream::ReadU8(u8& out, u8 def) { return ReadLittleEndian(out, def); }

bool TStream::ReadBool(bool& out, bool def) {
  u8 value = 0;
  if (!ReadLittleEndian<u8>(value, 0)) {
    out = def;
    return false;
  }
  out = value != 0;
  return true;
}

bool TStream::ReadU16(u16& out, u16 def) { return ReadLittleEndian(out, def); }

bool TStream::ReadU32(u32& out, u32 def) { return ReadLittleEndian(out, def); }

bool TStream::ReadI32(i32& out, i32 def) {
  u32 value = 0;
  const bool ok = ReadLittleEndian(value, static_cast<u32>(def));
  out = static_cast<i32>(value);
  return ok;
}

bool TStream::ReadU64(u64& out, u64 def) { return ReadLittleEndian(out, def); }

bool TStream::ReadFloat(f32& out, f32 def) {
  u32 bits = 0;
  const bool ok = ReadLittleEndian(bits, std::bit_cast<u32>(def));
  out = std::bit_cast<f32>(bits);
  return ok;
}

u32 TStream::ReadBytes(void* dst, u32 n) {
  if (n == 0) return 0;
  return ReadFromBuffer(dst, n);
}

void TStream::ReadU32Array(u32* out, i32 count) {
  for (i32 i = 0; i < count; ++i) ReadU32(out[i], 0);
}

void TStream::WritePString(const Qel::PString& text) {
  const u64 size = u64(text.Length()) + 1;
  if (text.IsEmpty() || size > kMaxStringLength) {
    if (!text.IsEmpty()) SetError(kErrorTooLong);
    WriteU32(0);
    return;
  }
  WriteU32(u32(size));
  WriteBytes(text.CStr(), u32(size));
}

void TStream::WriteString(const Qel::String& text) {
  const size_t size = text.Size();
  if (size > kMaxStringLength) {
    SetError(kErrorTooLong);
    WriteU32(0);
    return;
  }
  WriteU32(u32(size));
  if (size != 0) WriteBytes(text.CStr(), u32(size));
}

void TStream::Skip(u32 n) {
  if (n <= bufferedCount_) {
    bufferPosition_ += n;
    bufferedCount_ -= n;
    return;
  }
  Seek(i64(n), 1);
}

template <typename Assign>
bool TStream::ReadText(Assign assign) {
  u32 length = 0;
  if (!ReadU32(length, 0)) {
    assign(nullptr, 0);
    return false;
  }
  if (length == 0) {
    assign(nullptr, 0);
    return true;
  }
  if (length > kMaxStringLength) {
    Skip(length);
    SetError(kErrorTooLong);
    assign(nullptr, 0);
    return false;
  }
  char stack[kStackStringSize + 1];
  std::unique_ptr<char[]> heap;
  char* text = stack;
  if (length >= kStackStringSize) {
    heap = std::make_unique<char[]>(size_t(length) + 1);
    text = heap.get();
  }
  if (ReadFromBuffer(text, length) != length) {
    SetError(kErrorShortRead);
    assign(nullptr, 0);
    return false;
  }
  text[length] = '\0';
  assign(text, std::strlen(text));
  return true;
}

bool TStream::ReadPString(Qel::PString& out) {
  return ReadText([&out](const char* text, size_t length) {
    out = length ? Qel::PString(text, length) : Qel::PString();
  });
}

bool TStream::ReadString(Qel::String& out) {
  return ReadText([&out](const char* text, size_t length) {
    out = length ? Qel::String(text, length) : Qel::String();
  });
}

void TStream::WriteKUID(const KUID& kuid) { KUID::Write(kuid, *this); }

void TStream::ReadKUID(KUID& out) { out = KUID::Read(*this); }

void TStream::WriteU32At(u32 position, u32 value) {
  const u32 back = Tell();
  MoveTo(position);
  WriteU32(value);
  MoveTo(back);
}

u32 TStream::BeginBlock() {
  const u32 position = Tell();
  WriteU32(kBlockMarker);
  return position;
}

void TStream::EndBlock(u32 markerPosition) {
  const u64 current = Tell();
  const u64 dataStart = u64(markerPosition) + 4;
  WriteU32At(markerPosition, current >= dataStart ? u32(current - dataStart) : 0);
}
