// The QIRF container on the writing side: "QIRF", a u32 length of everything after the length
// field, a four-byte body tag, then the body. Mesh writers frame their chunks themselves; the
// texture writer lets a QIRFWriteHeader frame its body.
#pragma once

#include "qel/file.h"
#include "qel/types.h"

namespace Qel {

inline constexpr char kQIRFMagic[5] = "QIRF";

// A file opened for writing a QIRF container.
class QIRFFile {
 public:
  QIRFFile() = default;
  QIRFFile(const QIRFFile&) = delete;
  QIRFFile& operator=(const QIRFFile&) = delete;

  // Creates or truncates the file (and its folders); 0 or an errno code.
  int Open(const char* path) {
    return file_.Open(path, File::kModeCreate | File::kModeMakeFolders);
  }
  void Close() { file_.Close(); }
  bool IsOpen() const { return file_.IsOpen(); }
  File& GetFile() { return file_; }

 private:
  File file_;
};

// Writes the magic, the length placeholder and the body tag at once and patches the length when
// Finish runs or the header object ends. The tag is a four-character constant with its first
// character most significant ('FTMM'), written least significant byte first ("MMTF").
class QIRFWriteHeader {
 public:
  QIRFWriteHeader(QIRFFile& file, u32 bodyTag);
  ~QIRFWriteHeader() { Finish(); }
  QIRFWriteHeader(const QIRFWriteHeader&) = delete;
  QIRFWriteHeader& operator=(const QIRFWriteHeader&) = delete;

  // Patches the length once; later calls repeat the first answer. False when any part of the
  // header could not be written.
  bool Finish();
  // The header was written in full (the length is patched only by Finish).
  bool IsOk() const { return ok_; }

 private:
  File& file_;
  u64 mark_;
  bool ok_ = false;
  bool finished_ = false;
};

}  // namespace Qel
