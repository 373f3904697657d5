#include "deskband/band_object.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "deskband/band_site.h"
#include "deskband/brimwick_ids.h"
#include "deskband/brimwick_typelib.h"
#include "platform/com_object.h"
#include "platform/typelib.h"

namespace brimwick {
namespace {

constexpr POINTL kMinSizeFloating{200, 400};
constexpr POINTL kMinSizeDocked{100, 200};
constexpr POINTL kNoLimit{-1, -1};
constexpr POINTL kOneByOne{1, 1};

// The port id under which the band's port opens: the host's, through the
// site or the environment; empty for none.
std::string HostPortId(IUnknown* site) {
  std::string id;
  IBandHostPort* host = nullptr;
  if (SUCCEEDED(site->QueryInterface(IID_IBandHostPort, reinterpret_cast<void**>(&host)))) {
    if (FAILED(host->GetPortId(&id))) id.clear();
    host->Release();
    return id;
  }
  const char* env = std::getenv(kBandHostPortEnv);
  return env != nullptr ? env : "";
}

// The window the site gives through IOleWindow; null when it gives none.
bool SiteWindow(IUnknown* site, QWidget** parent) {
  IOleWindow* ole_window = nullptr;
  if (FAILED(site->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&ole_window)))) {
    return false;
  }
  HWND hwnd = nullptr;
  const HRESULT hr = ole_window->GetWindow(&hwnd);
  ole_window->Release();
  *parent = static_cast<QWidget*>(hwnd);
  return SUCCEEDED(hr);
}

}  // namespace

std::atomic<long> g_live_objects{0};
std::atomic<long> g_server_locks{0};

CTrovBrimwick::CTrovBrimwick() { ++g_live_objects; }

CTrovBrimwick::~CTrovBrimwick() {
  // The windows' code lives in this module: none may outlive the object.
  DestroyBandWindow();
  if (input_site_ != nullptr) input_site_->Release();
}

CTrovBrimwick* CTrovBrimwick::Create() { return new (std::nothrow) CTrovBrimwick(); }

HRESULT CTrovBrimwick::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITrovBrimwick) {
    *ppv = static_cast<ITrovBrimwick*>(this);
  } else if (riid == IID_IOleWindow || riid == IID_IDockingWindow || riid == IID_IDeskBand) {
    *ppv = static_cast<IDeskBand*>(this);
  } else if (riid == IID_IObjectWithSite) {
    *ppv = static_cast<IObjectWithSite*>(this);
  } else if (riid == IID_IPersist || riid == IID_IPersistStream) {
    *ppv = static_cast<IPersistStream*>(this);
  } else if (riid == IID_IProvideClassInfo) {
    *ppv = static_cast<IProvideClassInfo*>(this);
  } else if (riid == IID_IInputObject) {
    *ppv = static_cast<IInputObject*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CTrovBrimwick::AddRef() { return ++refs_; }

ULONG CTrovBrimwick::Release() {
  return ReleaseModuleObject(refs_, &g_live_objects, [this] { delete this; });
}

HRESULT CTrovBrimwick::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT CTrovBrimwick::GetTypeInfo(UINT iTInfo, LCID /*lcid*/, ITypeInfo** ppTInfo) {
  return DispatchTypeInfo(TrovBrimwickInterfaceType(), iTInfo, ppTInfo, &g_live_objects);
}

HRESULT CTrovBrimwick::GetIDsOfNames(REFIID riid, const WCHAR* const* rgszNames, UINT cNames,
                                     LCID /*lcid*/, DISPID* rgDispId) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNNAME;
  return IdsOfNames(TrovBrimwickInterfaceType(), rgszNames, cNames, rgDispId);
}

HRESULT CTrovBrimwick::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                              UINT*) {
  return DISP_E_MEMBERNOTFOUND;  // the interface has no members
}

HRESULT CTrovBrimwick::GetWindow(HWND* phwnd) {
  if (phwnd == nullptr) return E_POINTER;
  *phwnd = static_cast<QWidget*>(window_.data());
  return S_OK;
}

HRESULT CTrovBrimwick::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT CTrovBrimwick::ShowDW(BOOL fShow) {
  if (window_) window_->setVisible(fShow != 0);
  return S_OK;
}

HRESULT CTrovBrimwick::CloseDW(DWORD /*dwReserved*/) {
  static_cast<void>(ShowDW(0));
  DestroyBandWindow();
  return S_OK;
}

HRESULT CTrovBrimwick::ResizeBorderDW(const RECT*, IUnknown*, BOOL) { return E_NOTIMPL; }

