#include "filters/filter_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/com_object.h"

namespace trovix::filters {

// Opens `path` for reading. O_NONBLOCK keeps open() from waiting for a
// writer when the name is a FIFO; it changes nothing for a regular file.
// O_NOATIME spares the disk an access-time write per indexed file, but only
// the file's owner may ask for it.
HRESULT OpenRegularFile(const std::string& path, int* out) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), flags);
  if (fd < 0) return HresultFromErrno(errno);
  struct stat st {};
  HRESULT hr = S_OK;
  if (fstat(fd, &st) != 0) {
    hr = HresultFromErrno(errno);
  } else if (S_ISDIR(st.st_mode)) {
    hr = HresultFromErrno(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    hr = FILTER_E_ACCESS;  // devices, FIFOs and sockets have no document to read
  }
  if (FAILED(hr)) {
    close(fd);
    return hr;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  *out = fd;
  return S_OK;
}

FilterObject::FilterObject(std::atomic<long>* module_objects, const CLSID& clsid)
    : module_objects_(module_objects), clsid_(clsid) {
  if (module_objects_ != nullptr) ++*module_objects_;
}

HRESULT FilterObject::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IFilter) {
    *ppv = static_cast<IFilter*>(this);
  } else if (riid == IID_IPersistFile) {
    *ppv = static_cast<IPersistFile*>(this);
  } else if (riid == IID_IPersist) {
    *ppv = static_cast<IPersist*>(static_cast<IPersistFile*>(this));
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG FilterObject::AddRef() { return ++refs_; }

ULONG FilterObject::Release() {
  return ReleaseModuleObject(refs_, module_objects_, [this] { delete this; });
}

HRESULT FilterObject::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = clsid_;
  return S_OK;
}

HRESULT FilterObject::IsDirty() { return S_FALSE; }
HRESULT FilterObject::Save(const WCHAR*, BOOL) { return E_NOTIMPL; }
HRESULT FilterObject::SaveCompleted(const WCHAR*) { return E_NOTIMPL; }

HRESULT FilterObject::GetCurFile(WCHAR** ppszFileName) {
  if (ppszFileName != nullptr) *ppszFileName = nullptr;
  return E_NOTIMPL;
}

HRESULT FilterObject::GetValue(PROPVARIANT** ppPropValue) {
  if (ppPropValue != nullptr) *ppPropValue = nullptr;
  return FILTER_E_NO_VALUES;
}

HRESULT FilterObject::BindRegion(FILTERREGION, REFIID, void** ppunk) {
  if (ppunk != nullptr) *ppunk = nullptr;
  return E_NOTIMPL;
}

}  // namespace trovix::filters
