// Disk faults under SQLite's default file-system layer, for the life of the object (make it before
// the databases open, end it after they close). While `full` is set, every write to a database or
// its log fails as with ENOSPC, and each page of a shared-memory file ("-shm") that SQLite maps is
// counted and refused, as such a file system cannot back it (touching it would raise SIGBUS).
// `FailNextSync` fails one sync as fdatasync does on a disk reporting an I/O error.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

class SqliteDiskFaults {
 public:
  SqliteDiskFaults() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "kestro-disk-faults";
    vfs_.szOsFile = int(sizeof(File)) + real_->szOsFile;
    vfs_.pAppData = this;
    vfs_.xOpen = Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~SqliteDiskFaults() {
    sqlite3_vfs_register(real_, 1);
    sqlite3_vfs_unregister(&vfs_);
  }
  SqliteDiskFaults(const SqliteDiskFaults&) = delete;
  SqliteDiskFaults& operator=(const SqliteDiskFaults&) = delete;

  std::atomic<bool> full{false};
  std::atomic<int> sharedPagesMapped{0};
  void FailNextSync() { syncFails_ = true; }
  // Fails, as an I/O error, the commit of the `nth` write transaction from now of the database
  // whose log's name ends in `log` (a write-ahead log synced at each commit): its `nth` sync that
  // follows written frames rather than the log's header.
  void FailCommit(const char* log, int nth) {
    commitLog_ = log;
    commitsLeft_ = nth;
  }
  // Fails, as EIO does, the `nth` write from now to the file whose name ends in `name`.
  void FailWrite(const char* name, int nth) {
    writeFile_ = name;
    writesLeft_ = nth;
  }
  // Ends the process, as SIGKILL would (exit code 137), at the next write to the log whose name
  // ends in `log`: nothing of that transaction reaches it.
  void DieAtWrite(const char* log) { dieLog_ = log; }

 private:
  using M = sqlite3_io_methods;
  // The real file follows ours in the space SQLite gives; what is not faulted passes to it.
  struct File {
    sqlite3_file base;
    SqliteDiskFaults* owner;
    const char* name;
    bool headerWritten;
  };
  static File* Of(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
  static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<sqlite3_file*>(Of(f) + 1); }
  static SqliteDiskFaults& Owner(sqlite3_file* f) { return *Of(f)->owner; }
  template <auto Method, class... Args>
  static int Pass(sqlite3_file* f, Args... args) {
    return (Real(f)->pMethods->*Method)(Real(f), args...);
  }
  static void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }

  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out) {
    auto* self = Of(f)->owner = static_cast<SqliteDiskFaults*>(vfs->pAppData);
    Of(f)->name = name;
    Of(f)->headerWritten = false;
    const int rc = self->real_->xOpen(self->real_, name, Real(f), flags, out);
    f->pMethods = Real(f)->pMethods != nullptr ? &kMethods : nullptr;
    return rc;
  }
  static int Write(sqlite3_file* f, const void* b, int n, sqlite3_int64 at) {
    if (EndsWith(f, Owner(f).dieLog_)) ::_exit(137);
    Of(f)->headerWritten = at == 0;
    if (EndsWith(f, Owner(f).writeFile_) && Owner(f).writesLeft_ > 0 &&
        --Owner(f).writesLeft_ == 0) {
      return SQLITE_IOERR_WRITE;
    }
    return Owner(f).full ? SQLITE_FULL : Pass<&M::xWrite>(f, b, n, at);
  }
  static bool EndsWith(sqlite3_file* f, const char* log) {
    const std::string_view name = Of(f)->name != nullptr ? Of(f)->name : "";
    return log != nullptr && name.ends_with(log);
  }
  static bool IsCommitLog(sqlite3_file* f) {
    return EndsWith(f, Owner(f).commitLog_) && !Of(f)->headerWritten;
  }
  static int Sync(sqlite3_file* f, int flags) {
    if (IsCommitLog(f) && Owner(f).commitsLeft_ > 0 && --Owner(f).commitsLeft_ == 0) {
      return SQLITE_IOERR_FSYNC;
    }
    return Owner(f).syncFails_.exchange(false) ? SQLITE_IOERR_FSYNC : Pass<&M::xSync>(f, flags);
  }
  static int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    if (!Owner(f).full) return Pass<&M::xShmMap>(f, page, size, extend, out);
    ++Owner(f).sharedPagesMapped;
    return SQLITE_IOERR_SHMMAP;
  }
  // clang-format off
  static constexpr M kMethods = {
      3, Pass<&M::xClose>, Pass<&M::xRead>, Write, Pass<&M::xTruncate>, Sync, Pass<&M::xFileSize>,
      Pass<&M::xLock>, Pass<&M::xUnlock>, Pass<&M::xCheckReservedLock>, Pass<&M::xFileControl>,
      Pass<&M::xSectorSize>, Pass<&M::xDeviceCharacteristics>, ShmMap, Pass<&M::xShmLock>,
      ShmBarrier, Pass<&M::xShmUnmap>, Pass<&M::xFetch>, Pass<&M::xUnfetch>};
  // clang-format on

  std::atomic<bool> syncFails_{false};
  std::atomic<const char*> commitLog_{nullptr};
  std::atomic<int> commitsLeft_{0};
  std::atomic<const char*> dieLog_{nullptr};
  std::atomic<const char*> writeFile_{nullptr};
  std::atomic<int> writesLeft_{0};
  sqlite3_vfs* real_;
  sqlite3_vfs vfs_;
};
