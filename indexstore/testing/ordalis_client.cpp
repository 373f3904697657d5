// A client process for the index store's tests: creates an index store
// object by class identifier and runs the named steps in order, printing the
// status of each ("init 0x00000000"). Steps: init, cleanup, hold (signal
// readiness by printing "holding" and sleep until killed), abort (end the
// process at once, without cleanup), hold-open (print "holding open" and wait
// for a line on stdin, keeping whatever the steps before opened), read-begin
// and read-end (open and end a read transaction on the module's connection,
// as a search running in this process would hold one), count (recount the
// statistics and print "count files=F indexed=I"), read-open and read-close
// (OpenForReading and CloseForReading), search (look up the word "alpha"
// and print "search files=N").
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "indexstore/engine.h"
#include "platform/com.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixreader.h"

namespace {

// The module's connection, through GetDB.
HRESULT Connection(ITrovixDB* db, sqlite3** handle) {
  VARIANT v;
  HRESULT hr = db->GetDB(&v);
  if (FAILED(hr)) return hr;
  ordalis::IEngineConnection* connection = nullptr;
  hr = (*v.ppunkVal)
           ->QueryInterface(ordalis::IID_IEngineConnection, reinterpret_cast<void**>(&connection));
  if (FAILED(hr)) return hr;
  return connection->GetHandle(handle);
}

// Runs `sql` on the module's connection, outside the write mutex. The
// connection is looked up once: GetDB takes the write mutex, which a
// compaction in another process may hold while it waits for this reader.
HRESULT Execute(ITrovixDB* db, const char* sql) {
  static sqlite3* handle = nullptr;
  if (handle == nullptr) {
    const HRESULT hr = Connection(db, &handle);
    if (FAILED(hr)) return hr;
  }
  return sqlite3_exec(handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? S_OK : E_FAIL;
}

HRESULT Count(ITrovixDB* db) {
  const HRESULT hr = db->RequeryStatistics();
  UINT files = 0;
  UINT indexed = 0;
  if (FAILED(hr) || FAILED(db->GetProcessedFileCount(&files)) ||
      FAILED(db->GetIndexedFileCount(&indexed))) {
    return FAILED(hr) ? hr : E_FAIL;
  }
  std::printf("count files=%u indexed=%u\n", files, indexed);
  return hr;
}

HRESULT Search(ITrovixDB* db) {
  UINT handle = 0;
  UINT files = 0;
  HRESULT hr = db->SearchOpenWord(u"alpha", &handle);
  if (hr == S_OK) hr = db->SearchGetSize(handle, &files);
  if (handle != 0) static_cast<void>(db->SearchClose(handle));
  if (SUCCEEDED(hr)) std::printf("search files=%u\n", files);
  return hr;
}

HRESULT Reader(ITrovixDB* db, bool open) {
  ComPtr<ITrovixReader> reader;
  const HRESULT hr = db->QueryInterface(IID_ITrovixReader, reader.put_void());
  if (FAILED(hr)) return hr;
  return open ? reader->OpenForReading() : reader->CloseForReading();
}

}  // namespace

int main(int argc, char** argv) {
  ComInit com;
  ComPtr<ITrovixDB> db;
  HRESULT hr =
      CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB, db.put_void());
  std::printf("create 0x%08x\n", static_cast<unsigned>(hr));
  if (FAILED(hr)) return 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "init") == 0) {
      hr = db->Init();
    } else if (std::strcmp(argv[i], "cleanup") == 0) {
      hr = db->Cleanup();
    } else if (std::strcmp(argv[i], "hold") == 0) {
      std::printf("holding\n");
      std::fflush(stdout);
      for (;;) pause();
    } else if (std::strcmp(argv[i], "hold-open") == 0) {
      std::printf("holding open\n");
      std::fflush(stdout);
      char line[64];
      hr = std::fgets(line, sizeof line, stdin) != nullptr ? S_OK : S_FALSE;
    } else if (std::strcmp(argv[i], "read-begin") == 0) {
      hr = Execute(db.get(), "BEGIN; SELECT Count(*) FROM FilesWords;");
    } else if (std::strcmp(argv[i], "read-end") == 0) {
      hr = Execute(db.get(), "COMMIT");
    } else if (std::strcmp(argv[i], "count") == 0) {
      hr = Count(db.get());
    } else if (std::strcmp(argv[i], "read-open") == 0) {
      hr = Reader(db.get(), /*open=*/true);
    } else if (std::strcmp(argv[i], "read-close") == 0) {
      hr = Reader(db.get(), /*open=*/false);
    } else if (std::strcmp(argv[i], "search") == 0) {
      hr = Search(db.get());
    } else if (std::strcmp(argv[i], "abort") == 0) {
      std::fflush(stdout);
      _exit(3);
    } else {
      std::fprintf(stderr, "unknown step %s\n", argv[i]);
      return 2;
    }
    std::printf("%s 0x%08x\n", argv[i], static_cast<unsigned>(hr));
    std::fflush(stdout);
  }
  return 0;
}
