// What every content filter object shares: its interfaces (IFilter,
// IPersistFile, IPersist), reference counting that keeps the module loaded
// while the object lives, and the answers that are the same for every
// filter (nothing to save, no values, no regions). A filter supplies Load,
// Init, GetChunk and GetText.
#pragma once

#include <atomic>
#include <string>

#include "platform/filter.h"

namespace trovix::filters {

// Opens `path` for reading, as every filter's Load does, so that a reader
// sees the same codes for a missing or special file whatever its type:
// HresultFromErrno of a failed open (ENOENT, EACCES, ...), EISDIR's for a
// folder, FILTER_E_ACCESS for a device, FIFO or socket. On success `*out`
// is the caller's descriptor.
[[nodiscard]] HRESULT OpenRegularFile(const std::string& path, int* out);

class FilterObject : public IFilter, public IPersistFile {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetClassID(CLSID* pClassID) override;
  HRESULT IsDirty() override;
  // A filter never writes, and there is no task allocator for a returned
  // path: Save, SaveCompleted and GetCurFile answer E_NOTIMPL.
  HRESULT Save(const WCHAR* pszFileName, BOOL fRemember) override;
  HRESULT SaveCompleted(const WCHAR* pszFileName) override;
  HRESULT GetCurFile(WCHAR** ppszFileName) override;

  // Only text chunks are delivered: FILTER_E_NO_VALUES; no regions.
  HRESULT GetValue(PROPVARIANT** ppPropValue) override;
  HRESULT BindRegion(FILTERREGION origPos, REFIID riid, void** ppunk) override;

 protected:
  // One reference, owned by the creator; `module_objects` (may be null)
  // counts the module's live objects.
  FilterObject(std::atomic<long>* module_objects, const CLSID& clsid);
  virtual ~FilterObject() = default;

 private:
  std::atomic<long>* const module_objects_;
  const CLSID clsid_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace trovix::filters
