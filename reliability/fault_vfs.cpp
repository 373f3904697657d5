// A fault-injecting SQLite VFS, loaded with LD_PRELOAD into the real programs.
//
// Its constructor wraps the process's default VFS and registers the wrapper
// as the new default, so every database the programs open with the default
// VFS (the index store passes none) goes through it, with no change to the
// programs. The wrapper forwards every call; it fails chosen writes or syncs
// as a full disk or a failing device would.
//
// Configuration, read once from the environment at load:
//   TROVIX_FAULT_OP       "write" or "sync": the operation that fails. Unset:
//                         the wrapper only forwards.
//   TROVIX_FAULT_NTH      the Nth counted call fails (1 = the first; default 1).
//   TROVIX_FAULT_MODE     "once" (only the Nth) or "persist" (the Nth and every
//                         later one; default).
//   TROVIX_FAULT_ERROR    "full" (SQLITE_FULL), "ioerr_write"
//                         (SQLITE_IOERR_WRITE) or "ioerr_fsync"
//                         (SQLITE_IOERR_FSYNC); default: full for writes,
//                         ioerr_fsync for syncs.
//   TROVIX_FAULT_SUFFIX   only files whose name ends with this ("-wal",
//                         ".mdb") count; unset: every file.
//   TROVIX_FAULT_CONTROL  a path: calls count and fail only while a file
//                         exists there, so a test ends the fault (or starts
//                         it) while the process runs.
//   TROVIX_FAULT_LOG      a path: one line is appended per injected fault, so
//                         a test can tell that its fault really happened.
//
// Invariants:
//  1. A failed call changes nothing on disk: the real method is not called.
//  2. The wrapper's file object is the real VFS's object with a header in
//     front; the real object is opened, used and closed only by the real VFS.
//  3. The counter is shared by every thread of the process (atomic); calls
//     made while the control file is absent are not counted.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum class Operation { kNone, kWrite, kSync };

struct Config {
  Operation operation = Operation::kNone;
  long nth = 1;
  bool persist = true;
  int error = SQLITE_FULL;
  std::string suffix;
  std::string control;
  std::string log;
};

// The constructor below may run before this library's own globals are
// initialised, and SQLite may write while the process's destructors run: the
// configuration is made on first use and never destroyed.
const Config& TheConfig();
std::atomic<long> g_counted{0};

