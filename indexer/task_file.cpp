#include "indexer/task_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "indexer/long_task_record.h"
#include "platform/paths.h"

namespace trovix::indexer {
namespace {

constexpr std::size_t kKindOffset = 2 * kTaskPathUnits;
constexpr std::size_t kTimeOffset = kKindOffset + 2 * kTaskKindUnits;

void Log(const TaskFileLog& log, const std::string& line) {
  if (log) {
    log(line);
  } else {
    std::fprintf(stderr, "tasklist: %s\n", line.c_str());
  }
}

// The white space the loader trims from the end of each field: blanks pad
// the fields, the rest must not end a path either (invariant 1).
bool IsTrimmed(char16_t unit) { return unit == u' ' || (unit >= u'\t' && unit <= u'\r'); }

void PutUnit(char16_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

char16_t UnitAt(std::string_view bytes, std::size_t index) {
  const auto low = static_cast<unsigned char>(bytes[2 * index]);
  const auto high = static_cast<unsigned char>(bytes[2 * index + 1]);
  return static_cast<char16_t>(low | (high << 8));
}

// The units of a field with its trailing white space removed, though never
// its first unit.
std::u16string TrimmedField(std::string_view bytes, std::size_t units) {
  std::u16string text;
  for (std::size_t i = 0; i < units; ++i) text.push_back(UnitAt(bytes, i));
  std::size_t end = text.size();
  while (end > 1 && IsTrimmed(text[end - 1])) --end;
  text.resize(end);
  return text;
}

bool ParseKind(const std::u16string& text, DWORD* kind) {
  if (text.size() != 1 || text[0] < u'0' + kAdded || text[0] > u'0' + kRenamedNewName) {
    return false;
  }
  *kind = text[0] - u'0';
  return true;
}

std::string Describe(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

constexpr int kNoFile = -2;

// A descriptor of the regular file at `path`, kNoFile when there is none, or
// -1 after a logged error. Opened without blocking so that a FIFO put in its
// place cannot hang the indexer's start.
int OpenTaskFile(const std::string& path, const TaskFileLog& log) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return kNoFile;
    Log(log, Describe("cannot open " + path, errno));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Log(log, path + " is not a regular file");
    close(fd);
    return -1;
  }
  return fd;
}

// Reads up to `size` bytes, fewer only at the end of the file. -1 on error.
ssize_t ReadFully(int fd, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, buffer + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

void LogSkipped(const TaskFileLog& log, std::size_t index, const std::string& why) {
  Log(log, "record " + std::to_string(index) + " skipped: " + why);
}

// 1 when the record completed a task that went into the set, else 0
// (damaged: logged). Plain records and runs of extended ones alike.
int InsertRecord(std::string_view record, std::size_t index, LongTaskReader* runs, TaskSet* tasks,
                 const TaskFileLog& log) {
  IndexTask task;
  std::string why;
  if (!IsLongTaskContinuation(record) && runs->End(&why)) LogSkipped(log, index, why);
  if (IsLongTaskRecord(record)) {
    const LongTaskReader::Step step = runs->Take(record, &task, &why);
    if (step == LongTaskReader::Step::kDamaged) LogSkipped(log, index, why);
    if (step != LongTaskReader::Step::kTask) return 0;
  } else if (!DecodeTaskRecord(record, &task, &why)) {
    LogSkipped(log, index, why);
    return 0;
  }
  return tasks->insert(std::move(task)).second ? 1 : 0;
}

}  // namespace

std::string TaskListPath() {
  const std::string folder = SuiteStateDir();
  return folder.empty() ? std::string() : folder + "/tasklist.bin";
}

bool EncodeTaskRecord(const IndexTask& task, std::string* record) {
  const WString& path = task.path;
  if (path.empty() || path.size() > kTaskPathUnits || IsTrimmed(path.back()) ||
      path.find(u'\0') != WString::npos || task.kind < kAdded || task.kind > kRenamedNewName) {
    return false;
  }
  std::string out;
  out.reserve(kTaskRecordSize);
  for (std::size_t i = 0; i < kTaskPathUnits; ++i) PutUnit(i < path.size() ? path[i] : u' ', &out);
  char kind[kTaskKindUnits + 1];
  std::snprintf(kind, sizeof kind, "%-8u", static_cast<unsigned>(task.kind));
  for (std::size_t i = 0; i < kTaskKindUnits; ++i) PutUnit(static_cast<char16_t>(kind[i]), &out);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((task.time_stamp >> shift) & 0xFF));
  }
  *record = std::move(out);
  return true;
}

