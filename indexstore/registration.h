// Self-registration of the index store's classes and type library under
// HKEY_CLASSES_ROOT.
#pragma once

#include "platform/types.h"

namespace ordalis {

// Writes the ProgID keys, the CLSID keys (each CLSID key and its
// Programmable key removed and re-created) with InprocServer32 = this
// module's path, and the type library. SELFREG_E_CLASS or SELFREG_E_TYPELIB
// on failure.
[[nodiscard]] HRESULT RegisterServer();
// Removes everything RegisterServer writes; the CLSID parent key stays.
[[nodiscard]] HRESULT UnregisterServer();

}  // namespace ordalis
