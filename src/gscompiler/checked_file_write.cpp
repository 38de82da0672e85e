#include "gscompiler/checked_file_write.h"

#include <unistd.h>

#include "qel/file.h"
#include "qel/pstring.h"
#include "qel/string.h"

WriteResult WriteFileChecked(const Qel::PString& rootName, const char* path,
                             std::initializer_list<WritePiece> pieces) {
  Qel::File file;
  if (!path ||
      file.OpenInFolder(rootName, path, Qel::File::kModeWrite | Qel::File::kModeCreate) != 0) {
    return WriteResult::kOpenFailed;
  }
  bool ok = true;
  for (const WritePiece& piece : pieces) {
    if (piece.size != 0 && file.Write(piece.data, piece.size) != piece.size) {
      ok = false;
      break;
    }
  }
  // The engine's Close has no result. Closing a duplicate last makes the final close, where
  // deferred write errors surface, one whose result we see.
  const int last = ::dup(file.GetHandle());
  const Qel::String opened = file.GetPathText();
  file.Close();
  if (last < 0 || ::close(last) != 0) ok = false;
  if (ok) return WriteResult::kWritten;
  Qel::File::Unlink(opened.CStr());
  return WriteResult::kWriteFailed;
}
