// The type library of the index store: ORDALISLib 1.0.
#pragma once

#include "platform/typelib.h"

namespace ordalis {

// Number of ITrovixDB methods; their dispatch identifiers are 1..kMethodCount.
inline constexpr DISPID kMethodCount = 55;

[[nodiscard]] const TypeLibDesc& OrdalisTypeLib();
[[nodiscard]] const TypeDesc& TrovixDBInterfaceType();

}  // namespace ordalis
