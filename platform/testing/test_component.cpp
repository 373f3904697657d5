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

inline constexpr CLSID CLSID_TestComponent = MakeGuid("{7A1C3E55-0B2D-4F6A-9E81-2C4D6F8A0B13}");

namespace {

std::atomic<long> g_objects{0};

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

class Object final : public IUnknown {
 public:
  Object() { ++g_objects; }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = riid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
    if (*ppv == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      delete this;
      --g_objects;
    }
    return left;
  }

 private:
  ~Object() = default;
  std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = (riid == IID_IUnknown || riid == IID_IClassFactory) ? this : nullptr;
    return *ppv != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Object* object = new (std::nothrow) Object();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};
Factory g_factory;

}  // namespace

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!(clsid == CLSID_TestComponent)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return g_objects == 0 && g_witness.table.size() == 1 ? S_OK : S_FALSE;
}
