// The shell's band interfaces: the contract between a desk band object and
// the host that shows it (IOleWindow, IDockingWindow, IDeskBand,
// IObjectWithSite, IInputObjectSite, IInputObject, IPersistStream,
// IProvideClassInfo). Vtable order and identifiers are the Windows ones, so a
// slot means the same method on both sides of the module boundary.
#pragma once

#include <cstdint>

#include "platform/filter.h"  // IPersist
#include "platform/unknwn.h"

// A window handle. On this platform windows are Qt widgets: an HWND holds a
// QWidget* (null for "no window"), and the two sides of an interface agree on
// that. Kept as void* so this header, like the rest of platform/, needs no Qt.
using HWND = void*;
using COLORREF = DWORD;

struct POINTL {
  LONG x;
  LONG y;
};

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// A host-defined message record; the band never looks inside it.
struct MSG;

inline constexpr IID IID_IOleWindow = MakeGuid("{00000114-0000-0000-C000-000000000046}");
inline constexpr IID IID_IDockingWindow = MakeGuid("{012DD920-7B26-11D0-8CA9-00A0C92DBFE8}");
inline constexpr IID IID_IDeskBand = MakeGuid("{EB0FE172-1A3A-11D0-89B3-00A0C90A90AC}");
inline constexpr IID IID_IObjectWithSite = MakeGuid("{FC4801A3-2BA9-11CF-A229-00AA003D7352}");
inline constexpr IID IID_IInputObjectSite = MakeGuid("{F1DB8392-7331-11D0-8C99-00A0C92DBFE8}");
inline constexpr IID IID_IInputObject = MakeGuid("{68284FAA-6A48-11D0-8C78-00C04FD918B4}");
inline constexpr IID IID_IPersistStream = MakeGuid("{00000109-0000-0000-C000-000000000046}");
inline constexpr IID IID_IStream = MakeGuid("{0000000C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IProvideClassInfo = MakeGuid("{B196B283-BAB4-101A-B69C-00AA00341D07}");
// The component category of desk bands.
inline constexpr GUID CATID_DeskBand = MakeGuid("{00021492-0000-0000-C000-000000000046}");

// DESKBANDINFO::dwMask: which members the host asks for.
inline constexpr DWORD DBIM_MINSIZE = 0x0001;
inline constexpr DWORD DBIM_MAXSIZE = 0x0002;
inline constexpr DWORD DBIM_INTEGRAL = 0x0004;
inline constexpr DWORD DBIM_ACTUAL = 0x0008;
inline constexpr DWORD DBIM_TITLE = 0x0010;
inline constexpr DWORD DBIM_MODEFLAGS = 0x0020;
inline constexpr DWORD DBIM_BKCOLOR = 0x0040;

// DESKBANDINFO::dwModeFlags.
inline constexpr DWORD DBIMF_NORMAL = 0x0000;
inline constexpr DWORD DBIMF_FIXED = 0x0001;
inline constexpr DWORD DBIMF_FIXEDBMP = 0x0004;
inline constexpr DWORD DBIMF_VARIABLEHEIGHT = 0x0008;
inline constexpr DWORD DBIMF_UNDELETEABLE = 0x0010;
inline constexpr DWORD DBIMF_DEBOSSED = 0x0020;
inline constexpr DWORD DBIMF_BKCOLOR = 0x0040;

// GetBandInfo's view mode (flags).
inline constexpr DWORD DBIF_VIEWMODE_NORMAL = 0x0000;
inline constexpr DWORD DBIF_VIEWMODE_VERTICAL = 0x0001;
inline constexpr DWORD DBIF_VIEWMODE_FLOATING = 0x0002;
inline constexpr DWORD DBIF_VIEWMODE_TRANSPARENT = 0x0004;

struct DESKBANDINFO {
  DWORD dwMask;
  POINTL ptMinSize;
  POINTL ptMaxSize;
  POINTL ptIntegral;
  POINTL ptActual;
  WCHAR wszTitle[256];
  DWORD dwModeFlags;
  COLORREF crBkgnd;
};

// The byte stream a persistent object reads and writes (the first two slots
// of the Windows stream, which is all a caller of this suite needs).
struct IStream : IUnknown {
  [[nodiscard]] virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  [[nodiscard]] virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IOleWindow : IUnknown {
  [[nodiscard]] virtual HRESULT GetWindow(HWND* phwnd) = 0;
  [[nodiscard]] virtual HRESULT ContextSensitiveHelp(BOOL fEnterMode) = 0;
};

struct IDockingWindow : IOleWindow {
  [[nodiscard]] virtual HRESULT ShowDW(BOOL fShow) = 0;
  [[nodiscard]] virtual HRESULT CloseDW(DWORD dwReserved) = 0;
  [[nodiscard]] virtual HRESULT ResizeBorderDW(const RECT* prcBorder, IUnknown* punkToolbarSite,
                                               BOOL fReserved) = 0;
};

struct IDeskBand : IDockingWindow {
  [[nodiscard]] virtual HRESULT GetBandInfo(DWORD dwBandID, DWORD dwViewMode,
                                            DESKBANDINFO* pdbi) = 0;
};

struct IObjectWithSite : IUnknown {
  [[nodiscard]] virtual HRESULT SetSite(IUnknown* pUnkSite) = 0;
  [[nodiscard]] virtual HRESULT GetSite(REFIID riid, void** ppvSite) = 0;
};

struct IInputObjectSite : IUnknown {
  [[nodiscard]] virtual HRESULT OnFocusChangeIS(IUnknown* punkObj, BOOL fSetFocus) = 0;
};

struct IInputObject : IUnknown {
  [[nodiscard]] virtual HRESULT UIActivateIO(BOOL fActivate, MSG* pMsg) = 0;
  [[nodiscard]] virtual HRESULT HasFocusIO() = 0;
  [[nodiscard]] virtual HRESULT TranslateAcceleratorIO(MSG* pMsg) = 0;
};

struct IPersistStream : IPersist {
  [[nodiscard]] virtual HRESULT IsDirty() = 0;
  [[nodiscard]] virtual HRESULT Load(IStream* pStm) = 0;
  [[nodiscard]] virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
  [[nodiscard]] virtual HRESULT GetSizeMax(std::uint64_t* pcbSize) = 0;
};

struct IProvideClassInfo : IUnknown {
  [[nodiscard]] virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;
};