bool DecodeTaskRecord(std::string_view record, IndexTask* task, std::string* why) {
  if (record.size() != kTaskRecordSize) {
    *why = "record of " + std::to_string(record.size()) + " bytes";
    return false;
  }
  WString path = TrimmedField(record, kTaskPathUnits);
  if (path.find(u'\0') != WString::npos) {
    *why = "zero unit in the path field";
    return false;
  }
  if (path[0] != u'/') {
    *why = "path is empty or not absolute";
    return false;
  }
  DWORD kind = 0;
  if (!ParseKind(TrimmedField(record.substr(kKindOffset), kTaskKindUnits), &kind)) {
    *why = "kind field is not a change kind";
    return false;
  }
  DWORD stamp = 0;
  for (int i = 3; i >= 0; --i)
    stamp = (stamp << 8) | static_cast<unsigned char>(record[kTimeOffset + i]);
  task->path = std::move(path);
  task->kind = kind;
  task->time_stamp = stamp;
  return true;
}

int SaveTasks(const std::string& path, const TaskSet& tasks, const TaskFileLog& log) {
  std::string bytes;
  std::string record;
  int count = 0;
  for (const IndexTask& task : tasks) {
    record.clear();
    if (!EncodeTaskRecord(task, &record) && !EncodeLongTaskRecords(task, &record)) {
      Log(log, "not saved, a record cannot hold its path exactly: kind " +
                   std::to_string(task.kind) + ", " + std::to_string(task.path.size()) + " units");
      continue;
    }
    bytes += record;
    ++count;
  }
  if (count == 0) {
    const int error = RemoveTaskFile(path);
    if (error != 0) Log(log, Describe("cannot remove " + path, error));
    return error == 0 ? 0 : -1;
  }
  const std::string folder = std::filesystem::path(path).parent_path().string();
  int error = MakePrivateDirs(folder);
  if (error == 0) error = WriteFileAtomically(path, bytes);
  if (error != 0) {
    Log(log, Describe("cannot write " + path, error));
    return -1;
  }
  return count;
}

int LoadTasks(const std::string& path, TaskSet* tasks, const TaskFileLog& log) {
  const int fd = OpenTaskFile(path, log);
  if (fd == kNoFile) return 0;
  if (fd < 0) return -1;
  int count = 0;
  std::size_t records = 0;
  std::array<char, kTaskRecordSize> buffer;
  LongTaskReader runs;
  for (;;) {
    const ssize_t got = ReadFully(fd, buffer.data(), buffer.size());
    if (got < 0) {
      Log(log, Describe("read error in " + path, errno));
      count = -1;
      break;
    }
    if (got == 0) break;
    if (static_cast<std::size_t>(got) < buffer.size()) {
      Log(log, "record " + std::to_string(records) + " cut short at " + std::to_string(got) +
                   " bytes, skipped");
      break;
    }
    if (records++ == kMaxLoadedTasks) {
      Log(log, "more than " + std::to_string(kMaxLoadedTasks) + " records, the rest skipped");
      break;
    }
    count += InsertRecord(std::string_view(buffer.data(), buffer.size()), records - 1, &runs, tasks,
                          log);
  }
  if (std::string why; runs.End(&why)) LogSkipped(log, records, why);
  close(fd);
  return count;
}

int RemoveTaskFile(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return errno;
}

}  // namespace trovix::indexer
