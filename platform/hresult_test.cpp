#include "platform/hresult.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace {

HRESULT Code(std::uint32_t value) { return static_cast<HRESULT>(value); }

TEST(ErrnoMapping, EveryErrnoSurvivesTheWindowsNumber) {
  std::set<DWORD> seen;
  for (int error = 1; error <= 133; ++error) {
    SCOPED_TRACE(error);
    const DWORD number = Win32ErrorFromErrno(error);
    EXPECT_NE(number, ERROR_SUCCESS);
    EXPECT_LT(number, 0x10000u);  // must fit the 16-bit code of an HRESULT
    EXPECT_TRUE(seen.insert(number).second) << "two errno values share " << number;
    EXPECT_EQ(ErrnoFromWin32Error(number), error);
    EXPECT_EQ(HresultFromErrno(error), HRESULT_FROM_WIN32(number));
  }
  EXPECT_EQ(Win32ErrorFromErrno(0), ERROR_SUCCESS);
  EXPECT_EQ(HresultFromErrno(0), S_OK);
  EXPECT_EQ(ErrnoFromWin32Error(ERROR_SUCCESS), 0);
  EXPECT_EQ(ErrnoFromWin32Error(1234), 0);  // a Windows number with no errno behind it
}

TEST(ErrnoMapping, CommonErrorsHaveTheirWindowsCodes) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Code(0x80070002));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), Code(0x80070005));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
  EXPECT_EQ(HresultFromErrno(ENOENT), Code(0x80070002));
  EXPECT_EQ(HresultFromErrno(EACCES), Code(0x80070005));
  EXPECT_EQ(HresultFromErrno(EINVAL), Code(0x80070057));
}

TEST(StatusCodes, KnownCodesHaveTheirWindowsValuesNamesAndTexts) {
  struct Known {
    std::uint32_t value;
    const char* name;
  };
  // The codes the interfaces promise, with their Windows values.
  const Known known[] = {
      {0x00000000, "S_OK"},
      {0x00000001, "S_FALSE"},
      {0x80004001, "E_NOTIMPL"},
      {0x80004002, "E_NOINTERFACE"},
      {0x80004003, "E_POINTER"},
      {0x80004004, "E_ABORT"},
      {0x80004005, "E_FAIL"},
      {0x8000FFFF, "E_UNEXPECTED"},
      {0x80070057, "E_INVALIDARG"},
      {0x8007000E, "E_OUTOFMEMORY"},
      {0x00040EC6, "DB_S_ENDOFROWSET"},
      {0x80030020, "STG_E_SHAREVIOLATION"},
      {0x80040200, "CONNECT_E_NOCONNECTION"},
      {0x80041700, "FILTER_E_END_OF_CHUNKS"},
      {0x80041701, "FILTER_E_NO_MORE_TEXT"},
      {0x00041709, "FILTER_S_LAST_TEXT"},
  };
  for (const Known& k : known) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(StatusName(Code(k.value)), k.name);
    EXPECT_FALSE(StatusMessage(Code(k.value)).empty());
  }
  EXPECT_EQ(E_FAIL, Code(0x80004005));
  EXPECT_EQ(StatusMessage(E_FAIL), "Unspecified error.");
  EXPECT_EQ(StatusMessage(S_OK), "The operation completed successfully.");
  EXPECT_TRUE(SUCCEEDED(S_FALSE) && SUCCEEDED(DB_S_ENDOFROWSET) && FAILED(E_UNEXPECTED));
}

TEST(StatusCodes, OperatingSystemCodesUseTheirWindowsNamesAndStrerror) {
  const HRESULT not_found = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StatusName(not_found), "ERROR_FILE_NOT_FOUND");
  EXPECT_EQ(StatusMessage(not_found), std::strerror(ENOENT));
  EXPECT_EQ(StatusName(HresultFromErrno(EBUSY)), "ERROR_BUSY");
  // An errno with no Windows name still has its text, and a hex name.
  const HRESULT cross_device = HresultFromErrno(EXDEV);
  EXPECT_EQ(StatusMessage(cross_device), std::strerror(EXDEV));
  char expected[16];
  std::snprintf(expected, sizeof expected, "0x%08x", static_cast<unsigned>(cross_device));
  EXPECT_EQ(StatusName(cross_device), expected);
}

TEST(StatusCodes, UnknownCodesGetAHexNameAndNoText) {
  EXPECT_EQ(StatusName(Code(0x8004ABCD)), "0x8004abcd");
  EXPECT_EQ(StatusMessage(Code(0x8004ABCD)), "");
  // A Windows error number that has no errno behind it.
  EXPECT_EQ(StatusName(Code(0x800704D2)), "0x800704d2");
  EXPECT_EQ(StatusMessage(Code(0x800704D2)), "");
}

}  // namespace
