#include "indexstore/trovix_db.h"

#include <new>

#include "indexstore/batch.h"
#include "indexstore/ordalis_typelib.h"
#include "indexstore/relevance.h"
#include "indexstore/snippets.h"
#include "indexstore/term_search.h"
#include "platform/com_object.h"
#include "platform/typelib.h"
#include "shared/itrovixrelevance.h"
#include "shared/itrovixsnippets.h"
#include "shared/itrovixterms.h"

namespace ordalis {
namespace {

using Invoker = HRESULT (*)(ITrovixDB*, const DISPPARAMS*, UINT*);

// Invoke's dispatch table: entry i serves dispatch identifier i + 1.
constexpr Invoker kInvokers[] = {
    InvokeMethod<&ITrovixDB::AddFile>,
    InvokeMethod<&ITrovixDB::FileInDB>,
    InvokeMethod<&ITrovixDB::DriveInDB>,
    InvokeMethod<&ITrovixDB::UpdateFile>,
    InvokeMethod<&ITrovixDB::DeleteFileHard>,
    InvokeMethod<&ITrovixDB::DeleteDir>,
    InvokeMethod<&ITrovixDB::GetFileID>,
    InvokeMethod<&ITrovixDB::GetDirID>,
    InvokeMethod<&ITrovixDB::DirInDB>,
    InvokeMethod<&ITrovixDB::FileNameAndDirIDInDB>,
    InvokeMethod<&ITrovixDB::DirNameAndDriveIDInDB>,
    InvokeMethod<&ITrovixDB::RenameDirectory>,
    InvokeMethod<&ITrovixDB::RenameFile>,
    InvokeMethod<&ITrovixDB::GetDB>,
    InvokeMethod<&ITrovixDB::FileDueForUpdate>,
    InvokeMethod<&ITrovixDB::Init>,
    InvokeMethod<&ITrovixDB::Cleanup>,
    InvokeMethod<&ITrovixDB::GetDBFileName>,
    InvokeMethod<&ITrovixDB::GetLogFileName>,
    InvokeMethod<&ITrovixDB::FindFirstDuplicateFile>,
    InvokeMethod<&ITrovixDB::FindNextDuplicateFile>,
    InvokeMethod<&ITrovixDB::FindCloseDuplicateFile>,
    InvokeMethod<&ITrovixDB::GetDirIDByNameAndDriveID>,
    InvokeMethod<&ITrovixDB::IndexFile>,
    InvokeMethod<&ITrovixDB::UnIndexFile>,
    InvokeMethod<&ITrovixDB::SetDBFileName>,
    InvokeMethod<&ITrovixDB::GetFileTextType>,
    InvokeMethod<&ITrovixDB::FileIndexed>,
    InvokeMethod<&ITrovixDB::CompactDatabase>,
    InvokeMethod<&ITrovixDB::GetCompactionStats>,
    InvokeMethod<&ITrovixDB::GetIndexedFileCount>,
    InvokeMethod<&ITrovixDB::GetLastIndexedFile>,
    InvokeMethod<&ITrovixDB::SetIndexingCancelledFlag>,
    InvokeMethod<&ITrovixDB::GetProcessedFileCount>,
    InvokeMethod<&ITrovixDB::SearchOpenWord>,
    InvokeMethod<&ITrovixDB::SearchNext>,
    InvokeMethod<&ITrovixDB::SearchClose>,
    InvokeMethod<&ITrovixDB::GetDBFileSize>,
    InvokeMethod<&ITrovixDB::SearchGetSize>,
    InvokeMethod<&ITrovixDB::OpenWordEnumeration>,
    InvokeMethod<&ITrovixDB::NextWordEnumeration>,
    InvokeMethod<&ITrovixDB::SkipWordEnumeration>,
    InvokeMethod<&ITrovixDB::CloseWordEnumeration>,
    InvokeMethod<&ITrovixDB::GetModuleInfo>,
    InvokeMethod<&ITrovixDB::QueryCleanup>,
    InvokeMethod<&ITrovixDB::GetCompactionSpaceFree>,
    InvokeMethod<&ITrovixDB::IsCompacting>,
    InvokeMethod<&ITrovixDB::SearchRewind>,
    InvokeMethod<&ITrovixDB::SearchCleanupFileQry>,
    InvokeMethod<&ITrovixDB::SearchOpenFileType>,
    InvokeMethod<&ITrovixDB::SearchOpenIntersection>,
    InvokeMethod<&ITrovixDB::SearchNextCombined>,
    InvokeMethod<&ITrovixDB::ClearSearch>,
    InvokeMethod<&ITrovixDB::RequeryStatistics>,
    InvokeMethod<&ITrovixDB::SearchOpenSubtraction>,
};
static_assert(std::size(kInvokers) == kMethodCount);

// The connection point container's enumeration: always empty.
class EmptyConnectionPoints final
    : public ComObject<IEnumConnectionPoints, IID_IEnumConnectionPoints> {
 public:
  EmptyConnectionPoints() : ComObject(&g_live_objects) {}

  HRESULT Next(ULONG /*cConnections*/, IConnectionPoint** ppCP, ULONG* pcFetched) override {
    if (ppCP == nullptr) return E_POINTER;
    if (pcFetched != nullptr) *pcFetched = 0;
    return S_FALSE;
  }
  HRESULT Skip(ULONG cConnections) override { return cConnections == 0 ? S_OK : S_FALSE; }
  HRESULT Reset() override { return S_OK; }
  HRESULT Clone(IEnumConnectionPoints** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = new (std::nothrow) EmptyConnectionPoints();
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
  }
};

}  // namespace

std::atomic<long> g_live_objects{0};
std::atomic<long> g_server_locks{0};

TrovixDB::TrovixDB() { ++g_live_objects; }
TrovixDB::~TrovixDB() = default;

TrovixDB* TrovixDB::Create() { return new (std::nothrow) TrovixDB(); }

HRESULT TrovixDB::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_ITrovixDB || riid == IID_IDispatch || riid == IID_IUnknown) {
    *ppv = static_cast<ITrovixDB*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_ITrovixBatch) {
    *ppv = static_cast<ITrovixBatch*>(this);
  } else if (riid == IID_ITrovixReader) {
    *ppv = static_cast<ITrovixReader*>(this);
  } else if (riid == IID_ITrovixResultRows) {
    *ppv = static_cast<ITrovixResultRows*>(this);
  } else if (riid == IID_ITrovixRelevance) {
    return CreateRelevance(ppv);  // an object of its own, with its own reference
  } else if (riid == IID_ITrovixTerms) {
    return CreateTermSearch(ppv);  // likewise
  } else if (riid == IID_ITrovixSnippets) {
    return CreateSnippets(ppv);  // likewise
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG TrovixDB::AddRef() { return ++refs_; }

ULONG TrovixDB::Release() {
  return ReleaseModuleObject(refs_, &g_live_objects, [this] { delete this; });
}

HRESULT TrovixDB::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT TrovixDB::GetTypeInfo(UINT iTInfo, LCID /*lcid*/, ITypeInfo** ppTInfo) {
  return DispatchTypeInfo(TrovixDBInterfaceType(), iTInfo, ppTInfo, &g_live_objects);
}

HRESULT TrovixDB::GetIDsOfNames(REFIID riid, const WCHAR* const* rgszNames, UINT cNames,
                                LCID /*lcid*/, DISPID* rgDispId) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNNAME;
  return IdsOfNames(TrovixDBInterfaceType(), rgszNames, cNames, rgDispId);
}

