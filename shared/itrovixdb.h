// The index store's component interface, its classes and identifiers.
// Nothing links against the index store: clients create it by class
// identifier through CoCreateInstance and talk to it through ITrovixDB only.
//
// Conventions of every method: S_OK for done or yes; S_FALSE for no, not
// found, already present, or (buffer getters with a null buffer) size
// returned; E_INVALIDARG for null, empty or over-long strings and too small
// buffers; E_UNEXPECTED before Init, after Cleanup or during compaction;
// E_FAIL for an unexpected engine answer; DB_S_ENDOFROWSET at the end of a
// result; an engine failure code after a record in the diagnostic log.
// Strings passed in stay the caller's; strings handed out are copied into the
// caller's buffer with the size-query protocol.
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr GUID LIBID_ORDALISLib = MakeGuid("{BB3406B2-FBD3-4352-97B4-5A61C2FCC6C2}");
inline constexpr IID IID_ITrovixDB = MakeGuid("{15AA8B43-2D99-4F9C-96C2-7EC2811072CF}");
inline constexpr CLSID CLSID_TrovixDB = MakeGuid("{26C95553-D9BE-43DB-ABCE-E24019190A41}");
inline constexpr IID DIID__ITrovixDBEvents = MakeGuid("{F15470CD-D50E-42DD-BFCC-A9CD67983002}");
inline constexpr CLSID CLSID_TrovixDB2 = MakeGuid("{963DA8B2-6A9F-45DC-A7A9-6378A5B0B937}");
inline constexpr IID DIID__ITrovixDB2Events = MakeGuid("{24417636-4E9D-4212-A9C5-A3CAA8913FDB}");

