// What a band host offers its band beyond the shell's site interfaces.
//
// Programs address windows through message ports (platform/message_port.h).
// The band window opens a port of its own as a child of the host's port, so
// that whoever notifies the host's windows (the indexer's compaction notices)
// reaches the band too. The site hands out its port id through this
// interface, queried from the site given to IObjectWithSite::SetSite.
#pragma once

#include <string>

#include "platform/unknwn.h"

inline constexpr IID IID_IBandHostPort = MakeGuid("{6F0B7E52-3C1D-4A8E-9B27-5D4C81A0E913}");

struct IBandHostPort : IUnknown {
  // The id of the host's port ("<pid>-<n>"), under which the band window
  // opens its own port.
  [[nodiscard]] virtual HRESULT GetPortId(std::string* id) = 0;
};

// A host without IBandHostPort may name its port in this environment
// variable instead. With neither, the band's port is top-level.
inline constexpr const char* kBandHostPortEnv = "TROVIX_BAND_HOST_PORT";
