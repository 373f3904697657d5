// Tasks whose paths a plain record of the backlog file cannot hold: they
// survive a save and a load beside plain ones, a reader of plain records
// only skips them and keeps the rest, and damaged runs of extended records
// are skipped without losing the records around them.
#include "indexer/long_task_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "indexer/task_file.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"

namespace trovix::indexer {
namespace {

using trovix::testing::PrivateTree;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;

// An absolute path of exactly `bytes` bytes in UTF-8, of characters one to
// four bytes long.
WString PathOfBytes(std::size_t bytes) {
  std::string path;
  while (path.size() + 14 <= bytes) path += "/\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80x";
  path.append(bytes - path.size(), 'y');
  path[0] = '/';
  return Utf8ToUtf16(path);
}

IndexTask Task(const WString& path, DWORD kind, DWORD time_stamp) {
  return IndexTask{path, kind, time_stamp};
}

bool SameTasks(const TaskSet& a, const TaskSet& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.path == y.path && x.kind == y.kind && x.time_stamp == y.time_stamp;
  });
}

std::string Plain(const WString& path, DWORD kind = kModified) {
  std::string record;
  EXPECT_TRUE(EncodeTaskRecord(Task(path, kind, 9), &record));
  return record;
}

std::string Extended(const WString& path, DWORD kind = kAdded) {
  std::string records;
  EXPECT_TRUE(EncodeLongTaskRecords(Task(path, kind, 7), &records));
  return records;
}

class LongTaskFileTest : public ::testing::Test {
 protected:
  TaskSet Load() {
    TaskSet loaded;
    loaded_ = LoadTasks(file_, &loaded, log_);
    return loaded;
  }

  std::vector<std::string> lines_;
  TaskFileLog log_ = [this](const std::string& line) { lines_.push_back(line); };
  PrivateTree tree_;
  std::string file_ = TaskListPath();
  int loaded_ = 0;
};

TEST_F(LongTaskFileTest, LongPathTasksSurviveASaveAndALoadBesidePlainOnes) {
  TaskSet tasks;
  for (const std::size_t bytes : {259, 260, 261, 1000, 4000, 4095}) {
    tasks.insert(Task(PathOfBytes(bytes), kModified, static_cast<DWORD>(bytes)));
  }
  tasks.insert(Task(u"/h/" + WString(300, u'x'), kRenamedNewName, 1));
  tasks.insert(Task(u"/h/\xDCFF" + WString(400, u'b'), kRemoved, 2));  // a byte not UTF-8
  tasks.insert(Task(u"/h/ends in a blank ", kAdded, 3));               // plain records trim blanks
  tasks.insert(Task(u"/h/plain.txt", kAdded, 4));
  ASSERT_EQ(SaveTasks(file_, tasks, log_), static_cast<int>(tasks.size()));
  EXPECT_TRUE(lines_.empty());
  EXPECT_TRUE(SameTasks(Load(), tasks));
  EXPECT_EQ(loaded_, static_cast<int>(tasks.size()));
  EXPECT_TRUE(lines_.empty()) << lines_.front();
  EXPECT_EQ(ReadFile(file_).size() % kTaskRecordSize, 0u);

  // Past what the catalogue holds, or with a zero unit: no record at all.
  std::string records;
  EXPECT_FALSE(
      EncodeLongTaskRecords(Task(PathOfBytes(kMaxCataloguedPathBytes + 1), kAdded, 0), &records));
  EXPECT_FALSE(EncodeLongTaskRecords(Task(u"/a" + WString(300, u'\0'), kAdded, 0), &records));
  EXPECT_FALSE(EncodeLongTaskRecords(Task(u"relative" + WString(300, u'r'), kAdded, 0), &records));
  EXPECT_FALSE(EncodeLongTaskRecords(Task(PathOfBytes(1000), 6, 0), &records));
  EXPECT_TRUE(records.empty());
}

TEST_F(LongTaskFileTest, AFileOfPlainTasksKeepsItsBytesAndAPlainReaderSkipsExtendedRecords) {
  TaskSet plain;
  plain.insert(Task(u"/h/a.txt", kModified, 9));
  plain.insert(Task(u"/h/b.txt", kModified, 9));
  ASSERT_EQ(SaveTasks(file_, plain, log_), 2);
  EXPECT_EQ(ReadFile(file_), Plain(u"/h/a.txt") + Plain(u"/h/b.txt"));

  // What a reader of plain records only makes of a file with a long task:
  // the run's records are damaged to it, the plain ones around it whole.
  const std::string bytes = Plain(u"/h/a.txt") + Extended(PathOfBytes(2000)) + Plain(u"/h/b.txt");
  std::vector<std::string> read;
  std::size_t damaged = 0;
  for (std::size_t at = 0; at < bytes.size(); at += kTaskRecordSize) {
    IndexTask task;
    std::string why;
    if (DecodeTaskRecord(std::string_view(bytes).substr(at, kTaskRecordSize), &task, &why)) {
      read.push_back(Utf16ToUtf8(task.path));
    } else {
      EXPECT_EQ(why, "zero unit in the path field");
      ++damaged;
    }
  }
  EXPECT_EQ(read, (std::vector<std::string>{"/h/a.txt", "/h/b.txt"}));
  EXPECT_GE(damaged, 2u);
}

TEST_F(LongTaskFileTest, DamagedRunsAreSkippedAndTheRecordsAroundThemKept) {
  const WString long_path = PathOfBytes(1500);
  const std::string run = Extended(long_path);
  ASSERT_GT(run.size(), 2 * kTaskRecordSize);
  std::string bad_length = Extended(PathOfBytes(300));
  bad_length[12] = static_cast<char>(0xFF);  // 4,351 units: more than any path
  bad_length[13] = 0x10;
  std::string bad_kind = Extended(PathOfBytes(300));
  bad_kind[4] = 9;
  const std::string relative = Extended(PathOfBytes(300)).replace(16, 2, std::string("r\0", 2));
  WriteFile(file_, Plain(u"/h/1.txt") +
                       run.substr(0, 2 * kTaskRecordSize) +  // cut short by a plain record
                       Plain(u"/h/2.txt") +
                       run.substr(kTaskRecordSize) +  // continuations without their head
                       bad_length + bad_kind + relative + Plain(u"/h/3.txt") + run +
                       run.substr(0, kTaskRecordSize));  // cut short by the end of the file
  const TaskSet loaded = Load();
  TaskSet expected;
  for (const WString& path : {WString(u"/h/1.txt"), WString(u"/h/2.txt"), WString(u"/h/3.txt")}) {
    expected.insert(Task(path, kModified, 9));
  }
  expected.insert(Task(long_path, kAdded, 7));
  EXPECT_TRUE(SameTasks(loaded, expected));
  EXPECT_EQ(loaded_, 4);
  const auto logged = [&](const std::string& part) {
    return std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  };
  EXPECT_EQ(logged("units cut short"), 2);
  EXPECT_GE(logged("without its first record"), 2);
  EXPECT_EQ(logged("long path of 4351 units"), 1);
  EXPECT_EQ(logged("not a change kind"), 1);
  EXPECT_EQ(logged("not absolute"), 1);
  EXPECT_TRUE(std::filesystem::exists(file_));
}

}  // namespace
}  // namespace trovix::indexer
