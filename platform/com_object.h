// The reference counting and QueryInterface of a small object with one
// interface (class factories, enumerators, type descriptions).
#pragma once

#include <atomic>
#include <new>

#include "platform/unknwn.h"

// Drops one of an object's references (`refs`, a member of it); the last one
// runs `destroy` (which deletes the object) and only then uncounts it from
// `module_objects` (may be null), the count of its module's live objects: the
// module must not be unloaded while one of its objects lives, since its code
// and data are behind it.
template <typename Destroy>
ULONG ReleaseModuleObject(std::atomic<ULONG>& refs, std::atomic<long>* module_objects,
                          Destroy destroy) {
  const ULONG left = --refs;
  if (left == 0) {
    destroy();
    if (module_objects != nullptr) --*module_objects;
  }
  return left;
}

// `module_objects` as for ReleaseModuleObject.
template <typename Interface, const IID& kInterfaceId>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == kInterfaceId) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    return ReleaseModuleObject(refs_, module_objects_, [this] { delete this; });
  }

 protected:
  // Starts with one reference, owned by the creator.
  explicit ComObject(std::atomic<long>* module_objects) : module_objects_(module_objects) {
    if (module_objects_ != nullptr) ++*module_objects_;
  }
  virtual ~ComObject() = default;

 private:
  std::atomic<long>* const module_objects_;
  std::atomic<ULONG> refs_{1};
};

// The class factory of a module's objects. `Create` makes a new object with
// one reference (null when memory runs out). The factory counts among the
// module's live objects; LockServer counts in `server_locks`.
template <typename Object>
class ClassFactory final : public ComObject<IClassFactory, IID_IClassFactory> {
 public:
  using Creator = Object* (*)();
  ClassFactory(Creator create, std::atomic<long>* module_objects, std::atomic<long>* server_locks)
      : ComObject(module_objects), create_(create), server_locks_(server_locks) {}

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Object* object = create_();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ++*server_locks_;
    } else {
      --*server_locks_;
    }
    return S_OK;
  }

 private:
  const Creator create_;
  std::atomic<long>* const server_locks_;
};

// DllGetClassObject's work once the class is known: a new factory, asked for
// `riid`.
template <typename Object>
[[nodiscard]] HRESULT GetClassFactory(typename ClassFactory<Object>::Creator create,
                                      std::atomic<long>* module_objects,
                                      std::atomic<long>* server_locks, REFIID riid, void** ppv) {
  auto* factory = new (std::nothrow) ClassFactory<Object>(create, module_objects, server_locks);
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}
