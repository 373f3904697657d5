// The reference counting and QueryInterface of a small object with one
// interface (class factories, enumerators, type descriptions).
#pragma once

#include <atomic>

#include "platform/unknwn.h"

// `module_objects` counts the live objects of the module that made the object
// (may be null): the module must not be unloaded while one of its objects
// lives, since its code and data are behind the object.
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
    const ULONG left = --refs_;
    if (left == 0) {
      std::atomic<long>* module_objects = module_objects_;
      delete this;
      // Last: once the count drops, the module may be unloaded.
      if (module_objects != nullptr) --*module_objects;
    }
    return left;
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
