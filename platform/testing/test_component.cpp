// A component module for the runtime's tests: one class whose objects count
// themselves, and a static table with a destructor that records, in the file
// named by $TROVIX_TEST_UNLOAD_MARKER, that the module's statics were
// destroyed (that is, that dlclose really unloaded it).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

#include "platform/com.h"
#include "platform/com_object.h"

inline constexpr CLSID CLSID_TestComponent = MakeGuid("{7A1C3E55-0B2D-4F6A-9E81-2C4D6F8A0B13}");

namespace {

std::atomic<long> g_objects{0};       // objects and factories alive
std::atomic<long> g_server_locks{0};  // LockServer(TRUE) not yet undone

// A static template instance with a destructor: the kind of object that pins
// a module in memory when it is exported or uniquely bound.
struct UnloadWitness {
  std::map<std::string, int> table{{"loaded", 1}};
  ~UnloadWitness() {
    if (const char* marker = std::getenv("TROVIX_TEST_UNLOAD_MARKER")) {
      if (FILE* f = std::fopen(marker, "a")) {
        std::fputs("unloaded\n", f);
        std::fclose(f);
      }
    }
  }
};
UnloadWitness g_witness;

class Object final : public ComObject<IUnknown, IID_IUnknown> {
 public:
  static Object* Create() { return new (std::nothrow) Object(); }

 private:
  Object() : ComObject(&g_objects) {}
};

}  // namespace

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == CLSID_TestComponent)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<Object>(Object::Create, &g_objects, &g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return g_objects == 0 && g_server_locks == 0 && g_witness.table.size() == 1 ? S_OK : S_FALSE;
}
