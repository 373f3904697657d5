// The component runtime: per-thread initialisation, creation of objects by
// class identifier from modules named in the registry, and unloading of idle
// modules.
//
// States of the process (guarded by one process-wide lock):
//  1. No thread initialised: nothing loaded. CoCreateInstance answers
//     CO_E_NOTINITIALIZED.
//  2. One or more threads initialised: modules are loaded on first use and
//     stay loaded.
//  3. The last initialised thread calls its final CoUninitialize: every loaded
//     module whose DllCanUnloadNow answers S_OK is closed with dlclose (its
//     static objects are destroyed then, so an idle process keeps no database
//     connection); a module still in use stays loaded until the next time.
#pragma once

#include <utility>

#include "platform/unknwn.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_MULTITHREADED = 0x0;

// Counts per thread: S_OK for the first call on a thread, S_FALSE for a nested
// one. Every successful call is matched by one CoUninitialize.
[[nodiscard]] HRESULT CoInitialize(void* reserved);
[[nodiscard]] HRESULT CoInitializeEx(void* reserved, DWORD co_init);
void CoUninitialize();

// Creates an object of class `clsid` from the module registered under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32. Answers
// CO_E_NOTINITIALIZED when the calling thread is not initialised,
// CLASS_E_NOAGGREGATION for a non-null `outer`, REGDB_E_CLASSNOTREG when the
// class or its module path is not registered, HRESULT_FROM_WIN32(
// ERROR_MOD_NOT_FOUND) or ERROR_PROC_NOT_FOUND when the module cannot be
// loaded or lacks DllGetClassObject, else what the factory answers. `*ppv` is
// null on failure.
[[nodiscard]] HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD cls_context,
                                       REFIID riid, void** ppv);
// Unloads every loaded module whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// The signatures of a component module's exported entry points.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

// Scoped initialisation of the calling thread; `hr()` says whether it took.
class ComInit {
 public:
  ComInit() : hr_(CoInitialize(nullptr)) {}
  ~ComInit() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComInit(const ComInit&) = delete;
  ComInit& operator=(const ComInit&) = delete;
  [[nodiscard]] HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

// An owning interface pointer: Release on destruction.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  void reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  T* p_ = nullptr;
};
