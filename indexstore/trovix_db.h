// The index store object: classes TrovixDB and TrovixDB2 (one method table).
//
// Per-object state is the reference count, the indexing-cancelled flag and
// the open batch of ITrovixBatch (shared/itrovixbatch.h); everything else is
// the module's (index_store_module.h). An object is used, and released, on
// the thread that created it: an open batch holds that thread's write mutex.
#pragma once

#include <atomic>
#include <memory>

#include "shared/itrovixbatch.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixreader.h"
#include "shared/itrovixresultrows.h"

namespace ordalis {

struct Batch;

// Live objects and server locks of the module; the module may be unloaded
// only when both are 0.
extern std::atomic<long> g_live_objects;
extern std::atomic<long> g_server_locks;

class TrovixDB final : public ITrovixDB,
                       public ISupportErrorInfo,
                       public IConnectionPointContainer,
                       public ITrovixBatch,
                       public ITrovixReader,
                       public ITrovixResultRows {
 public:
  // Creates an object with one reference; null when memory runs out.
  static TrovixDB* Create();

  // IUnknown. The interfaces answer in this order: ITrovixDB, IDispatch,
  // ISupportErrorInfo, IConnectionPointContainer, ITrovixBatch,
  // ITrovixReader, ITrovixResultRows (and IUnknown).
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch, from the module's type library.
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, const WCHAR* const* rgszNames, UINT cNames, LCID lcid,
                        DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // ISupportErrorInfo: S_OK for ITrovixDB only.
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  // IConnectionPointContainer: there are no connection points.
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // ITrovixDB.
  HRESULT AddFile(const WCHAR* sFile) override;
  HRESULT FileInDB(const WCHAR* sFile) override;
  HRESULT DriveInDB(const WCHAR* sDrive, INT* pDriveID) override;
  HRESULT UpdateFile(const WCHAR* szFN) override;
  HRESULT DeleteFileHard(const WCHAR* sFile) override;
  HRESULT DeleteDir(const WCHAR* sDir) override;
  HRESULT GetFileID(const WCHAR* sFile, INT* pID) override;
  HRESULT GetDirID(const WCHAR* sDir, INT* pID) override;
  HRESULT DirInDB(const WCHAR* sDir) override;
  HRESULT FileNameAndDirIDInDB(const WCHAR* sFN, INT nDirID) override;
  HRESULT DirNameAndDriveIDInDB(const WCHAR* sDir, INT nDriveID) override;
  HRESULT RenameDirectory(const WCHAR* sOld, const WCHAR* sNew) override;
  HRESULT RenameFile(const WCHAR* sOld, const WCHAR* sNew) override;
  HRESULT GetDB(VARIANT* pV) override;
  HRESULT FileDueForUpdate(const WCHAR* sFile) override;
  HRESULT Init() override;
  HRESULT Cleanup() override;
  HRESULT GetDBFileName(WCHAR* sFN, UINT* pcch) override;
  HRESULT GetLogFileName(WCHAR* sFile, UINT* pcch) override;
  HRESULT FindFirstDuplicateFile(const WCHAR* sFile, WCHAR* sOutFile, UINT cch,
                                 UINT* pHandle) override;
  HRESULT FindNextDuplicateFile(WCHAR* sFile, UINT cch, UINT pHandle) override;
  HRESULT FindCloseDuplicateFile(UINT pHandle) override;
  HRESULT GetDirIDByNameAndDriveID(const WCHAR* sDir, INT nDriveID, INT* pDirId) override;
  HRESULT IndexFile(const WCHAR* sFile, UINT* pbContinue, UINT* pID) override;
  HRESULT UnIndexFile(const WCHAR* sFile, UINT nID) override;
  HRESULT SetDBFileName(const WCHAR* s) override;
  HRESULT GetFileTextType(const WCHAR* s, UINT* pnType) override;
  HRESULT FileIndexed(const WCHAR* s) override;
  HRESULT CompactDatabase() override;
  HRESULT GetCompactionStats(UINT* pcFilesAdded, UINT* pcFilesUpdated,
                             UINT* pcFilesIndexed) override;
  HRESULT GetIndexedFileCount(UINT* pcFilesIndexed) override;
  HRESULT GetLastIndexedFile(WCHAR* s, UINT* pcch) override;
  HRESULT SetIndexingCancelledFlag(UINT bCancel) override;
  HRESULT GetProcessedFileCount(UINT* pCount) override;
  HRESULT SearchOpenWord(const WCHAR* s, UINT* phSearch) override;
  HRESULT SearchNext(UINT hSearch, UINT_PTR v) override;
  HRESULT SearchClose(UINT hSearch) override;
  HRESULT GetDBFileSize(UINT* pcbSize) override;
  HRESULT SearchGetSize(UINT hSearch, UINT* pSize) override;
  HRESULT OpenWordEnumeration(const WCHAR* sWord, UINT* pHandle) override;
  HRESULT NextWordEnumeration(UINT hEnum, WCHAR* sWord, UINT* pcch) override;
  HRESULT SkipWordEnumeration(UINT hEnum, UINT cSkip) override;
  HRESULT CloseWordEnumeration(UINT hEnum) override;
  HRESULT GetModuleInfo(UINT_PTR p, UINT* pccb) override;
  HRESULT QueryCleanup(WCHAR* sQry, UINT* pcch) override;
  HRESULT GetCompactionSpaceFree(UINT* pccb) override;
  HRESULT IsCompacting() override;
  HRESULT SearchRewind(UINT hSearch) override;
  HRESULT SearchCleanupFileQry(const WCHAR* sQry, WCHAR* sCleanQry, UINT* pcch) override;
  HRESULT SearchOpenFileType(const WCHAR* s, UINT* phSearch) override;
  HRESULT SearchOpenIntersection(UINT hIn0, UINT hIn1, UINT* pHOut) override;
  HRESULT SearchNextCombined(UINT hSearch, UINT uPSP) override;
  HRESULT ClearSearch(UINT hSearch) override;
  HRESULT RequeryStatistics() override;
  HRESULT SearchOpenSubtraction(UINT hIn0, UINT hIn1, UINT* pHOut) override;

  // ITrovixBatch (batch.cpp).
  HRESULT PrepareFile(const WCHAR* sFile, UINT* pbContinue, PreparedFile** phFile) override;
  void ReleasePrepared(PreparedFile* hFile) override;
  HRESULT BeginBatch() override;
  HRESULT WritePrepared(PreparedFile* hFile) override;
  HRESULT RemoveFile(const WCHAR* sFile) override;
  HRESULT CommitBatch() override;
  HRESULT AbortBatch() override;
  HRESULT Contended() override;
  HRESULT ReadFolder(const WCHAR* sFolder, ICatalogueRowSink* sink) override;
  HRESULT ReadFolders(const WCHAR* sFolder, ICatalogueFolderSink* sink) override;  // folders.cpp

  // ITrovixReader (connection.cpp).
  HRESULT OpenForReading() override;
  HRESULT CloseForReading() override;

  // ITrovixResultRows (search.cpp, result_rows.cpp).
  HRESULT SearchOpenWordCandidates(const WCHAR* s, UINT* phSearch) override;
  HRESULT ReadResultRows(UINT hSearch, IResultRowSink* sink) override;

 private:
  TrovixDB();
  ~TrovixDB();

  std::atomic<ULONG> refs_{1};
  // Read by IndexFile between batches; set by SetIndexingCancelledFlag.
  std::atomic<UINT> indexing_cancelled_{0};
  // The open batch; null when none. The creating thread's only.
  std::unique_ptr<Batch> batch_;
};

}  // namespace ordalis
