// Registration of the component modules of an installation.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/types.h"

namespace trovix::setup {

// The component modules (*.so) directly in `folder`, sorted by name; the
// suite's shared libraries beside them (libtrovix-*.so) are not modules.
[[nodiscard]] std::vector<std::string> FindComponentModules(const std::string& folder);

// Loads the module at `path`, calls its DllRegisterServer (or
// DllUnregisterServer) and unloads it again. Failures of loading or a missing
// entry point answer HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND /
// ERROR_PROC_NOT_FOUND) with the loader's message in `*detail`.
[[nodiscard]] HRESULT RegisterModule(const std::string& path, bool unregister, std::string* detail);

}  // namespace trovix::setup
