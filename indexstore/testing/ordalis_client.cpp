// A client process for the index store's tests: creates an index store
// object by class identifier and runs the named steps in order, printing the
// status of each ("init 0x00000000"). Steps: init, cleanup, hold (signal
// readiness by printing "holding" and sleep until killed), abort (end the
// process at once, without cleanup).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/com.h"
#include "shared/itrovixdb.h"

int main(int argc, char** argv) {
  ComInit com;
  ComPtr<ITrovixDB> db;
  HRESULT hr = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                                db.put_void());
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
    } else if (std::strcmp(argv[i], "abort") == 0) {
      std::fflush(stdout);
      _exit(3);
    } else {
      std::fprintf(stderr, "unknown step %s\n", argv[i]);
      return 2;
    }
    std::printf("%s 0x%08x\n", argv[i], static_cast<unsigned>(hr));
  }
  return 0;
}
