// Self-registration of the desk band: the class, its type library, the
// toolbar entry hosts look for and the desk band category.
#pragma once

#include <string>

#include "platform/types.h"

namespace brimwick {

// Where hosts look for bands: a value named by the band's CLSID in braces.
inline constexpr std::u16string_view kToolbarKey =
    u"Software\\Microsoft\\Internet Explorer\\Toolbar";
inline constexpr std::u16string_view kBandName = u"Trovix Desk Bar";
// The application identifier the registration writes under AppID.
inline constexpr std::u16string_view kAppId = u"{5E2C9A41-7D3B-4F60-8A1E-C4B7D2906F38}";

// `module_path` is the module's own file (InprocServer32). S_OK, E_FAIL for
// the toolbar entry or the band name, SELFREG_E_CLASS / SELFREG_E_TYPELIB for
// the class and type library.
[[nodiscard]] HRESULT RegisterServer(const std::string& module_path);
// Removes the toolbar entry, the class and the type library; the category
// entry stays, as a categories manager leaves it.
[[nodiscard]] HRESULT UnregisterServer();

}  // namespace brimwick
