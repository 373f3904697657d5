// The type library of the desk band: Brimwick 1.0.
#pragma once

#include "platform/typelib.h"

namespace brimwick {

[[nodiscard]] const TypeLibDesc& BrimwickTypeLib();
// ITrovBrimwick: a dual interface with IDispatch's methods only.
[[nodiscard]] const TypeDesc& TrovBrimwickInterfaceType();
// The CTrovBrimwick class, as IProvideClassInfo hands it out.
[[nodiscard]] const TypeDesc& TrovBrimwickClassType();

}  // namespace brimwick
