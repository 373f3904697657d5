#include "panel/store_object.h"

namespace trovix::panel {

ComPtr<ITrovixDB> CreateStore() {
  ComPtr<ITrovixDB> store;
  static_cast<void>(CoCreateInstance(CLSID_TrovixDB, nullptr,
                                     CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_ITrovixDB,
                                     store.put_void()));
  return store;
}

}  // namespace trovix::panel
