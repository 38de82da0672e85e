// A stream over an engine file, owned or borrowed.
#pragma once

#include "core/stream.h"
#include "qel/types.h"

namespace Qel {
class File;
class PString;
}  // namespace Qel

class TFile : public TStream {
 public:
  TFile() = default;
  // Over an already opened engine file; a borrowed one is left open.
  TFile(Qel::File* file, bool owns);
  ~TFile() override;

  // The attached file; when none, an owned, unopened one is attached for the caller to open.
  Qel::File* GetFile();
  // Both close the current file first and return the engine's open result (0 = success).
  int Open(const char* path, u32 mode);
  int OpenInFolder(const Qel::PString& folder, const char* name, u32 mode);
  // Attaches an opened engine file, closing any file attached before.
  int Attach(Qel::File* file, bool owns);
  // Destroys an owned file; a borrowed one is left at the stream's logical position. Clears the
  // error.
  void Close();

  // Reopens the same path for writing (emptying the file) and clears the error.
  void Reset() override;
  u32 Tell() const override;
  bool IsOpen() const override;
  u32 Write(const void* data, u32 n) override;
  u32 Read(void* dst, u32 n) override;
  void Seek(i64 offset, u32 origin) override;
  bool IsEof() const override;

 private:
  Qel::File* file_ = nullptr;
  bool owns_ = false;
};
