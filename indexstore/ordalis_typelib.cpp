#include "indexstore/ordalis_typelib.h"

#include <iterator>

#include "shared/itrovixdb.h"

namespace ordalis {
namespace {

constexpr WORD kIn = PARAMFLAG_FIN;
constexpr WORD kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
constexpr WORD kOut = PARAMFLAG_FOUT;

// Parameter kinds of the interface, as the type library declares them.
constexpr VARTYPE kString = VT_LPWSTR;
constexpr auto kByRef = [](VARTYPE t) { return static_cast<VARTYPE>(t | VT_BYREF); };

constexpr ParamDesc kAddFileParams[] = {{u"sFile", kString, kIn}};
constexpr ParamDesc kFileInDBParams[] = {{u"sFile", kString, kIn}};
constexpr ParamDesc kDriveInDBParams[] = {{u"sDrive", kString, kIn},
                                          {u"pDriveID", kByRef(VT_I4), kOut}};
constexpr ParamDesc kUpdateFileParams[] = {{u"szFN", kString, kIn}};
constexpr ParamDesc kDeleteFileHardParams[] = {{u"sFile", kString, kIn}};
constexpr ParamDesc kDeleteDirParams[] = {{u"sDir", kString, kIn}};
constexpr ParamDesc kGetFileIDParams[] = {{u"sFile", kString, kIn}, {u"pID", kByRef(VT_I4), kOut}};
constexpr ParamDesc kGetDirIDParams[] = {{u"sDir", kString, kIn}, {u"pID", kByRef(VT_I4), kOut}};
constexpr ParamDesc kDirInDBParams[] = {{u"sDir", kString, kIn}};
constexpr ParamDesc kFileNameAndDirIDInDBParams[] = {{u"sFN", kString, kIn},
                                                     {u"nDirID", VT_I4, kIn}};
constexpr ParamDesc kDirNameAndDriveIDInDBParams[] = {{u"sDir", kString, kIn},
                                                      {u"nDriveID", VT_I4, kIn}};
constexpr ParamDesc kRenameDirectoryParams[] = {{u"sOld", kString, kIn}, {u"sNew", kString, kIn}};
constexpr ParamDesc kRenameFileParams[] = {{u"sOld", kString, kIn}, {u"sNew", kString, kIn}};
constexpr ParamDesc kGetDBParams[] = {{u"pV", kByRef(VT_VARIANT), kOut}};
constexpr ParamDesc kFileDueForUpdateParams[] = {{u"sFile", kString, kIn}};
constexpr ParamDesc kGetDBFileNameParams[] = {{u"sFN", kString, kInOut},
                                              {u"pcch", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kGetLogFileNameParams[] = {{u"sFile", kString, kInOut},
                                               {u"pcch", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kFindFirstDuplicateFileParams[] = {{u"sFile", kString, kIn},
                                                       {u"sOutFile", kString, kInOut},
                                                       {u"cch", VT_UI4, kIn},
                                                       {u"pHandle", kByRef(VT_UI4), kOut}};
constexpr ParamDesc kFindNextDuplicateFileParams[] = {
    {u"sFile", kString, kInOut}, {u"cch", VT_UI4, kIn}, {u"pHandle", VT_UI4, kIn}};
constexpr ParamDesc kFindCloseDuplicateFileParams[] = {{u"pHandle", VT_UI4, kIn}};
constexpr ParamDesc kGetDirIDByNameAndDriveIDParams[] = {
    {u"sDir", kString, kIn}, {u"nDriveID", VT_I4, kIn}, {u"pDirId", kByRef(VT_I4), kOut}};
constexpr ParamDesc kIndexFileParams[] = {{u"sFile", kString, kIn},
                                          {u"pbContinue", kByRef(VT_UINT), kIn},
                                          {u"pID", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kUnIndexFileParams[] = {{u"sFile", kString, kIn}, {u"nID", VT_UINT, kIn}};
constexpr ParamDesc kSetDBFileNameParams[] = {{u"s", kString, kIn}};
constexpr ParamDesc kGetFileTextTypeParams[] = {{u"s", kString, kIn},
                                                {u"pnType", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kFileIndexedParams[] = {{u"s", kString, kIn}};
constexpr ParamDesc kGetCompactionStatsParams[] = {{u"pcFilesAdded", kByRef(VT_UINT), kOut},
                                                   {u"pcFilesUpdated", kByRef(VT_UINT), kOut},
                                                   {u"pcFilesIndexed", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kGetIndexedFileCountParams[] = {{u"pcFilesIndexed", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kGetLastIndexedFileParams[] = {{u"s", kString, kInOut},
                                                   {u"pcch", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kSetIndexingCancelledFlagParams[] = {{u"bCancel", VT_UINT, kIn}};
constexpr ParamDesc kGetProcessedFileCountParams[] = {{u"pCount", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kSearchOpenWordParams[] = {{u"s", kString, kIn},
                                               {u"phSearch", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kSearchNextParams[] = {{u"hSearch", VT_UINT, kIn}, {u"v", VT_UINT_PTR, kIn}};
constexpr ParamDesc kSearchCloseParams[] = {{u"hSearch", VT_UINT, kIn}};
constexpr ParamDesc kGetDBFileSizeParams[] = {{u"pcbSize", kByRef(VT_UI4), kOut}};
constexpr ParamDesc kSearchGetSizeParams[] = {{u"hSearch", VT_UINT, kIn},
                                              {u"pSize", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kOpenWordEnumerationParams[] = {{u"sWord", kString, kIn},
                                                    {u"pHandle", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kNextWordEnumerationParams[] = {
    {u"hEnum", VT_UINT, kIn}, {u"sWord", kString, kInOut}, {u"pcch", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kSkipWordEnumerationParams[] = {{u"hEnum", VT_UINT, kIn},
                                                    {u"cSkip", VT_UINT, kIn}};
constexpr ParamDesc kCloseWordEnumerationParams[] = {{u"hEnum", VT_UINT, kIn}};
constexpr ParamDesc kGetModuleInfoParams[] = {{u"p", VT_UINT_PTR, kIn},
                                              {u"pccb", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kQueryCleanupParams[] = {{u"sQry", kString, kInOut},
                                             {u"pcch", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kGetCompactionSpaceFreeParams[] = {{u"pccb", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kSearchRewindParams[] = {{u"hSearch", VT_UINT, kIn}};
constexpr ParamDesc kSearchCleanupFileQryParams[] = {
    {u"sQry", kString, kIn}, {u"sCleanQry", kString, kInOut}, {u"pcch", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kSearchOpenFileTypeParams[] = {{u"s", kString, kIn},
                                                   {u"phSearch", kByRef(VT_UINT), kOut}};
constexpr ParamDesc kSearchOpenIntersectionParams[] = {
    {u"hIn0", VT_UINT, kIn}, {u"hIn1", VT_UINT, kIn}, {u"pHOut", kByRef(VT_UINT), kInOut}};
constexpr ParamDesc kSearchNextCombinedParams[] = {{u"hSearch", VT_UINT, kIn},
                                                   {u"uPSP", VT_UINT, kIn}};
constexpr ParamDesc kClearSearchParams[] = {{u"hSearch", VT_UINT, kIn}};
constexpr ParamDesc kSearchOpenSubtractionParams[] = {
    {u"hIn0", VT_UINT, kIn}, {u"hIn1", VT_UINT, kIn}, {u"pHOut", kByRef(VT_UINT), kInOut}};

constexpr FuncDesc kTrovixDBFuncs[] = {
    {1, u"AddFile", u"method AddFile", kAddFileParams},
    {2, u"FileInDB", u"method FileInDB", kFileInDBParams},
    {3, u"DriveInDB", u"method DriveInDB", kDriveInDBParams},
    {4, u"UpdateFile", u"method UpdateFile", kUpdateFileParams},
    {5, u"DeleteFileHard", u"method DeleteFileHard", kDeleteFileHardParams},
    {6, u"DeleteDir", u"method DeleteDir", kDeleteDirParams},
    {7, u"GetFileID", u"method GetFileID", kGetFileIDParams},
    {8, u"GetDirID", u"method GetDirID", kGetDirIDParams},
    {9, u"DirInDB", u"method DirInDB", kDirInDBParams},
    {10, u"FileNameAndDirIDInDB", u"method FileNameAndDirIDInDB", kFileNameAndDirIDInDBParams},
    {11, u"DirNameAndDriveIDInDB", u"method DirNameAndDriveIDInDB", kDirNameAndDriveIDInDBParams},
    {12, u"RenameDirectory", u"method RenameDirectory", kRenameDirectoryParams},
    {13, u"RenameFile", u"method RenameFile", kRenameFileParams},
    {14, u"GetDB", u"method GetDB", kGetDBParams},
    {15, u"FileDueForUpdate", u"method FileDueForUpdate", kFileDueForUpdateParams},
    {16, u"Init", u"method Init", {}},
    {17, u"Cleanup", u"method Cleanup", {}},
    {18, u"GetDBFileName", u"method GetDBFileName", kGetDBFileNameParams},
    {19, u"GetLogFileName", u"method GetLogFileName", kGetLogFileNameParams},
    {20, u"FindFirstDuplicateFile", u"method FindFirstDuplicateFile",
     kFindFirstDuplicateFileParams},
    {21, u"FindNextDuplicateFile", u"method FindNextDuplicateFile", kFindNextDuplicateFileParams},
    {22, u"FindCloseDuplicateFile", u"method FindCloseDuplicateFile",
     kFindCloseDuplicateFileParams},
    {23, u"GetDirIDByNameAndDriveID", u"method GetDirIDByNameAndDriveID",
     kGetDirIDByNameAndDriveIDParams},
    {24, u"IndexFile", u"method IndexFile", kIndexFileParams},
    {25, u"UnIndexFile", u"method UnIndexFile", kUnIndexFileParams},
    {26, u"SetDBFileName", u"method SetDBFileName", kSetDBFileNameParams},
    {27, u"GetFileTextType", u"method GetFileTextType", kGetFileTextTypeParams},
    {28, u"FileIndexed", u"method FileIndexed", kFileIndexedParams},
    {29, u"CompactDatabase", u"method CompactDatabase", {}},
    {30, u"GetCompactionStats", u"method GetCompactionStats", kGetCompactionStatsParams},
    {31, u"GetIndexedFileCount", u"method GetIndexedFileCount", kGetIndexedFileCountParams},
    {32, u"GetLastIndexedFile", u"method GetLastIndexedFile", kGetLastIndexedFileParams},
    {33, u"SetIndexingCancelledFlag", u"method SetIndexingCancelledFlag",
     kSetIndexingCancelledFlagParams},
    {34, u"GetProcessedFileCount", u"method GetProcessedFileCount", kGetProcessedFileCountParams},
    {35, u"SearchOpenWord", u"method SearchOpenWord", kSearchOpenWordParams},
    {36, u"SearchNext", u"method SearchNext", kSearchNextParams},
    {37, u"SearchClose", u"method SearchClose", kSearchCloseParams},
    {38, u"GetDBFileSize", u"method GetDBFileSize", kGetDBFileSizeParams},
    {39, u"SearchGetSize", u"method SearchGetSize", kSearchGetSizeParams},
    {40, u"OpenWordEnumeration", u"method OpenWordEnumeration", kOpenWordEnumerationParams},
    {41, u"NextWordEnumeration", u"method NextWordEnumeration", kNextWordEnumerationParams},
    {42, u"SkipWordEnumeration", u"method SkipWordEnumeration", kSkipWordEnumerationParams},
    {43, u"CloseWordEnumeration", u"method CloseWordEnumeration", kCloseWordEnumerationParams},
    {44, u"GetModuleInfo", u"method GetModuleInfo", kGetModuleInfoParams},
    {45, u"QueryCleanup", u"method QueryCleanup", kQueryCleanupParams},
    {46, u"GetCompactionSpaceFree", u"method GetCompactionSpaceFree",
     kGetCompactionSpaceFreeParams},
    {47, u"IsCompacting", u"method IsCompacting", {}},
    {48, u"SearchRewind", u"method SearchRewind", kSearchRewindParams},
    {49, u"SearchCleanupFileQry", u"method SearchCleanupFileQry", kSearchCleanupFileQryParams},
    {50, u"SearchOpenFileType", u"method SearchOpenFileType", kSearchOpenFileTypeParams},
    {51, u"SearchOpenIntersection", u"method SearchOpenIntersection",
     kSearchOpenIntersectionParams},
    {52, u"SearchNextCombined", u"method SearchNextCombined", kSearchNextCombinedParams},
    {53, u"ClearSearch", u"method ClearSearch", kClearSearchParams},
    {54, u"RequeryStatistics", u"method RequeryStatistics", {}},
    {55, u"SearchOpenSubtraction", u"method SearchOpenSubtraction", kSearchOpenSubtractionParams},
};
static_assert(std::size(kTrovixDBFuncs) == kMethodCount);

constexpr TypeDesc kTypes[] = {
    {TypeKind::kDispatch,
     DIID__ITrovixDBEvents,
     u"_ITrovixDBEvents",
     u"_ITrovixDBEvents Interface",
     {}},
    {TypeKind::kCoClass, CLSID_TrovixDB, u"TrovixDB", u"TrovixDB Class", {}},
    {TypeKind::kDualInterface, IID_ITrovixDB, u"ITrovixDB", u"ITrovixDB Interface", kTrovixDBFuncs},
    {TypeKind::kDispatch,
     DIID__ITrovixDB2Events,
     u"_ITrovixDB2Events",
     u"_ITrovixDB2Events Interface",
     {}},
};

constexpr TypeLibDesc kOrdalisLib = {
    LIBID_ORDALISLib, u"ORDALISLib", u"Ordalis 1.0 Type Library", 1, 0, kTypes};

}  // namespace

const TypeLibDesc& OrdalisTypeLib() { return kOrdalisLib; }

const TypeDesc& TrovixDBInterfaceType() { return kTypes[2]; }

}  // namespace ordalis
