// A SQLite VFS that wraps the default one and fails on command, so tests can run a
// database layer's writes with the nth write, sync or truncate of any database file
// failing (n = 1, 2, ... until they complete), or every one from the nth on, which is
// what the files see when the process dies there. It is the default VFS for its
// lifetime, so every connection opened meanwhile goes through it. One at a time.
#ifndef DEMBASE_TESTS_SUPPORT_SQLITE_FAULT_VFS_H_
#define DEMBASE_TESTS_SUPPORT_SQLITE_FAULT_VFS_H_

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace dembase::testing {

class SqliteFaultVfs {
 public:
  SqliteFaultVfs() : base_(sqlite3_vfs_find(nullptr)) {
    vfs_.iVersion = std::min(base_->iVersion, 2);
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
    vfs_.mxPathname = base_->mxPathname;
    vfs_.zName = "dembase-test-fault";
    vfs_.pAppData = this;
    vfs_.xOpen = &Open;
    vfs_.xDelete = [](sqlite3_vfs* v, const char* n, int s) { return Base(v)->xDelete(Base(v), n, s); };
    vfs_.xAccess = [](sqlite3_vfs* v, const char* n, int f, int* o) { return Base(v)->xAccess(Base(v), n, f, o); };
    vfs_.xFullPathname = [](sqlite3_vfs* v, const char* n, int k, char* o) {
      return Base(v)->xFullPathname(Base(v), n, k, o);
    };
    vfs_.xDlOpen = [](sqlite3_vfs* v, const char* n) { return Base(v)->xDlOpen(Base(v), n); };
    vfs_.xDlError = [](sqlite3_vfs* v, int k, char* o) { Base(v)->xDlError(Base(v), k, o); };
    vfs_.xDlSym = [](sqlite3_vfs* v, void* h, const char* s) { return Base(v)->xDlSym(Base(v), h, s); };
    vfs_.xDlClose = [](sqlite3_vfs* v, void* h) { Base(v)->xDlClose(Base(v), h); };
    vfs_.xRandomness = [](sqlite3_vfs* v, int k, char* o) { return Base(v)->xRandomness(Base(v), k, o); };
    vfs_.xSleep = [](sqlite3_vfs* v, int us) { return Base(v)->xSleep(Base(v), us); };
    vfs_.xCurrentTime = [](sqlite3_vfs* v, double* t) { return Base(v)->xCurrentTime(Base(v), t); };
    vfs_.xGetLastError = [](sqlite3_vfs* v, int k, char* o) { return Base(v)->xGetLastError(Base(v), k, o); };
    vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* t) {
      return Base(v)->xCurrentTimeInt64(Base(v), t);
    };
    ok_ = sqlite3_vfs_register(&vfs_, 1) == SQLITE_OK;
  }
  ~SqliteFaultVfs() {
    (void)sqlite3_vfs_register(base_, 1);
    (void)sqlite3_vfs_unregister(&vfs_);
  }
  SqliteFaultVfs(const SqliteFaultVfs&) = delete;
  SqliteFaultVfs& operator=(const SqliteFaultVfs&) = delete;

  bool registered() const { return ok_; }
  // As FaultEnv::FailOperation: n = 0 disables.
  void FailOperation(int64_t n, bool persistent = false) {
    failAt_ = n;
    persistent_ = persistent;
    count_ = 0;
    fired_ = false;
  }
  bool fault_fired() const { return fired_; }

 private:
  struct File {
    sqlite3_file base;
    SqliteFaultVfs* owner;
    sqlite3_file* real;  // the wrapped file, in the bytes right after this struct
  };

  static sqlite3_vfs* Base(sqlite3_vfs* v) { return static_cast<SqliteFaultVfs*>(v->pAppData)->base_; }
  static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
  static bool Fail(sqlite3_file* f) { return reinterpret_cast<File*>(f)->owner->ShouldFail(); }

  bool ShouldFail() {
    const int64_t n = ++count_;
    const bool fail = failAt_ > 0 && (n == failAt_ || (n > failAt_ && persistent_));
    if (fail) fired_ = true;
    return fail;
  }

  static int Open(sqlite3_vfs* v, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* f = reinterpret_cast<File*>(file);
    f->owner = static_cast<SqliteFaultVfs*>(v->pAppData);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->real->pMethods = nullptr;
    const int rc = Base(v)->xOpen(Base(v), name, f->real, flags, outFlags);
    f->base.pMethods = f->real->pMethods == nullptr ? nullptr : MethodsFor(f->real->pMethods->iVersion);
    return rc;
  }

  static sqlite3_io_methods Methods(int version) {
    sqlite3_io_methods m{};
    m.iVersion = version;
    m.xClose = [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); };
    m.xRead = [](sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); };
    m.xWrite = [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
      return Fail(f) ? SQLITE_IOERR_WRITE : Real(f)->pMethods->xWrite(Real(f), p, n, o);
    };
    m.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
      return Fail(f) ? SQLITE_IOERR_TRUNCATE : Real(f)->pMethods->xTruncate(Real(f), size);
    };
    m.xSync = [](sqlite3_file* f, int flags) {
      return Fail(f) ? SQLITE_IOERR_FSYNC : Real(f)->pMethods->xSync(Real(f), flags);
    };
    m.xFileSize = [](sqlite3_file* f, sqlite3_int64* s) { return Real(f)->pMethods->xFileSize(Real(f), s); };
    m.xLock = [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); };
    m.xUnlock = [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); };
    m.xCheckReservedLock = [](sqlite3_file* f, int* o) { return Real(f)->pMethods->xCheckReservedLock(Real(f), o); };
    m.xFileControl = [](sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); };
    m.xSectorSize = [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); };
    m.xDeviceCharacteristics = [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); };
    if (version >= 2) {
      m.xShmMap = [](sqlite3_file* f, int r, int s, int e, void volatile** p) {
        return Real(f)->pMethods->xShmMap(Real(f), r, s, e, p);
      };
      m.xShmLock = [](sqlite3_file* f, int o, int n, int fl) { return Real(f)->pMethods->xShmLock(Real(f), o, n, fl); };
      m.xShmBarrier = [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); };
      m.xShmUnmap = [](sqlite3_file* f, int d) { return Real(f)->pMethods->xShmUnmap(Real(f), d); };
    }
    if (version >= 3) {
      m.xFetch = [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); };
      m.xUnfetch = [](sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); };
    }
    return m;
  }
  // The wrapper offers what the wrapped file offers (shared memory for WAL, mapping).
  static const sqlite3_io_methods* MethodsFor(int version) {
    static const sqlite3_io_methods kMethods[3] = {Methods(1), Methods(2), Methods(3)};
    return &kMethods[std::clamp(version, 1, 3) - 1];
  }

  sqlite3_vfs* const base_;
  sqlite3_vfs vfs_{};
  bool ok_ = false;
  std::atomic<int64_t> count_{0};
  std::atomic<int64_t> failAt_{0};
  std::atomic<bool> persistent_{false};
  std::atomic<bool> fired_{false};
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_SQLITE_FAULT_VFS_H_
