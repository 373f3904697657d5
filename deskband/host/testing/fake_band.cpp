// A desk band for the host's tests: it appends each call its host makes to
// the file named by $TROVIX_TEST_BAND_LOG, one line per call, and puts a
// plain child widget named "fake band window" into the site's window.
// $TROVIX_TEST_BAND_REFUSE_SITE makes SetSite fail, as a band without a
// usable parent window does.
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "deskband/band_site.h"
#include "platform/com_object.h"
#include "platform/shell_band.h"

inline constexpr CLSID CLSID_FakeBand = MakeGuid("{5B8E2F40-7C1A-4D39-A6E2-0F3B9C7D1E24}");

namespace {

std::atomic<long> g_objects{0};       // bands and factories alive
std::atomic<long> g_server_locks{0};  // LockServer(TRUE) not yet undone

void Log(const std::string& line) {
  const char* path = std::getenv("TROVIX_TEST_BAND_LOG");
  if (path == nullptr) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
}

class FakeBand final : public IDeskBand, public IObjectWithSite {
 public:
  FakeBand() { ++g_objects; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDeskBand || riid == IID_IDockingWindow ||
        riid == IID_IOleWindow) {
      *ppv = static_cast<IDeskBand*>(this);
    } else if (riid == IID_IObjectWithSite) {
      *ppv = static_cast<IObjectWithSite*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    return ReleaseModuleObject(refs_, &g_objects, [this] {
      Log("Released");
      delete this;
    });
  }

  HRESULT GetWindow(HWND* window) override {
    *window = window_;
    return S_OK;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT ShowDW(BOOL show) override {
    Log(show ? "ShowDW 1" : "ShowDW 0");
    if (window_ != nullptr) window_->setVisible(show != 0);
    return S_OK;
  }
  HRESULT CloseDW(DWORD) override {
    Log("CloseDW");
    delete window_;
    window_ = nullptr;
    return S_OK;
  }
  HRESULT ResizeBorderDW(const RECT*, IUnknown*, BOOL) override { return E_NOTIMPL; }
  HRESULT GetBandInfo(DWORD id, DWORD mode, DESKBANDINFO* info) override {
    Log("GetBandInfo " + std::to_string(id) + " " + std::to_string(mode));
    info->ptMinSize = {120, 200};
    info->ptMaxSize = {-1, -1};
    info->ptIntegral = {1, 1};
    info->ptActual = {1, 1};
    info->dwModeFlags = DBIMF_VARIABLEHEIGHT;
    info->dwMask &= ~DBIM_BKCOLOR;
    return S_OK;
  }

  HRESULT SetSite(IUnknown* site) override;
  HRESULT GetSite(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_FAIL;
  }

 private:
  ~FakeBand() = default;
  void TakeSite(IUnknown* site);

  std::atomic<ULONG> refs_{1};
  QWidget* window_ = nullptr;
  IInputObjectSite* input_site_ = nullptr;
};

HRESULT FakeBand::SetSite(IUnknown* site) {
  if (input_site_ != nullptr) std::exchange(input_site_, nullptr)->Release();
  if (site == nullptr) {
    Log("SetSite null");
    return S_OK;
  }
  Log("SetSite site");
  if (std::getenv("TROVIX_TEST_BAND_REFUSE_SITE") != nullptr) return E_FAIL;
  TakeSite(site);
  return S_OK;
}

void FakeBand::TakeSite(IUnknown* site) {
  IOleWindow* ole_window = nullptr;
  if (SUCCEEDED(site->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&ole_window)))) {
    HWND parent = nullptr;
    if (SUCCEEDED(ole_window->GetWindow(&parent)) && window_ == nullptr) {
      window_ = new QWidget(static_cast<QWidget*>(parent));
      window_->setObjectName(QStringLiteral("fake band window"));
      window_->hide();
    }
    ole_window->Release();
  }
  IBandHostPort* port = nullptr;
  if (SUCCEEDED(site->QueryInterface(IID_IBandHostPort, reinterpret_cast<void**>(&port)))) {
    std::string id;
    if (SUCCEEDED(port->GetPortId(&id))) Log("port " + id);
    port->Release();
  }
  if (SUCCEEDED(
          site->QueryInterface(IID_IInputObjectSite, reinterpret_cast<void**>(&input_site_)))) {
    static_cast<void>(input_site_->OnFocusChangeIS(static_cast<IDeskBand*>(this), 0));
  }
}

FakeBand* CreateBand() { return new (std::nothrow) FakeBand(); }

}  // namespace

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == CLSID_FakeBand)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<FakeBand>(CreateBand, &g_objects, &g_server_locks, riid, ppv);
}

// Never unloaded while the host's process runs: Qt keeps the metadata of the
// widgets it made.
TROVIX_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }
