#include "indexstore/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "indexstore/string_table.h"
#include "platform/error_info.h"
#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

// "Sat Dec 05 20:29:39 2026": English names whatever the process locale is,
// which strftime would follow.
std::string LocalTimeText() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d", kDays[tm.tm_wday % 7],
                kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                tm.tm_year + 1900);
  return text;
}

std::string RecordHead(const char* file, int line, HRESULT hr) {
  char status[32];
  std::snprintf(status, sizeof status, "\nHRESULT:[0x%.8x]", static_cast<unsigned>(hr));
  return "\n------------------------------\n" + LocalTimeText() + "\nFile:[" + file +
         "]\nLine:[" + std::to_string(line) + "]" + status;
}

// One write with O_APPEND, so records of several processes never interleave.
void AppendRecord(const std::string& path, const std::string& record) {
  if (path.empty()) return;
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (MakePrivateDirs(folder) != 0) return;
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t written = write(fd, record.data(), record.size());
  static_cast<void>(written);  // a lost record must not fail the method
  close(fd);
}

}  // namespace

std::string DefaultLogPath() {
  const std::string state = SuiteStateDir();
  return state.empty() ? std::string() : state + "/trovlog.txt";
}

void LogFailure(const std::string& log_path, const char* file, int line, HRESULT hr) {
  std::string record = RecordHead(file, line, hr);
  if (std::optional<ErrorRecord> error = TakeErrorInfo()) {
    record += "\n\tSource:[" + Utf16ToUtf8(error->source) + "]\n\tDescription:[" +
              Utf16ToUtf8(error->description) + "]";
  }
  AppendRecord(log_path, record);
}

void LogMessage(const char* file, int line, HRESULT hr, int message_id) {
  std::string record = RecordHead(file, line, hr);
  const std::string text = StatusMessage(hr);
  if (!text.empty()) record += "\n" + text;
  if (message_id != 0) {
    if (std::optional<std::string> entry = LoadModuleString(message_id)) {
      record += "\n[" + *entry + "]";
    }
  }
  AppendRecord(DefaultLogPath(), record);
}

bool IsLogOversized(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool oversized = fstat(fd, &st) == 0 &&
                         static_cast<std::uint64_t>(st.st_size) > kLogSizeLimit;
  close(fd);
  return oversized;
}

}  // namespace ordalis
