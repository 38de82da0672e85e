// Disk faults under SQLite, for the life of the object (make it before the databases open, end it
// after they close). While `full` is set, every write to a database file or its log fails as
// with ENOSPC, and each page of a shared-memory file ("-shm") that SQLite maps is counted and
// refused, since such a file system cannot back it (the process would die of SIGBUS touching
// it). `FailNextSync` makes one sync fail as fdatasync does on a disk that reports an I/O error,
// leaving the connection as usable as such a failure does. The default file-system layer of
// SQLite is wrapped; what is not faulted passes through unchanged.
#pragma once

#include <sqlite3.h>

#include <atomic>

class SqliteDiskFaults {
 public:
  SqliteDiskFaults() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "kestro-disk-faults";
    vfs_.szOsFile = sizeof(File);
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
  // The next sync of any file fails, once.
  void FailNextSync() { syncFails_ = true; }

 private:
  std::atomic<bool> syncFails_{false};
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    SqliteDiskFaults* owner;
  };
  static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
  static const sqlite3_io_methods* Of(sqlite3_file* f) { return Real(f)->pMethods; }
  static SqliteDiskFaults& Owner(sqlite3_file* f) { return *reinterpret_cast<File*>(f)->owner; }

  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                  int* outFlags) {
    auto* self = static_cast<SqliteDiskFaults*>(vfs->pAppData);
    File* f = reinterpret_cast<File*>(file);
    f->owner = self;
    f->real = static_cast<sqlite3_file*>(sqlite3_malloc(self->real_->szOsFile));
    f->real->pMethods = nullptr;
    const int rc = self->real_->xOpen(self->real_, name, f->real, flags, outFlags);
    // SQLite closes a file whose methods are set, even when its open failed.
    f->base.pMethods = f->real->pMethods != nullptr ? &kMethods : nullptr;
    if (f->base.pMethods == nullptr) sqlite3_free(f->real);
    return rc;
  }

  static constexpr sqlite3_io_methods kMethods = {
      3,
      [](sqlite3_file* f) {
        const int rc = Of(f)->xClose(Real(f));
        sqlite3_free(Real(f));
        return rc;
      },
      [](sqlite3_file* f, void* b, int n, sqlite3_int64 at) { return Of(f)->xRead(Real(f), b, n, at); },
      [](sqlite3_file* f, const void* b, int n, sqlite3_int64 at) {
        return Owner(f).full ? SQLITE_FULL : Of(f)->xWrite(Real(f), b, n, at);
      },
      [](sqlite3_file* f, sqlite3_int64 n) { return Of(f)->xTruncate(Real(f), n); },
      [](sqlite3_file* f, int flags) {
        if (Owner(f).syncFails_.exchange(false)) return SQLITE_IOERR_FSYNC;
        return Of(f)->xSync(Real(f), flags);
      },
      [](sqlite3_file* f, sqlite3_int64* n) { return Of(f)->xFileSize(Real(f), n); },
      [](sqlite3_file* f, int lock) { return Of(f)->xLock(Real(f), lock); },
      [](sqlite3_file* f, int lock) { return Of(f)->xUnlock(Real(f), lock); },
      [](sqlite3_file* f, int* out) { return Of(f)->xCheckReservedLock(Real(f), out); },
      [](sqlite3_file* f, int op, void* arg) { return Of(f)->xFileControl(Real(f), op, arg); },
      [](sqlite3_file* f) { return Of(f)->xSectorSize(Real(f)); },
      [](sqlite3_file* f) { return Of(f)->xDeviceCharacteristics(Real(f)); },
      [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
        if (Owner(f).full) {
          ++Owner(f).sharedPagesMapped;
          return SQLITE_IOERR_SHMMAP;
        }
        return Of(f)->xShmMap(Real(f), page, size, extend, out);
      },
      [](sqlite3_file* f, int at, int n, int flags) { return Of(f)->xShmLock(Real(f), at, n, flags); },
      [](sqlite3_file* f) { Of(f)->xShmBarrier(Real(f)); },
      [](sqlite3_file* f, int remove) { return Of(f)->xShmUnmap(Real(f), remove); },
      [](sqlite3_file* f, sqlite3_int64 at, int n, void** out) {
        return Of(f)->xFetch(Real(f), at, n, out);
      },
      [](sqlite3_file* f, sqlite3_int64 at, void* p) { return Of(f)->xUnfetch(Real(f), at, p); },
  };

  sqlite3_vfs* real_;
  sqlite3_vfs vfs_;
};