struct FaultFile {
  sqlite3_file base;  // pMethods points at one of the tables below
  bool matches;       // the file's name ends with the configured suffix
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

int ErrorCode(const std::string& name, Operation operation) {
  if (name == "full") return SQLITE_FULL;
  if (name == "ioerr_write") return SQLITE_IOERR_WRITE;
  if (name == "ioerr_fsync") return SQLITE_IOERR_FSYNC;
  return operation == Operation::kSync ? SQLITE_IOERR_FSYNC : SQLITE_FULL;
}

Config ReadConfig() {
  Config config;
  const std::string operation = Env("TROVIX_FAULT_OP");
  if (operation == "write") config.operation = Operation::kWrite;
  if (operation == "sync") config.operation = Operation::kSync;
  const std::string nth = Env("TROVIX_FAULT_NTH");
  if (!nth.empty()) config.nth = std::strtol(nth.c_str(), nullptr, 10);
  if (config.nth < 1) config.nth = 1;
  config.persist = Env("TROVIX_FAULT_MODE") != "once";
  config.error = ErrorCode(Env("TROVIX_FAULT_ERROR"), config.operation);
  config.suffix = Env("TROVIX_FAULT_SUFFIX");
  config.control = Env("TROVIX_FAULT_CONTROL");
  config.log = Env("TROVIX_FAULT_LOG");
  return config;
}

const Config& TheConfig() {
  static const Config* config = new Config(ReadConfig());
  return *config;
}

bool EndsWith(const char* name, const std::string& suffix) {
  if (suffix.empty()) return true;
  if (name == nullptr) return false;
  const std::size_t length = std::strlen(name);
  return length >= suffix.size() &&
         suffix.compare(0, suffix.size(), name + length - suffix.size(), suffix.size()) == 0;
}

// One line per fault, written with a single append so that the lines of
// several processes sharing the log do not interleave.
void RecordFault(Operation operation, int error) {
  if (TheConfig().log.empty()) return;
  const int fd = open(TheConfig().log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char line[96];
  const int length =
      std::snprintf(line, sizeof line, "pid %d %s -> %d\n", static_cast<int>(getpid()),
                    operation == Operation::kWrite ? "write" : "sync", error);
  if (length > 0) static_cast<void>(write(fd, line, static_cast<std::size_t>(length)));
  close(fd);
}

// The error to inject for this call, or SQLITE_OK to forward it.
int Inject(const FaultFile* file, Operation operation) {
  if (TheConfig().operation != operation || !file->matches) return SQLITE_OK;
  struct stat st {};
  if (!TheConfig().control.empty() && stat(TheConfig().control.c_str(), &st) != 0) return SQLITE_OK;
  const long call = ++g_counted;
  if (call < TheConfig().nth || (call > TheConfig().nth && !TheConfig().persist)) return SQLITE_OK;
  RecordFault(operation, TheConfig().error);
  return TheConfig().error;
}

FaultFile* Wrapper(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file); }
sqlite3_file* Real(sqlite3_file* file) { return Wrapper(file)->real(); }
sqlite3_vfs* RealOf(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

int Close(sqlite3_file* file) { return Real(file)->pMethods->xClose(Real(file)); }
int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
}
int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (const int error = Inject(Wrapper(file), Operation::kWrite)) return error;
  return Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
}
int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  return Real(file)->pMethods->xTruncate(Real(file), size);
}
int Sync(sqlite3_file* file, int flags) {
  if (const int error = Inject(Wrapper(file), Operation::kSync)) return error;
  return Real(file)->pMethods->xSync(Real(file), flags);
}
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  return Real(file)->pMethods->xFileSize(Real(file), size);
}
int Lock(sqlite3_file* file, int level) { return Real(file)->pMethods->xLock(Real(file), level); }
int Unlock(sqlite3_file* file, int level) {
  return Real(file)->pMethods->xUnlock(Real(file), level);
}
int CheckReservedLock(sqlite3_file* file, int* out) {
  return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
}
int FileControl(sqlite3_file* file, int op, void* arg) {
  return Real(file)->pMethods->xFileControl(Real(file), op, arg);
}
int SectorSize(sqlite3_file* file) { return Real(file)->pMethods->xSectorSize(Real(file)); }
int DeviceCharacteristics(sqlite3_file* file) {
  return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}
int ShmMap(sqlite3_file* file, int page, int page_size, int extend, void volatile** out) {
  return Real(file)->pMethods->xShmMap(Real(file), page, page_size, extend, out);
}
int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
}
void ShmBarrier(sqlite3_file* file) { Real(file)->pMethods->xShmBarrier(Real(file)); }
int ShmUnmap(sqlite3_file* file, int delete_flag) {
  return Real(file)->pMethods->xShmUnmap(Real(file), delete_flag);
}
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return Real(file)->pMethods->xFetch(Real(file), offset, amount, out);
}
int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return Real(file)->pMethods->xUnfetch(Real(file), offset, page);
}

