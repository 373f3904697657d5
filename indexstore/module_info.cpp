// GetModuleInfo: the version block of this module's own file.
#include <cstring>
#include <vector>

#include "indexstore/trovix_db.h"
#include "platform/version_info.h"
#include "platform/wstring.h"

TROVIX_VERSION_BLOCK(TROVIX_VERSION_MAJOR, TROVIX_VERSION_MINOR, TROVIX_VERSION_PATCH, 0, VFT_DLL);

namespace ordalis {

// The caller passes the buffer's size in *pccb with the buffer (it asked for
// the size first); a smaller buffer answers E_INVALIDARG instead of being
// written past its end.
HRESULT TrovixDB::GetModuleInfo(UINT_PTR p, UINT* pccb) {
  if (pccb == nullptr) return E_INVALIDARG;
  const std::string path = ModulePathOfAddress(reinterpret_cast<const void*>(&ordalis::g_live_objects));
  if (path.empty() || Utf8ToUtf16(path).size() > MAX_PATH) return E_FAIL;
  const DWORD size = GetFileVersionInfoSize(path);
  const UINT capacity = *pccb;
  *pccb = size;
  if (size == 0) return E_FAIL;
  if (p == 0) return S_FALSE;
  if (capacity < size) return E_INVALIDARG;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfo(path, size, block.data())) return E_FAIL;
  std::memcpy(reinterpret_cast<void*>(p), block.data(), size);
  return S_OK;
}

}  // namespace ordalis
