// GameScript source files: plain ".gs" text and packed ".gse" files.
//
// ".gse" layout (little-endian):
//   0  u32 format word (1)
//   4  u32 0
//   8  u32 n, the number of packed bytes
//  12  u32 0
//  16  n packed bytes
// Each packed byte i is XORed with kKey[i % 32]. Unscrambled, the packed bytes are a u32 text
// length L followed by the LZSS stream of the text (qel/lzss.h).
#pragma once

#include <memory>

#include "qel/file.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class CompileEnvironment;

class GSSourceFile {
 public:
  static constexpr u32 kMaxTextLength = 0x4000000;    // plain files and unpacked texts
  static constexpr u32 kMaxPackedLength = 0x2000000;  // packed bodies of ".gse" files
  static constexpr u32 kHeaderSize = 16;
  static constexpr u32 kKeySize = 32;
  static const u8 kKey[kKeySize];

  // Takes its prefix from the environment of the thread that loads it.
  GSSourceFile();
  // Takes its prefix from `environment`, that of the compile the source belongs to.
  explicit GSSourceFile(CompileEnvironment& environment);
  ~GSSourceFile();
  GSSourceFile(const GSSourceFile&) = delete;
  GSSourceFile& operator=(const GSSourceFile&) = delete;

  // Frees the data, zeroes the flags, lengths and format word and empties both paths.
  void Clear();
  // Clear, then the format word of a new object.
  void Reset();

  // Reads path, inside rootName when that is set (null or empty: the plain file system). ".gs"
  // is read as text with normalised line ends, ".gse" as packed data (see Unpack). False for a
  // missing or unreadable file, a size beyond the limits, or another extension.
  bool Load(const char* rootName, const char* path);
  // Writes by the target's extension: ".gse" packed, ".gs" plain; false for any other extension
  // or when the file cannot be written completely (no partial file is left).
  bool Save(const char* rootName, const char* path);

  // True when not packed or when the packed data turns back into text. Any failure leaves the
  // object cleared.
  bool Unpack();
  // Compresses and scrambles the text in place; a no-op when already packed. False, with the
  // text unchanged, for an empty text or when the result could not be read back.
  bool Pack();

  // The text (unpacking first); null when unpacking fails. NUL-terminated for convenience.
  const char* GetText();
  // The number of text bytes (unpacking first); 0 when unpacking fails.
  u32 GetTextLength();

  bool IsPacked() const { return packed_; }
  u32 GetFormat() const { return format_; }
  u32 GetPrefixLength() const { return prefixLength_; }
  const u8* GetData() const { return data_.get(); }
  u32 GetDataLength() const { return dataLength_; }
  const Qel::File::Path& GetSourcePath() const { return sourcePath_; }
  const Qel::File::Path& GetTargetPath() const { return targetPath_; }

  // The calling thread's text that the next load (or unpack) there puts before its text, then
  // forgets.
  static void SetPendingPrefix(const Qel::PString& prefix);
  static const Qel::PString& GetPendingPrefix();

 private:
  bool ReadPlain();
  bool ReadPacked();
  bool SavePacked();
  bool SavePlain();
  bool WriteTarget(const void* header, u32 headerSize, const void* body, u32 bodySize);
  CompileEnvironment& Environment() const;
  // Takes the pending prefix into the first prefixLength_ bytes of buffer.
  void TakePendingPrefix(u8* buffer);
  void NormaliseLineEnds();
  // Turns CR LF, LF CR, CR and LF in [begin, end) into LF, writing from out; returns the new end.
  static u32 NormaliseRange(u8* p, u32 begin, u32 end, u32 out);
  static void Scramble(u8* data, u32 length);

  CompileEnvironment* environment_ = nullptr;  // null: the loading thread's
  Qel::File::Path sourcePath_;
  Qel::File::Path targetPath_;
  Qel::String rootName_;
  std::unique_ptr<u8[]> data_;
  bool packed_ = false;
  u32 format_ = 1;
  u32 dataLength_ = 0;
  u32 textLength_ = 0;
  u32 prefixLength_ = 0;
};
