// The component interfaces of the platform layer. Each is an abstract class
// whose virtual functions stand in the Windows order, so a vtable slot means
// the same method everywhere; identifiers are the Windows ones (guid.h).
#pragma once

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/types.h"
#include "platform/variant.h"

struct IUnknown {
  [[nodiscard]] virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects die through Release only
};

struct IClassFactory : IUnknown {
  [[nodiscard]] virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  [[nodiscard]] virtual HRESULT LockServer(BOOL lock) = 0;
};

struct DISPPARAMS {
  VARIANT* rgvarg;  // arguments in reverse order, as IDispatch::Invoke expects
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  const WCHAR* bstrSource;
  const WCHAR* bstrDescription;
  HRESULT scode;
};

inline constexpr WORD DISPATCH_METHOD = 1;
inline constexpr DISPID DISPID_UNKNOWN = -1;

// The type description a type library holds for one interface or class. This
// is the part of the Windows ITypeInfo that the suite uses, in a vtable of its
// own; strings handed out are static and are not freed by the caller.
struct ITypeInfo : IUnknown {
  // The type's identifier, name and help string.
  [[nodiscard]] virtual HRESULT GetTypeGuid(GUID* guid) = 0;
  [[nodiscard]] virtual HRESULT GetDocumentation(DISPID memid, const WCHAR** name,
                                                 const WCHAR** doc_string) = 0;
  [[nodiscard]] virtual HRESULT GetFuncCount(UINT* count) = 0;
  // Dispatch identifier of the function at `index` (0-based).
  [[nodiscard]] virtual HRESULT GetFuncId(UINT index, DISPID* memid) = 0;
  // The method name followed by its parameter names.
  [[nodiscard]] virtual HRESULT GetNames(DISPID memid, const WCHAR** names, UINT max_names,
                                         UINT* count) = 0;
  [[nodiscard]] virtual HRESULT GetIDsOfNames(const WCHAR* const* names, UINT count,
                                              DISPID* memids) = 0;
};

struct IDispatch : IUnknown {
  [[nodiscard]] virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  [[nodiscard]] virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  [[nodiscard]] virtual HRESULT GetIDsOfNames(REFIID riid, const WCHAR* const* rgszNames,
                                              UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
  [[nodiscard]] virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                       DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                       EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};

struct ISupportErrorInfo : IUnknown {
  [[nodiscard]] virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IConnectionPointContainer;

struct IConnectionPoint : IUnknown {
  [[nodiscard]] virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
  [[nodiscard]] virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  [[nodiscard]] virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  [[nodiscard]] virtual HRESULT Unadvise(DWORD dwCookie) = 0;
  [[nodiscard]] virtual HRESULT EnumConnections(IUnknown** ppEnum) = 0;
};

struct IEnumConnectionPoints : IUnknown {
  [[nodiscard]] virtual HRESULT Next(ULONG cConnections, IConnectionPoint** ppCP,
                                     ULONG* pcFetched) = 0;
  [[nodiscard]] virtual HRESULT Skip(ULONG cConnections) = 0;
  [[nodiscard]] virtual HRESULT Reset() = 0;
  [[nodiscard]] virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;
};

struct IConnectionPointContainer : IUnknown {
  [[nodiscard]] virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  [[nodiscard]] virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};
