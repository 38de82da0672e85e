#include "core/file_stream.h"

#include <algorithm>
#include <limits>

#include "qel/file.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace {

constexpr u32 kResetMode = Qel::File::kModeCreate | Qel::File::kModeWrite;

}  // namespace

TFile::TFile(Qel::File* file, bool owns) : file_(file), owns_(file != nullptr && owns) {}

TFile::~TFile() { Close(); }

Qel::File* TFile::GetFile() {
  if (file_ == nullptr) {
    file_ = new Qel::File;
    owns_ = true;
    EmptyReadBuffer();
  }
  return file_;
}

int TFile::Open(const char* path, u32 mode) {
  Close();
  GetFile();
  return file_->Open(path, mode, 0);
}

int TFile::OpenInFolder(const Qel::PString& folder, const char* name, u32 mode) {
  Close();
  GetFile();
  return file_->OpenInFolder(folder, name, mode, 0);
}

int TFile::Attach(Qel::File* file, bool owns) {
  // Replacing a file without closing it would leak an owned one.
  if (file_ != nullptr) Close();
  file_ = file;
  owns_ = file != nullptr && owns;
  EmptyReadBuffer();
  return 0;
}

void TFile::Close() {
  if (file_ != nullptr) {
    if (owns_) {
      delete file_;
    } else if (BufferedCount() != 0 && file_->IsOpen()) {
      file_->Seek(-i64(BufferedCount()), 1);
    }
  }
  file_ = nullptr;
  owns_ = false;
  EmptyReadBuffer();
  ClearError();
}

void TFile::Reset() {
  if (!IsOpen()) return;
  const Qel::String path = file_->GetPathText();
  const u32 extra = file_->GetExtra();
  file_->Close();
  EmptyReadBuffer();
  ClearError();
  if (file_->Open(path.CStr(), kResetMode, extra) != 0) SetError(kErrorIo);
}

u32 TFile::Tell() const {
  if (file_ == nullptr) return 0;
  const u64 position = file_->GetPosition();
  const u64 logical = position > BufferedCount() ? position - BufferedCount() : 0;
  return u32(std::min<u64>(logical, std::numeric_limits<u32>::max()));
}

bool TFile::IsOpen() const { return file_ != nullptr && file_->GetHandle() != -1; }

u32 TFile::Write(const void* data, u32 n) {
  if (!IsOpen()) {
    SetError(kErrorIo);
    return 0;
  }
  DropReadAhead();
  const u32 written = std::min(file_->Write(data, n), n);
  if (written < n) SetError(kErrorIo);
  return written;
}

u32 TFile::Read(void* dst, u32 n) {
  if (!IsOpen()) {
    SetError(kErrorIo);
    return 0;
  }
  DropReadAhead();
  const u32 got = std::min(file_->Read(dst, n), n);
  // Reaching the end is not a failure: the read-ahead asks for more than is left, and a helper
  // that gets too few bytes reports its own short read.
  if (got < n && !file_->IsEof()) SetError(kErrorIo);
  return got;
}

void TFile::Seek(i64 offset, u32 origin) {
  if (!IsOpen() || origin > 2) {
    SetError(kErrorIo);
    return;
  }
  if (origin == 1) offset -= BufferedCount();
  if (!file_->Seek(offset, int(origin))) SetError(kErrorIo);
  EmptyReadBuffer();
}

bool TFile::IsEof() const {
  if (file_ == nullptr) return true;
  if (BufferedCount() != 0) return false;
  return file_->IsEof();
}
