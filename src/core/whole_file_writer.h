// A file replaced whole or not at all. The new content goes to a temporary file beside the
// target, and only a complete, synced file is renamed over it: a reader, a crash part way or a
// full disk finds the old file or the whole new one, never a mixture. Every failure, and a writer
// dropped without Commit, removes the temporary file and leaves the target as it was.
#pragma once

#include <initializer_list>

#include "qel/file.h"
#include "qel/string.h"
#include "qel/types.h"

class WholeFileWriter {
 public:
  // Opens a free temporary name in the folder of `target` (a path the engine resolves).
  explicit WholeFileWriter(const char* target);
  ~WholeFileWriter() { Abandon(); }
  WholeFileWriter(const WholeFileWriter&) = delete;
  WholeFileWriter& operator=(const WholeFileWriter&) = delete;

  bool IsOpen() const { return file_.IsOpen(); }
  // 0 while open or committed, else the errno of the failed open.
  int OpenError() const { return openError_; }
  // The errno of the first failure (open, write, sync, close or rename); 0 when none had one.
  int Error() const { return error_; }
  // The temporary file, for writers that stream into it or seek back to patch it.
  Qel::File& File() { return file_; }

  // Appends; false (and every later write ignored) once a write falls short.
  bool Write(const void* data, u64 size);
  // Syncs the temporary file and renames it over the target. False, with the temporary file
  // removed and the target untouched, after any failed write, sync, close or rename.
  bool Commit();
  // Closes and removes the temporary file; the target is untouched.
  void Abandon();

 private:
  // Notes errno as the reason unless an earlier failure gave one; always false.
  bool Fail();

  Qel::String target_;
  Qel::String temporary_;
  // The temporary file's name as given to the open, which may be relative.
  Qel::String opened_;
  Qel::File file_;
  int openError_ = 0;
  int error_ = 0;
  bool failed_ = false;
};

struct WritePiece {
  const void* data;
  u64 size;
};

enum class WriteResult { kWritten, kOpenFailed, kWriteFailed };

// Writes the pieces in order as the whole new content of `target` (see WholeFileWriter).
WriteResult WriteWholeFile(const char* target, std::initializer_list<WritePiece> pieces);
