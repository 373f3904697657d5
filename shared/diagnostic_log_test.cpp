// The diagnostic log's writer: repeats collapsed into counted summaries, on a
// clock the test drives, and the event records other programs write.
#include "shared/diagnostic_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "platform/hresult.h"
#include "platform/testing/private_tree.h"

namespace trovix {
namespace {

using std::chrono::seconds;
using testing::PrivateTree;
using testing::ReadFile;

const std::string kHead =
    "\n------------------------------\n"
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n";
const std::string kTime = "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9: ]+";

std::string Record(const std::string& line, const std::string& rest) {
  return kHead + "File:\\[a\\.cpp\\]\nLine:\\[" + line + "\\]\nHRESULT:\\[0x80004005\\]" + rest;
}

std::string Summary(const std::string& line, int repeats) {
  return Record(line, "\nRepeated " + std::to_string(repeats) + " more times since " + kTime);
}

// A writer on a clock that moves only when the test says so.
class CollapseTest : public ::testing::Test {
 protected:
  std::string Path() const { return tree_.state() + "/log.txt"; }
  void Write(DiagnosticLogWriter& writer, int line, const char* body = "\nbody") {
    writer.Write(Path(), "a.cpp", line, E_FAIL, body);
  }
  void ExpectLog(const std::string& pattern) {
    const std::string text = ReadFile(Path());
    EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text;
  }

  PrivateTree tree_;
  std::chrono::steady_clock::time_point now_{};
  DiagnosticLogWriter::Clock clock_ = [this] { return now_; };
};

TEST_F(CollapseTest, RepeatsAreCountedAndSummedUpWhenAnotherRecordComes) {
  DiagnosticLogWriter writer(seconds(60), clock_);
  for (int i = 0; i < 1000; ++i) Write(writer, 1);
  ExpectLog(Record("1", "\nbody"));
  Write(writer, 2);
  Write(writer, 1, "\nother body");
  Write(writer, 1, "\nother body");
  writer.Flush();
  writer.Flush();  // nothing more is pending
  ExpectLog(Record("1", "\nbody") + Summary("1", 999) + Record("2", "\nbody") +
            Record("1", "\nother body") + Summary("1", 1));
}

TEST_F(CollapseTest, ContinuingRepeatsAreSummedUpOnceAMinute) {
  DiagnosticLogWriter writer(seconds(60), clock_);
  Write(writer, 1);
  for (int i = 0; i < 59; ++i) {
    now_ += seconds(1);
    Write(writer, 1);
  }
  ExpectLog(Record("1", "\nbody"));  // 59 s: still counting
  now_ += seconds(1);
  Write(writer, 1);
  ExpectLog(Record("1", "\nbody") + Summary("1", 60));
  for (int i = 0; i < 60; ++i) {
    now_ += seconds(1);
    Write(writer, 1);
  }
  ExpectLog(Record("1", "\nbody") + Summary("1", 60) + Summary("1", 60));
}

TEST_F(CollapseTest, PendingRepeatsAreWrittenWhenTheWriterGoes) {
  {
    DiagnosticLogWriter writer(seconds(60), clock_);
    Write(writer, 1);
    Write(writer, 1);
  }
  ExpectLog(Record("1", "\nbody") + Summary("1", 1));
}

TEST_F(CollapseTest, TheSameRecordForAnotherFileIsNotARepeat) {
  DiagnosticLogWriter writer(seconds(60), clock_);
  Write(writer, 1);
  writer.Write(Path() + ".other", "a.cpp", 1, E_FAIL, "\nbody");
  Write(writer, 1);
  ExpectLog(Record("1", "\nbody") + Record("1", "\nbody"));
  EXPECT_TRUE(std::regex_match(ReadFile(Path() + ".other"), std::regex(Record("1", "\nbody"))));
}

TEST_F(CollapseTest, ThreadsWritingTogetherLoseNoRepeat) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  {
    DiagnosticLogWriter writer(seconds(60), clock_);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) Write(writer, 1);
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  ExpectLog(Record("1", "\nbody") + Summary("1", kThreads * kEach - 1));
}

TEST(LogEventTest, WritesAnEventRecordToTheDefaultLogAndCollapsesRepeats) {
  PrivateTree tree;
  const std::string path = tree.state() + "/Quillon/trovlog.txt";
  EXPECT_EQ(DefaultDiagnosticLogPath(), path);
  for (int i = 0; i < 3; ++i) LogEvent("indexer/x.cpp", 7, E_FAIL, "the database is damaged");
  LogEvent("indexer/x.cpp", 8, S_OK, "");
  const std::string expected =
      kHead +
      "File:\\[indexer/x\\.cpp\\]\nLine:\\[7\\]\nHRESULT:\\[0x80004005\\]\n"
      "the database is damaged" +
      kHead + "File:\\[indexer/x\\.cpp\\]\nLine:\\[7\\]\nHRESULT:\\[0x80004005\\]\n" +
      "Repeated 2 more times since " + kTime + kHead +
      "File:\\[indexer/x\\.cpp\\]\nLine:\\[8\\]\nHRESULT:\\[0x00000000\\]";
  const std::string text = ReadFile(path);
  EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
}

}  // namespace
}  // namespace trovix