// The methods stand in dispatch-identifier order, 1 to 55, after the seven
// entries of IDispatch. Parameters that carry an address are pointer-sized
// (UINT_PTR); handles are 32-bit and never 0.
struct ITrovixDB : IDispatch {
  [[nodiscard]] virtual HRESULT AddFile(const WCHAR* sFile) = 0;
  [[nodiscard]] virtual HRESULT FileInDB(const WCHAR* sFile) = 0;
  [[nodiscard]] virtual HRESULT DriveInDB(const WCHAR* sDrive, INT* pDriveID) = 0;
  [[nodiscard]] virtual HRESULT UpdateFile(const WCHAR* szFN) = 0;
  [[nodiscard]] virtual HRESULT DeleteFileHard(const WCHAR* sFile) = 0;
  [[nodiscard]] virtual HRESULT DeleteDir(const WCHAR* sDir) = 0;
  [[nodiscard]] virtual HRESULT GetFileID(const WCHAR* sFile, INT* pID) = 0;
  [[nodiscard]] virtual HRESULT GetDirID(const WCHAR* sDir, INT* pID) = 0;
  [[nodiscard]] virtual HRESULT DirInDB(const WCHAR* sDir) = 0;
  [[nodiscard]] virtual HRESULT FileNameAndDirIDInDB(const WCHAR* sFN, INT nDirID) = 0;
  [[nodiscard]] virtual HRESULT DirNameAndDriveIDInDB(const WCHAR* sDir, INT nDriveID) = 0;
  [[nodiscard]] virtual HRESULT RenameDirectory(const WCHAR* sOld, const WCHAR* sNew) = 0;
  [[nodiscard]] virtual HRESULT RenameFile(const WCHAR* sOld, const WCHAR* sNew) = 0;
  [[nodiscard]] virtual HRESULT GetDB(VARIANT* pV) = 0;
  [[nodiscard]] virtual HRESULT FileDueForUpdate(const WCHAR* sFile) = 0;
  [[nodiscard]] virtual HRESULT Init() = 0;
  [[nodiscard]] virtual HRESULT Cleanup() = 0;
  [[nodiscard]] virtual HRESULT GetDBFileName(WCHAR* sFN, UINT* pcch) = 0;
  [[nodiscard]] virtual HRESULT GetLogFileName(WCHAR* sFile, UINT* pcch) = 0;
  [[nodiscard]] virtual HRESULT FindFirstDuplicateFile(const WCHAR* sFile, WCHAR* sOutFile,
                                                       UINT cch, UINT* pHandle) = 0;
  [[nodiscard]] virtual HRESULT FindNextDuplicateFile(WCHAR* sFile, UINT cch, UINT pHandle) = 0;
  [[nodiscard]] virtual HRESULT FindCloseDuplicateFile(UINT pHandle) = 0;
  [[nodiscard]] virtual HRESULT GetDirIDByNameAndDriveID(const WCHAR* sDir, INT nDriveID,
                                                         INT* pDirId) = 0;
  [[nodiscard]] virtual HRESULT IndexFile(const WCHAR* sFile, UINT* pbContinue, UINT* pID) = 0;
  [[nodiscard]] virtual HRESULT UnIndexFile(const WCHAR* sFile, UINT nID) = 0;
  [[nodiscard]] virtual HRESULT SetDBFileName(const WCHAR* s) = 0;
  [[nodiscard]] virtual HRESULT GetFileTextType(const WCHAR* s, UINT* pnType) = 0;
  [[nodiscard]] virtual HRESULT FileIndexed(const WCHAR* s) = 0;
  [[nodiscard]] virtual HRESULT CompactDatabase() = 0;
  [[nodiscard]] virtual HRESULT GetCompactionStats(UINT* pcFilesAdded, UINT* pcFilesUpdated,
                                                   UINT* pcFilesIndexed) = 0;
  [[nodiscard]] virtual HRESULT GetIndexedFileCount(UINT* pcFilesIndexed) = 0;
  [[nodiscard]] virtual HRESULT GetLastIndexedFile(WCHAR* s, UINT* pcch) = 0;
  [[nodiscard]] virtual HRESULT SetIndexingCancelledFlag(UINT bCancel) = 0;
  [[nodiscard]] virtual HRESULT GetProcessedFileCount(UINT* pCount) = 0;
  [[nodiscard]] virtual HRESULT SearchOpenWord(const WCHAR* s, UINT* phSearch) = 0;
  [[nodiscard]] virtual HRESULT SearchNext(UINT hSearch, UINT_PTR v) = 0;
  [[nodiscard]] virtual HRESULT SearchClose(UINT hSearch) = 0;
  [[nodiscard]] virtual HRESULT GetDBFileSize(UINT* pcbSize) = 0;
  [[nodiscard]] virtual HRESULT SearchGetSize(UINT hSearch, UINT* pSize) = 0;
  [[nodiscard]] virtual HRESULT OpenWordEnumeration(const WCHAR* sWord, UINT* pHandle) = 0;
  [[nodiscard]] virtual HRESULT NextWordEnumeration(UINT hEnum, WCHAR* sWord, UINT* pcch) = 0;
  [[nodiscard]] virtual HRESULT SkipWordEnumeration(UINT hEnum, UINT cSkip) = 0;
  [[nodiscard]] virtual HRESULT CloseWordEnumeration(UINT hEnum) = 0;
  [[nodiscard]] virtual HRESULT GetModuleInfo(UINT_PTR p, UINT* pccb) = 0;
  [[nodiscard]] virtual HRESULT QueryCleanup(WCHAR* sQry, UINT* pcch) = 0;
  [[nodiscard]] virtual HRESULT GetCompactionSpaceFree(UINT* pccb) = 0;
  [[nodiscard]] virtual HRESULT IsCompacting() = 0;
  [[nodiscard]] virtual HRESULT SearchRewind(UINT hSearch) = 0;
  [[nodiscard]] virtual HRESULT SearchCleanupFileQry(const WCHAR* sQry, WCHAR* sCleanQry,
                                                     UINT* pcch) = 0;
  [[nodiscard]] virtual HRESULT SearchOpenFileType(const WCHAR* s, UINT* phSearch) = 0;
  [[nodiscard]] virtual HRESULT SearchOpenIntersection(UINT hIn0, UINT hIn1, UINT* pHOut) = 0;
  [[nodiscard]] virtual HRESULT SearchNextCombined(UINT hSearch, UINT uPSP) = 0;
  [[nodiscard]] virtual HRESULT ClearSearch(UINT hSearch) = 0;
  [[nodiscard]] virtual HRESULT RequeryStatistics() = 0;
  [[nodiscard]] virtual HRESULT SearchOpenSubtraction(UINT hIn0, UINT hIn1, UINT* pHOut) = 0;
};
