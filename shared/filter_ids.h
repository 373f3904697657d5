// Class identifiers of the suite's content filters, shared by the filter
// modules that register them and the installer that links file types to them.
#pragma once

#include "platform/guid.h"

namespace trovix {

// The plain-text filter class (IFilter, IPersistFile) in libtxtfilter.so.
inline constexpr CLSID CLSID_TextFilter = MakeGuid("{C7BCE313-3846-4F00-912D-07C9F056D392}");

// The persistent handler that leads to CLSID_TextFilter: a file type names it
// in its ".ext\PersistentHandler" key, and its CLSID key names the filter
// under PersistentAddinsRegistered\{IID_IFilter}.
inline constexpr CLSID CLSID_TextFilterHandler = MakeGuid("{D0F0E897-52F5-44FB-9C3F-B08587304979}");

// The document filter class in libdocfilter.so: HTML, XHTML and XML parsed
// out of process by trovix-filterhost.
inline constexpr CLSID CLSID_DocFilter = MakeGuid("{5B0E3A86-1F0C-4C7D-9E55-2A8D6B7F41C3}");

// The persistent handler that leads to CLSID_DocFilter.
inline constexpr CLSID CLSID_DocFilterHandler = MakeGuid("{A3C6D2E1-7B49-4F18-8D0A-6E95C4B1F207}");

}  // namespace trovix
