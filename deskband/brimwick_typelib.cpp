#include "deskband/brimwick_typelib.h"

#include "deskband/brimwick_ids.h"

namespace brimwick {
namespace {

constexpr TypeDesc kTypes[] = {
    {TypeKind::kDualInterface, IID_ITrovBrimwick, u"ITrovBrimwick", u"ITrovBrimwick Interface", {}},
    {TypeKind::kCoClass, CLSID_TrovBrimwick, u"CTrovBrimwick", u"CTrovBrimwick Class", {}},
};

constexpr TypeLibDesc kBrimwickLib = {
    LIBID_BrimwickLib, u"BRIMWICKLib", u"Brimwick 1.0 Type Library", 1, 0, kTypes};

}  // namespace

const TypeLibDesc& BrimwickTypeLib() { return kBrimwickLib; }
const TypeDesc& TrovBrimwickInterfaceType() { return kTypes[0]; }
const TypeDesc& TrovBrimwickClassType() { return kTypes[1]; }

}  // namespace brimwick
