#include "core/whole_file_writer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "qel/file_facts.h"

namespace {

// Names differ by process and, within one, by writer: two writers of one target never share a
// temporary file.
std::atomic<u32> g_temporaryCounter{0};

}  // namespace

WholeFileWriter::WholeFileWriter(const char* target) {
  if (target == nullptr || *target == 0) {
    openError_ = EINVAL;
    return;
  }
  target_ = Qel::File::Resolve(target);
  if (target_.IsEmpty()) {
    openError_ = ENOENT;
    return;
  }
  temporary_ = target_ + Qel::String::Format(".~%d-%u", int(getpid()), g_temporaryCounter++);
  openError_ = file_.Open(temporary_.CStr(), Qel::File::kModeCreate | Qel::File::kModeWrite);
  // The name as opened, after the engine's resolution, so that the removal meets the same file.
  // A relative name is kept too: joined to the working folder it may exceed PATH_MAX, and the
  // removal then takes it as it was opened.
  opened_ = openError_ == 0 ? temporary_ : Qel::String();
  temporary_ = openError_ == 0 ? file_.GetPathText() : Qel::String();
  error_ = openError_;
}

bool WholeFileWriter::Fail() {
  if (error_ == 0) error_ = errno;
  failed_ = true;
  return false;
}

bool WholeFileWriter::Write(const void* data, u64 size) {
  if (!file_.IsOpen()) failed_ = true;
  const u8* bytes = static_cast<const u8*>(data);
  while (!failed_ && size > 0) {
    const u32 step = static_cast<u32>(std::min<u64>(size, 1u << 30));
    errno = 0;
    if (file_.Write(bytes, step) != step) {
      // A short write that sets no errno is a full disk.
      if (errno == 0) errno = ENOSPC;
      Fail();
    }
    bytes += step;
    size -= step;
  }
  return !failed_;
}

bool WholeFileWriter::Commit() {
  if (!file_.IsOpen()) return false;
  bool ok = !failed_ && (::fsync(file_.GetHandle()) == 0 || Fail());
  // The engine's Close has no result. Closing a duplicate last makes the final close, where a
  // deferred write error would surface, one whose result is seen.
  const int last = ::dup(file_.GetHandle());
  if (last < 0 && ok) ok = Fail();
  file_.Close();
  if (last >= 0 && ::close(last) != 0 && ok) ok = Fail();
  if (ok && std::rename(temporary_.CStr(), target_.CStr()) != 0) ok = Fail();
  Qel::ForgetFileFacts();
  if (!ok) {
    Abandon();
    return false;
  }
  temporary_ = Qel::String();
  return true;
}

void WholeFileWriter::Abandon() {
  file_.Close();
  if (!temporary_.IsEmpty() && ::unlink(temporary_.CStr()) != 0 && errno == ENAMETOOLONG) {
    Qel::File::Unlink(opened_.CStr());
  }
  temporary_ = Qel::String();
  failed_ = true;
}

WriteResult WriteWholeFile(const char* target, std::initializer_list<WritePiece> pieces) {
  WholeFileWriter writer(target);
  if (!writer.IsOpen()) return WriteResult::kOpenFailed;
  for (const WritePiece& piece : pieces) {
    if (piece.size != 0 && !writer.Write(piece.data, piece.size)) break;
  }
  return writer.Commit() ? WriteResult::kWritten : WriteResult::kWriteFailed;
}
