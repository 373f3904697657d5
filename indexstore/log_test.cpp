// The diagnostic log: the exact record layouts, the error object handed
// over and cleared, file modes, and the size limit applied by Init.
#include "indexstore/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "indexstore/string_table.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/error_info.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using trovix::testing::ReadFile;

class LogTest : public OrdalisTest {
 protected:
  std::string LogPath() const { return tree_->state() + "/Quillon/trovlog.txt"; }

  void MakeSparseLog(off_t size) {
    std::filesystem::create_directories(tree_->state() + "/Quillon");
    trovix::testing::WriteFile(LogPath(), "");
    ASSERT_EQ(truncate(LogPath().c_str(), size), 0);
  }
};

const char* const kHead =
    "\n------------------------------\n"
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n";

TEST_F(LogTest, FailureRecordCarriesAndClearsTheErrorObject) {
  SetErrorInfo({u"Engine", u"disk on fire"});
  LogFailure(LogPath(), "indexstore/catalogue.cpp", 42, static_cast<HRESULT>(0x8004600Au));
  EXPECT_FALSE(TakeErrorInfo().has_value()) << "writing the record takes the error object";
  LogFailure(LogPath(), "indexstore/catalogue.cpp", 43, E_FAIL);
  const std::string expected = std::string(kHead) +
                               "File:\\[indexstore/catalogue.cpp\\]\nLine:\\[42\\]\n"
                               "HRESULT:\\[0x8004600a\\]\n\tSource:\\[Engine\\]\n"
                               "\tDescription:\\[disk on fire\\]" +
                               kHead +
                               "File:\\[indexstore/catalogue.cpp\\]\nLine:\\[43\\]\n"
                               "HRESULT:\\[0x80004005\\]";
  EXPECT_TRUE(std::regex_match(ReadFile(LogPath()), std::regex(expected))) << ReadFile(LogPath());
  struct stat st {};
  ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogTest, MessageRecordHasTheStatusTextAndTheTableEntry) {
  LogMessage("indexstore/maintenance.cpp", 7, S_OK, IDS_COMPACTION_FAILED);
  LogMessage("indexstore/maintenance.cpp", 8, E_UNEXPECTED, 0);
  const std::string expected = std::string(kHead) +
                               "File:\\[indexstore/maintenance.cpp\\]\nLine:\\[7\\]\n"
                               "HRESULT:\\[0x00000000\\]\nThe operation completed successfully\\.\n"
                               "\\[Database compaction failed\\]" +
                               kHead +
                               "File:\\[indexstore/maintenance.cpp\\]\nLine:\\[8\\]\n"
                               "HRESULT:\\[0x8000ffff\\]\nCatastrophic failure\\.";
  EXPECT_TRUE(std::regex_match(ReadFile(LogPath()), std::regex(expected))) << ReadFile(LogPath());
}

TEST_F(LogTest, AFailureRepeatedInALoopIsWrittenOnceAndThenCounted) {
  for (int i = 0; i < 10000; ++i) {
    SetErrorInfo({u"Engine", u"file is not a database"});
    LogFailure(LogPath(), "indexstore/engine.cpp", 60, static_cast<HRESULT>(0x8004601Au));
  }
  LogMessage("indexstore/maintenance.cpp", 8, E_UNEXPECTED, 0);
  const std::string failure =
      "File:\\[indexstore/engine.cpp\\]\nLine:\\[60\\]\nHRESULT:\\[0x8004601a\\]";
  const std::string expected =
      std::string(kHead) + failure +
      "\n\tSource:\\[Engine\\]\n\tDescription:\\[file is not a database\\]" + kHead + failure +
      "\nRepeated 9999 more times since [A-Za-z0-9: ]+" + kHead +
      "File:\\[indexstore/maintenance.cpp\\]\nLine:\\[8\\]\nHRESULT:\\[0x8000ffff\\]\n"
      "Catastrophic failure\\.";
  EXPECT_TRUE(std::regex_match(ReadFile(LogPath()), std::regex(expected))) << ReadFile(LogPath());
}

TEST_F(LogTest, AnUnwritableLogLosesTheRecordQuietly) {
  std::filesystem::create_directories(LogPath());  // a folder where the file belongs
  LogFailure(LogPath(), "x.cpp", 1, E_FAIL);
  LogMessage("x.cpp", 1, E_FAIL, 0);
  EXPECT_TRUE(std::filesystem::is_directory(LogPath()));
}

TEST_F(LogTest, InitKeepsALogAtTheLimitAndStartsANewOneAboveIt) {
  CreateDatabaseFile();
  MakeSparseLog(static_cast<off_t>(kLogSizeLimit));
  {
    ComPtr<ITrovixDB> db = Create();
    ASSERT_EQ(db->Init(), S_OK);
    ASSERT_EQ(db->Cleanup(), S_OK);
  }
  EXPECT_EQ(std::filesystem::file_size(LogPath()), kLogSizeLimit);

  MakeSparseLog(static_cast<off_t>(kLogSizeLimit + 1));
  ComPtr<ITrovixDB> db = Create();
  ASSERT_EQ(db->Init(), S_OK);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  UINT n = 0;
  ASSERT_EQ(db->GetLogFileName(nullptr, &n), S_FALSE);
  EXPECT_EQ(n, LogPath().size() + 1);
  ASSERT_EQ(db->Cleanup(), S_OK);
}

TEST_F(LogTest, OversizeCheckCountsBytesNotBlocks) {
  MakeSparseLog(static_cast<off_t>(4) << 30);  // 4 GiB, all of it a hole
  EXPECT_TRUE(IsLogOversized(LogPath()));
  EXPECT_FALSE(IsLogOversized(LogPath() + ".missing"));
}

TEST_F(LogTest, LogFileNameFollowsTheSizeQueryProtocol) {
  ComPtr<ITrovixDB> db = Create();
  UINT n = 0;
  EXPECT_EQ(db->GetLogFileName(nullptr, &n), E_UNEXPECTED);
  CreateDatabaseFile();
  ASSERT_EQ(db->Init(), S_OK);
  EXPECT_EQ(db->GetLogFileName(nullptr, nullptr), E_INVALIDARG);
  ASSERT_EQ(db->GetLogFileName(nullptr, &n), S_FALSE);
  std::vector<WCHAR> buffer(n, u'#');
  UINT small = n - 1;
  EXPECT_EQ(db->GetLogFileName(buffer.data(), &small), E_INVALIDARG);
  EXPECT_EQ(small, n);
  EXPECT_EQ(buffer[0], u'#');
  ASSERT_EQ(db->GetLogFileName(buffer.data(), &n), S_OK);
  EXPECT_EQ(WString(buffer.data()), Utf8ToUtf16(LogPath()));
  ASSERT_EQ(db->Cleanup(), S_OK);
}

}  // namespace
}  // namespace ordalis::testing
