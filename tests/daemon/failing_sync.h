// Makes one sync of an SQLite file fail, as fdatasync does on a disk that reports an I/O error,
// and leaves the connection as usable as such a failure does. A VFS over the default one, made
// the default for the life of the object: make it before the databases open, end it after they
// close.
#pragma once

#include <sqlite3.h>

#include <atomic>

namespace daemon_test {

class FailingSync {
 public:
  FailingSync() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "failing-sync";
    vfs_.szOsFile = int(sizeof(File)) + real_->szOsFile;
    vfs_.pAppData = this;
    vfs_.xOpen = Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~FailingSync() { sqlite3_vfs_unregister(&vfs_); }
  FailingSync(const FailingSync&) = delete;
  FailingSync& operator=(const FailingSync&) = delete;

  // The next sync of any file fails, once.
  void FailNext() { armed_ = true; }

 private:
  // The real file follows ours in the space SQLite gives.
  struct File {
    sqlite3_file base;
    FailingSync* owner;
  };
  static sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<File*>(f) + 1);
  }

  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out) {
    auto* self = static_cast<FailingSync*>(vfs->pAppData);
    reinterpret_cast<File*>(f)->owner = self;
    const int rc = self->real_->xOpen(self->real_, name, Real(f), flags, out);
    f->pMethods = Real(f)->pMethods != nullptr ? &kMethods : nullptr;
    return rc;
  }
  static int Sync(sqlite3_file* f, int flags) {
    if (reinterpret_cast<File*>(f)->owner->armed_.exchange(false)) return SQLITE_IOERR_FSYNC;
    return Real(f)->pMethods->xSync(Real(f), flags);
  }

  // Every other method passes to the real file.
  template <auto Member, class... Args>
  static int Pass(sqlite3_file* f, Args... args) {
    return (Real(f)->pMethods->*Member)(Real(f), args...);
  }
  static void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }

  static constexpr sqlite3_io_methods kMethods = {
      3,
      Pass<&sqlite3_io_methods::xClose>,
      Pass<&sqlite3_io_methods::xRead, void*, int, sqlite3_int64>,
      Pass<&sqlite3_io_methods::xWrite, const void*, int, sqlite3_int64>,
      Pass<&sqlite3_io_methods::xTruncate, sqlite3_int64>,
      Sync,
      Pass<&sqlite3_io_methods::xFileSize, sqlite3_int64*>,
      Pass<&sqlite3_io_methods::xLock, int>,
      Pass<&sqlite3_io_methods::xUnlock, int>,
      Pass<&sqlite3_io_methods::xCheckReservedLock, int*>,
      Pass<&sqlite3_io_methods::xFileControl, int, void*>,
      Pass<&sqlite3_io_methods::xSectorSize>,
      Pass<&sqlite3_io_methods::xDeviceCharacteristics>,
      Pass<&sqlite3_io_methods::xShmMap, int, int, int, void volatile**>,
      Pass<&sqlite3_io_methods::xShmLock, int, int, int>,
      ShmBarrier,
      Pass<&sqlite3_io_methods::xShmUnmap, int>,
      Pass<&sqlite3_io_methods::xFetch, sqlite3_int64, int, void**>,
      Pass<&sqlite3_io_methods::xUnfetch, sqlite3_int64, void*>,
  };

  sqlite3_vfs* real_;
  sqlite3_vfs vfs_;
  std::atomic<bool> armed_{false};
};

}  // namespace daemon_test
