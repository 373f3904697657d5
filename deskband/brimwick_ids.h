// The identities of the desk band component, for hosts that create it by
// class identifier.
#pragma once

#include "platform/guid.h"

inline constexpr CLSID CLSID_TrovBrimwick = MakeGuid("{0063CA35-0F9B-4607-B7DA-1BC522E26D01}");
// The band's own dual interface: IDispatch only, no methods of its own.
inline constexpr IID IID_ITrovBrimwick = MakeGuid("{1BC5626A-EB2A-4E0E-BC01-2C093D3C07AF}");
inline constexpr GUID LIBID_BrimwickLib = MakeGuid("{DA960453-164D-4735-9CD7-25317A24637B}");

inline constexpr const char16_t* kBrimwickProgId = u"Brimwick.TrovBrimwick.1";
inline constexpr const char16_t* kBrimwickIndependentProgId = u"Brimwick.TrovBrimwick";
