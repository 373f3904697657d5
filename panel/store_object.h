// The panel's way to an index store object. The panel holds none between
// operations: each operation initialises the component library for its own
// length, creates an object here, and releases it before returning, so that
// an idle panel keeps no store module loaded and no database connection open.
#pragma once

#include "platform/com.h"
#include "shared/itrovixdb.h"

namespace trovix::panel {

// A fresh index store object, or empty when none can be created. The calling
// thread must be initialised (ComInit) for as long as the object lives.
[[nodiscard]] ComPtr<ITrovixDB> CreateStore();

}  // namespace trovix::panel
