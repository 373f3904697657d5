// The document filter module: its exported entry points, class factory and
// self-registration.
#include <algorithm>
#include <atomic>
#include <new>
#include <thread>
#include <utility>

#include "filters/doc_filter.h"
#include "filters/filter_registration.h"
#include "platform/com_object.h"
#include "platform/version_info.h"
#include "shared/filter_ids.h"

TROVIX_VERSION_BLOCK(TROVIX_VERSION_MAJOR, TROVIX_VERSION_MINOR, TROVIX_VERSION_PATCH, 0, VFT_DLL);

namespace docfilter {
namespace {

std::atomic<long> g_live_objects{0};  // filters and factories alive
std::atomic<long> g_server_locks{0};  // LockServer(TRUE) not yet undone

// Helpers waiting between files; stopped when the module is unloaded. A
// helper serves only the thread that started it, and the indexer reads
// documents on one thread per core, so about one idle helper per core.
HelperPool g_helpers(std::clamp(std::thread::hardware_concurrency() + 1, 2u, 9u));

DocFilter* CreateFilter() {
  HelperSettings settings = InstalledHelper();
  settings.pool = &g_helpers;
  return DocFilter::Create(&g_live_objects, std::move(settings));
}

constexpr trovix::filters::FilterClasses kClasses = {
    trovix::CLSID_DocFilter, trovix::CLSID_DocFilterHandler, u"Trovix document filter",
    u"Trovix document persistent handler"};

}  // namespace
}  // namespace docfilter

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == trovix::CLSID_DocFilter)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<docfilter::DocFilter>(docfilter::CreateFilter, &docfilter::g_live_objects,
                                               &docfilter::g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return docfilter::g_live_objects == 0 && docfilter::g_server_locks == 0 ? S_OK : S_FALSE;
}

TROVIX_EXPORT HRESULT DllRegisterServer() {
  return trovix::filters::RegisterFilterClasses(docfilter::kClasses, &docfilter::g_live_objects);
}

TROVIX_EXPORT HRESULT DllUnregisterServer() {
  return trovix::filters::UnregisterFilterClasses(docfilter::kClasses);
}
