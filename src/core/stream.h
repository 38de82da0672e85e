// The byte stream every reader and writer goes through, with a 4096-byte read-ahead buffer, a
// sticky error code and the typed helpers (little-endian integers, floats, strings, KUIDs and
// patchable block markers).
//
// The read buffer serves reading only. Its invariant: the logical position (Tell) is the
// underlying position minus the buffered count, and the bytes before the buffer position mirror
// the bytes just before the logical position, so short moves backwards stay inside the buffer.
#pragma once

#include "qel/types.h"

namespace Qel {
class PString;
class String;
}  // namespace Qel

struct KUID;
class TSubFile;

class TStream {
 public:
  static constexpr u32 kBufferSize = 4096;
  // Bytes of history kept at the front of the buffer when it is refilled after being consumed.
  static constexpr u32 kKeepBack = 16;
  // Reads of at least this many bytes bypass the buffer.
  static constexpr u32 kDirectReadSize = kBufferSize - kKeepBack;
  static constexpr u32 kMaxStringLength = 65535;
  static constexpr u32 kBlockMarker = 0xFEEDCEEB;

  enum : u32 {
    kErrorNone = 0,
    kErrorIo = 1,         // input/output failure, or an operation on a stream without a target
    kErrorTooLong = 3,    // string too long, or a memory-buffer write that failed
    kErrorShortRead = 4,  // a fixed-size value could not be read completely
  };

  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  virtual void Reset() = 0;
  // The logical position.
  virtual u32 Tell() const = 0;
  virtual bool IsOpen() const = 0;
  // Leaves the logical position where it was.
  virtual u32 GetLength();
  // Raw, unbuffered transfer at the logical position (any read-ahead is dropped first).
  virtual u32 Write(const void* data, u32 n) = 0;
  virtual u32 Read(void* dst, u32 n) = 0;
  // origin 0 from the start, 1 from the logical position, 2 from the end. Empties the read
  // buffer. Another origin sets kErrorIo and moves nothing.
  virtual void Seek(i64 offset, u32 origin) = 0;
  virtual bool IsEof() const = 0;

  u32 GetError() const { return error_; }
  // Stores code only while no error is recorded: the first error sticks.
  void SetError(u32 code) {
    if (error_ == kErrorNone) error_ = code;
  }

  // Reads through the read buffer; returns the count read.
  u32 ReadBuffered(void* dst, u32 n);

  void WriteU8(u8 value);
  void WriteBool(bool value);
  void WriteU16(u16 value);
  void WriteU32(u32 value);
  void WriteI32(i32 value) { WriteU32(static_cast<u32>(value)); }
  void WriteU64(u64 value);
  void WriteFloat(f32 value);
  u32 WriteBytes(const void* data, u32 n);
  void WriteU32Array(const u32* values, i32 count);

  // A short read stores def in out, sets kErrorShortRead and returns false.
  bool ReadU8(u8& out, u8 def = 0);
  bool ReadBool(bool& out, bool def = false);
  bool ReadU16(u16& out, u16 def = 0);
  bool ReadU32(u32& out, u32 def = 0);
  bool ReadI32(i32& out, i32 def = 0);
  bool ReadU64(u64& out, u64 def = 0);
  bool ReadFloat(f32& out, f32 def = 0.0f);
  u32 ReadBytes(void* dst, u32 n);
  // Each short value stores 0.
  void ReadU32Array(u32* out, i32 count);

  // u32 (length + 1), the characters and a zero byte; the empty string is u32 0 alone. A text
  // too long for the limit is also written as u32 0 alone, with kErrorTooLong.
  void WritePString(const Qel::PString& text);
  // u32 length, then the characters without a zero byte; too long: u32 0 and kErrorTooLong.
  void WriteString(const Qel::String& text);
  // Both read either form: the text ends at the first zero byte. A length above the limit gives
  // the empty string, skips the bytes and sets kErrorTooLong; a short read sets kErrorShortRead.
  bool ReadPString(Qel::PString& out);
  bool ReadString(Qel::String& out);

  void WriteKUID(const KUID& kuid);
  void ReadKUID(KUID& out);

  // Writes value at position and comes back to the current position.
  void WriteU32At(u32 position, u32 value);
  // Writes the placeholder word at the current position and returns that position.
  u32 BeginBlock();
  // Patches the placeholder at markerPosition with the size of the bytes written after it.
  void EndBlock(u32 markerPosition);
  void Rewind() { MoveTo(0); }

 protected:
  u32 BufferedCount() const { return bufferedCount_; }
  void ClearError() { error_ = kErrorNone; }
  // Forgets the read buffer's contents without moving the underlying position.
  void EmptyReadBuffer() {
    bufferedCount_ = 0;
    bufferPosition_ = 0;
  }
  // Moves the underlying position back to the logical one and empties the read buffer. Every
  // raw transfer starts with it, so the buffer never holds bytes the transfer has made stale.
  void DropReadAhead();
  // Moves to an absolute logical position, inside the read buffer when it holds the target.
  void MoveTo(u32 position);

 private:
  friend class TSubFile;

  // Fast path of every read helper: served from the buffer without a virtual call.
  u32 ReadFromBuffer(void* dst, u32 n);
  template <typename T>
  bool ReadLittleEndian(T& out, T def);
  // Skips n bytes of the logical stream.
  void Skip(u32 n);
  // Reads the length word and the bytes of either string form into text; false on failure.
  template <typename Assign>
  bool ReadText(Assign assign);

  u32 bufferedCount_ = 0;
  u32 bufferPosition_ = 0;
  u8 buffer_[kBufferSize];
  u32 error_ = kErrorNone;
};
