// CTrovBrimwick, the desk band object: a host creates it by class
// identifier, gives it a site (which creates the band's windows), asks its
// band information and shows or hides it.
//
// Threads: everything runs on the host's GUI thread, the one that owns the
// site's window; only reference counting is safe from other threads.
#pragma once

#include <QPointer>
#include <atomic>

#include "deskband/band_window.h"
#include "platform/shell_band.h"

namespace brimwick {

// The module's live objects and server locks; the module may be unloaded
// only while both are 0.
extern std::atomic<long> g_live_objects;
extern std::atomic<long> g_server_locks;

inline constexpr std::u16string_view kBandTitle = u"Trovix Desk Band";

// ITrovBrimwick has no methods of its own.
struct ITrovBrimwick : IDispatch {};

class CTrovBrimwick final : public ITrovBrimwick,
                            public IDeskBand,
                            public IObjectWithSite,
                            public IPersistStream,
                            public IProvideClassInfo,
                            public IInputObject {
 public:
  static CTrovBrimwick* Create();

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // IDispatch
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, const WCHAR* const* rgszNames, UINT cNames, LCID lcid,
                        DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  // IOleWindow, IDockingWindow, IDeskBand
  HRESULT GetWindow(HWND* phwnd) override;
  HRESULT ContextSensitiveHelp(BOOL fEnterMode) override;
  HRESULT ShowDW(BOOL fShow) override;
  HRESULT CloseDW(DWORD dwReserved) override;
  HRESULT ResizeBorderDW(const RECT* prcBorder, IUnknown* punkToolbarSite, BOOL fReserved) override;
  HRESULT GetBandInfo(DWORD dwBandID, DWORD dwViewMode, DESKBANDINFO* pdbi) override;
  // IObjectWithSite
  HRESULT SetSite(IUnknown* pUnkSite) override;
  HRESULT GetSite(REFIID riid, void** ppvSite) override;
  // IPersist, IPersistStream: the band keeps no settings.
  HRESULT GetClassID(CLSID* pClassID) override;
  HRESULT IsDirty() override;
  HRESULT Load(IStream* pStm) override;
  HRESULT Save(IStream* pStm, BOOL fClearDirty) override;
  HRESULT GetSizeMax(std::uint64_t* pcbSize) override;
  // IProvideClassInfo
  HRESULT GetClassInfo(ITypeInfo** ppTI) override;
  // IInputObject
  HRESULT UIActivateIO(BOOL fActivate, MSG* pMsg) override;
  HRESULT HasFocusIO() override;
  HRESULT TranslateAcceleratorIO(MSG* pMsg) override;

  // The band identifier and view mode last given to GetBandInfo.
  [[nodiscard]] DWORD band_id() const { return band_id_; }
  [[nodiscard]] DWORD view_mode() const { return view_mode_; }

 private:
  CTrovBrimwick();
  ~CTrovBrimwick();
  [[nodiscard]] bool CreateBandWindow(IUnknown* site, QWidget* parent);
  void OnFocusChange(bool has_focus);
  void DestroyBandWindow();

  std::atomic<ULONG> refs_{1};
  QPointer<BandWindow> window_;  // null once the host destroyed its parent
  QPointer<QWidget> parent_;
  IInputObjectSite* input_site_ = nullptr;  // held reference
  DWORD band_id_ = 0;
  DWORD view_mode_ = 0;
  bool has_focus_ = false;
};

}  // namespace brimwick