HRESULT CTrovBrimwick::GetBandInfo(DWORD dwBandID, DWORD dwViewMode, DESKBANDINFO* pdbi) {
  if (pdbi == nullptr) return E_INVALIDARG;
  band_id_ = dwBandID;
  view_mode_ = dwViewMode;
  if (pdbi->dwMask & DBIM_MINSIZE) {
    pdbi->ptMinSize = (dwViewMode & DBIF_VIEWMODE_FLOATING) ? kMinSizeFloating : kMinSizeDocked;
  }
  if (pdbi->dwMask & DBIM_MAXSIZE) pdbi->ptMaxSize = kNoLimit;
  if (pdbi->dwMask & DBIM_INTEGRAL) pdbi->ptIntegral = kOneByOne;
  if (pdbi->dwMask & DBIM_ACTUAL) pdbi->ptActual = kOneByOne;
  if (pdbi->dwMask & DBIM_TITLE) {
    std::fill(std::begin(pdbi->wszTitle), std::end(pdbi->wszTitle), u'\0');
    std::copy(kBandTitle.begin(), kBandTitle.end(), pdbi->wszTitle);
  }
  if (pdbi->dwMask & DBIM_MODEFLAGS) pdbi->dwModeFlags = DBIMF_VARIABLEHEIGHT;
  // The host's default background is used.
  pdbi->dwMask &= ~DBIM_BKCOLOR;
  return S_OK;
}

HRESULT CTrovBrimwick::SetSite(IUnknown* pUnkSite) {
  if (input_site_ != nullptr) {
    input_site_->Release();
    input_site_ = nullptr;
  }
  if (pUnkSite == nullptr) return S_OK;
  QWidget* parent = nullptr;
  if (!SiteWindow(pUnkSite, &parent)) return E_FAIL;
  parent_ = parent;
  if (!window_ && !CreateBandWindow(pUnkSite, parent)) return E_FAIL;
  return SUCCEEDED(
             pUnkSite->QueryInterface(IID_IInputObjectSite, reinterpret_cast<void**>(&input_site_)))
             ? S_OK
             : E_FAIL;
}

bool CTrovBrimwick::CreateBandWindow(IUnknown* site, QWidget* parent) {
  if (parent == nullptr) return false;
  window_ = new (std::nothrow) BandWindow(
      parent, [this](bool has_focus) { OnFocusChange(has_focus); }, HostPortId(site));
  return window_ != nullptr;
}

HRESULT CTrovBrimwick::GetSite(REFIID riid, void** ppvSite) {
  if (ppvSite == nullptr) return E_POINTER;
  *ppvSite = nullptr;
  if (input_site_ == nullptr) return E_FAIL;
  return input_site_->QueryInterface(riid, ppvSite);
}

HRESULT CTrovBrimwick::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = CLSID_TrovBrimwick;
  return S_OK;
}

HRESULT CTrovBrimwick::IsDirty() { return S_FALSE; }
HRESULT CTrovBrimwick::Load(IStream*) { return S_OK; }
HRESULT CTrovBrimwick::Save(IStream*, BOOL) { return S_OK; }
HRESULT CTrovBrimwick::GetSizeMax(std::uint64_t*) { return E_NOTIMPL; }

HRESULT CTrovBrimwick::GetClassInfo(ITypeInfo** ppTI) {
  if (ppTI == nullptr) return E_POINTER;
  *ppTI = TypeInfo::Create(TrovBrimwickClassType(), &g_live_objects);
  return *ppTI != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CTrovBrimwick::UIActivateIO(BOOL fActivate, MSG*) {
  if (fActivate && window_) window_->setFocus();
  return S_OK;
}

HRESULT CTrovBrimwick::HasFocusIO() { return has_focus_ ? S_OK : S_FALSE; }
HRESULT CTrovBrimwick::TranslateAcceleratorIO(MSG*) { return S_FALSE; }

void CTrovBrimwick::OnFocusChange(bool has_focus) {
  if (input_site_ == nullptr) return;
  static_cast<void>(
      input_site_->OnFocusChangeIS(static_cast<ITrovBrimwick*>(this), has_focus ? 1 : 0));
  has_focus_ = has_focus;
}

void CTrovBrimwick::DestroyBandWindow() {
  // deleteLater would leave the window's code to run after the module may be
  // gone; the band is destroyed from the host's thread, so delete at once.
  delete window_.data();
  window_ = nullptr;
}

}  // namespace brimwick
