// The engine's file service: open files, path resolution, substitutions and folder operations.
//
// Paths use '/' and a '\' in a given path reads as '/'. Every path-taking operation first applies
// the substitutions (a path whose first components equal a registered name, compared without
// regard to case, continues in the name's target) and then resolves each component without
// regard to case when the exact name does not exist, so names that the program lower-cases still
// find their files. A missing tail keeps the case it is given, and so do new files and folders.
// A drive form ("X:\...") names nothing here: opens and tests on it fail.
#pragma once

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class File {
 public:
  // Open mode bits. A mode needs a read or a write bit; 0x100 implies writing.
  enum : u32 {
    kModeWrite = 0x1,          // write; the file must exist unless kModeCreate is given
    kModeRead = 0x10,          // read
    kModeReadShared = 0x20,    // read, sharing with other readers (the same as kModeRead here)
    kModeCreate = 0x100,       // create the file, or truncate an existing one
    kModeMakeFolders = 0x200,  // with kModeCreate: create missing parent folders first
    // A read takes a pipe or a device too (and its open may wait for a writer); without it, a
    // read opens only a regular file and anything else fails with ENXIO at once.
    kModeAnyKind = 0x400
  };

  class Path;
  class Find;
  class Names;

  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // 0 on success, else an errno code (EINVAL for a bad mode, ENOENT for a drive form, EISDIR for
  // a folder, ENXIO for a read of what is no regular file without kModeAnyKind). An open file is
  // closed first; a failed open leaves the file closed.
  int Open(const char* path, u32 mode, u32 extra = 0);
  // Opens name inside folder: a substitution name (a volume, a named folder) or a folder path;
  // an empty folder leaves name relative to the working folder.
  int OpenInFolder(const PString& folder, const char* name, u32 mode, u32 extra = 0);
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  // The system handle, -1 when not open.
  int GetHandle() const { return fd_; }
  // The absolute path that was opened, after substitution and case resolution, so that the same
  // file can be opened again after the working folder changed.
  const String& GetPathText() const { return path_; }
  u32 GetExtra() const { return extra_; }
  u32 GetMode() const { return mode_; }

  // Counts moved; short only at the end of the file or on an error. 0 when not open.
  u32 Read(void* dst, u32 n);
  u32 Write(const void* src, u32 n);
  // origin: 0 start, 1 current, 2 end. False when not open, for a bad origin or a position
  // before the start.
  bool Seek(i64 offset, int origin);
  u64 GetPosition() const;
  u64 GetLength() const;
  // True when not open or when the position is at or past the length.
  bool IsEof() const;
  // Reads one line and keeps its line end ("\n" or "\r\n"); the last line may have none. False,
  // with out empty, at the end of the file.
  bool ReadLine(String& out);

  static bool Exists(const char* path);
  // What tells whether an entry changed: its identity, size and modification and change times
  // (nanoseconds since 1970). A link is stamped as its target.
  struct Stamp {
    u64 device = 0;
    u64 inode = 0;
    u64 size = 0;
    i64 modified = 0;
    i64 changed = 0;
    bool operator==(const Stamp&) const = default;
    // True when the entry last changed more than `seconds` before now: a change within the same
    // tick of the file system's clock would leave a younger entry's times as they were.
    bool IsSettled(i64 seconds) const;
  };
  // The stamp of the path exactly as written (no substitution, no case resolution); false when
  // it names nothing. A folder's times change when an entry in it is added, removed or renamed.
  static bool GetStamp(const char* path, Stamp* out);
  // Follows a symbolic link given as the path itself.
  static bool IsFolder(const char* path);
  // The real path of an existing entry (resolved, every link followed); empty when it has none.
  static String RealPath(const char* path);
  // True when path exists and its real path lies strictly below realFolder (itself a real path):
  // what a name given inside a folder may reach, so that a link cannot lead it out.
  static bool IsBelowRealFolder(const String& realFolder, const char* path);
  // Refuses to replace an existing destination; a change of letter case alone is allowed.
  static bool Rename(const char* from, const char* to);
  // Removes a file or a symbolic link, never a folder.
  static bool Unlink(const char* path);
  // Creates the folder and its missing parents; true when the folder exists afterwards.
  static bool MakeTree(const char* path);
  // Removes a folder tree without following symbolic links: a link is removed, its target is left
  // alone. A path that is itself a link is removed; a plain file is refused (false).
  static bool Prune(const char* path);

  static String GetCwd();
  static bool SetCwd(const char* path);

  // Registers name for target (a folder, or an archive file when isFolder is false); a null or
  // empty target removes it. Names compare without regard to case and may hold separators.
  static void Subst(const PString& name, const char* target, bool isFolder = true);
  // The target and kind of a registered name; false when the name is not registered.
  static bool LookupSubst(const PString& name, String* target, bool* isFolder);
  // Applies the substitutions only ('\' read as '/').
  static String ResolveSubst(const char* path);
  // Substitutions, then case-insensitive resolution of every component (see above).
  static String Resolve(const char* path);
  // The path of name inside folder, in the form OpenInFolder uses (folder + "/" + name).
  static String InFolder(const PString& folder, const char* name);

 private:
  int fd_ = -1;
  u32 mode_ = 0;
  u32 extra_ = 0;
  bool atEnd_ = false;  // a read met the end (for handles without a position)
  String path_;
};

}  // namespace Qel

#include "qel/file_find.h"  // IWYU pragma: export
#include "qel/file_path.h"  // IWYU pragma: export
