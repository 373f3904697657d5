// The plain-text filter module: its exported entry points, class factory and
// self-registration.
#include <atomic>
#include <new>

#include "filters/filter_registration.h"
#include "filters/text_filter.h"
#include "platform/com_object.h"
#include "platform/version_info.h"
#include "shared/filter_ids.h"

TROVIX_VERSION_BLOCK(TROVIX_VERSION_MAJOR, TROVIX_VERSION_MINOR, TROVIX_VERSION_PATCH, 0, VFT_DLL);

namespace txtfilter {
namespace {

std::atomic<long> g_live_objects{0};  // filters and factories alive
std::atomic<long> g_server_locks{0};  // LockServer(TRUE) not yet undone

TextFilter* CreateFilter() { return TextFilter::Create(&g_live_objects); }

constexpr trovix::filters::FilterClasses kClasses = {
    trovix::CLSID_TextFilter, trovix::CLSID_TextFilterHandler, u"Trovix plain-text filter",
    u"Trovix plain-text persistent handler"};

}  // namespace
}  // namespace txtfilter

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == trovix::CLSID_TextFilter)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<txtfilter::TextFilter>(txtfilter::CreateFilter, &txtfilter::g_live_objects,
                                                &txtfilter::g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return txtfilter::g_live_objects == 0 && txtfilter::g_server_locks == 0 ? S_OK : S_FALSE;
}

TROVIX_EXPORT HRESULT DllRegisterServer() {
  return trovix::filters::RegisterFilterClasses(txtfilter::kClasses, &txtfilter::g_live_objects);
}

TROVIX_EXPORT HRESULT DllUnregisterServer() {
  return trovix::filters::UnregisterFilterClasses(txtfilter::kClasses);
}