HRESULT TrovixDB::Invoke(DISPID dispIdMember, REFIID riid, LCID /*lcid*/, WORD wFlags,
                         DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* /*pExcepInfo*/,
                         UINT* puArgErr) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNNAME;
  if (dispIdMember < 1 || dispIdMember > kMethodCount || (wFlags & DISPATCH_METHOD) == 0) {
    return DISP_E_MEMBERNOTFOUND;
  }
  const HRESULT hr = kInvokers[dispIdMember - 1](this, pDispParams, puArgErr);
  // The methods' status is the call's result: a failure status is returned
  // as it is, a success status (S_FALSE, DB_S_ENDOFROWSET) also reaches the
  // caller through the result variant.
  if (pVarResult != nullptr) {
    VariantInit(pVarResult);
    pVarResult->vt = VT_HRESULT;
    pVarResult->scode = hr;
  }
  return hr;
}

HRESULT TrovixDB::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_ITrovixDB ? S_OK : S_FALSE;
}

HRESULT TrovixDB::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = new (std::nothrow) EmptyConnectionPoints();
  return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT TrovixDB::FindConnectionPoint(REFIID /*riid*/, IConnectionPoint** ppCP) {
  if (ppCP == nullptr) return E_POINTER;
  *ppCP = nullptr;
  return CONNECT_E_NOCONNECTION;
}

// These five never do anything.
HRESULT TrovixDB::OpenWordEnumeration(const WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::NextWordEnumeration(UINT, WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::SkipWordEnumeration(UINT, UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::CloseWordEnumeration(UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchNextCombined(UINT, UINT) { return E_NOTIMPL; }

}  // namespace ordalis