// One table per method version: the wrapper must not offer methods the real
// file lacks (SQLite tests iVersion before calling the newer ones).
constexpr sqlite3_io_methods MethodsOfVersion(int version) {
  return {version,
          Close,
          Read,
          Write,
          Truncate,
          Sync,
          FileSize,
          Lock,
          Unlock,
          CheckReservedLock,
          FileControl,
          SectorSize,
          DeviceCharacteristics,
          ShmMap,
          ShmLock,
          ShmBarrier,
          ShmUnmap,
          Fetch,
          Unfetch};
}
const sqlite3_io_methods kMethods[] = {MethodsOfVersion(1), MethodsOfVersion(2),
                                       MethodsOfVersion(3)};

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  FaultFile* wrapper = Wrapper(file);
  wrapper->base.pMethods = nullptr;
  wrapper->matches = EndsWith(name, TheConfig().suffix);
  sqlite3_vfs* real = RealOf(vfs);
  const int rc = real->xOpen(real, name, wrapper->real(), flags, out_flags);
  // SQLite calls xClose only when pMethods is set; it is set exactly when the
  // real file needs closing.
  const sqlite3_io_methods* methods = wrapper->real()->pMethods;
  if (methods != nullptr) {
    const int version = methods->iVersion < 1 ? 1 : (methods->iVersion > 3 ? 3 : methods->iVersion);
    wrapper->base.pMethods = &kMethods[version - 1];
  }
  return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int sync_dir) {
  return RealOf(vfs)->xDelete(RealOf(vfs), name, sync_dir);
}

int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return RealOf(vfs)->xAccess(RealOf(vfs), name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return RealOf(vfs)->xFullPathname(RealOf(vfs), name, size, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return RealOf(vfs)->xDlOpen(RealOf(vfs), name); }
void DlError(sqlite3_vfs* vfs, int size, char* out) {
  RealOf(vfs)->xDlError(RealOf(vfs), size, out);
}
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return RealOf(vfs)->xDlSym(RealOf(vfs), handle, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* handle) { RealOf(vfs)->xDlClose(RealOf(vfs), handle); }
int Randomness(sqlite3_vfs* vfs, int size, char* out) {
  return RealOf(vfs)->xRandomness(RealOf(vfs), size, out);
}
int Sleep(sqlite3_vfs* vfs, int microseconds) {
  return RealOf(vfs)->xSleep(RealOf(vfs), microseconds);
}
int CurrentTime(sqlite3_vfs* vfs, double* out) {
  return RealOf(vfs)->xCurrentTime(RealOf(vfs), out);
}
int GetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return RealOf(vfs)->xGetLastError(RealOf(vfs), size, out);
}
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return RealOf(vfs)->xCurrentTimeInt64(RealOf(vfs), out);
}
int SetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
  return RealOf(vfs)->xSetSystemCall(RealOf(vfs), name, call);
}
sqlite3_syscall_ptr GetSystemCall(sqlite3_vfs* vfs, const char* name) {
  return RealOf(vfs)->xGetSystemCall(RealOf(vfs), name);
}
const char* NextSystemCall(sqlite3_vfs* vfs, const char* name) {
  return RealOf(vfs)->xNextSystemCall(RealOf(vfs), name);
}

// Constant-initialised (zeros), so usable from the constructor.
sqlite3_vfs g_vfs;

__attribute__((constructor)) void InstallFaultVfs() {
  static_cast<void>(TheConfig());  // the environment as the program started
  sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
  if (real == nullptr) return;
  g_vfs = *real;  // same version, path length and system-call hooks
  g_vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + real->szOsFile;
  g_vfs.zName = "trovix-fault";
  g_vfs.pAppData = real;
  g_vfs.pNext = nullptr;
  g_vfs.xOpen = Open;
  g_vfs.xDelete = Delete;
  g_vfs.xAccess = Access;
  g_vfs.xFullPathname = FullPathname;
  g_vfs.xDlOpen = DlOpen;
  g_vfs.xDlError = DlError;
  g_vfs.xDlSym = DlSym;
  g_vfs.xDlClose = DlClose;
  g_vfs.xRandomness = Randomness;
  g_vfs.xSleep = Sleep;
  g_vfs.xCurrentTime = CurrentTime;
  g_vfs.xGetLastError = GetLastError;
  if (g_vfs.iVersion >= 2) g_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  if (g_vfs.iVersion >= 3) {
    g_vfs.xSetSystemCall = SetSystemCall;
    g_vfs.xGetSystemCall = GetSystemCall;
    g_vfs.xNextSystemCall = NextSystemCall;
  }
  sqlite3_vfs_register(&g_vfs, /*makeDflt=*/1);
}

}  // namespace
