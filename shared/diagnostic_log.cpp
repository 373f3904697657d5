#include "shared/diagnostic_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/sync.h"

namespace trovix {
namespace {

constexpr const char kSeparator[] = "\n------------------------------\n";

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

std::string RecordHead(const char* source_file, int line, HRESULT hr) {
  char status[32];
  std::snprintf(status, sizeof status, "\nHRESULT:[0x%.8x]", static_cast<unsigned>(hr));
  return std::string("File:[") + (source_file != nullptr ? source_file : "") + "]\nLine:[" +
         std::to_string(line) + "]" + status;
}

// One write with O_APPEND, so records of several processes never interleave.
void AppendRecord(const std::string& path, const std::string& record) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (MakePrivateDirs(folder) != 0) return;
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t written = write(fd, record.data(), record.size());
  static_cast<void>(written);  // a lost record must not fail the caller
  close(fd);
}

void FlushProcessLogAtExit() { ProcessDiagnosticLog().Flush(); }

// The platform layer cannot link this library; it hands its reports of an
// unsafe runtime folder to this hook for as long as the library is loaded
// (removed again on unload, so the hook never points into unmapped code).
void ReportRuntimeFolder(const std::string& text) {
  LogEvent(__FILE__, __LINE__, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), text);
}
struct RuntimeFolderHook {
  RuntimeFolderHook() { SetRuntimeFolderReporter(&ReportRuntimeFolder); }
  ~RuntimeFolderHook() { SetRuntimeFolderReporter(nullptr); }
};
const RuntimeFolderHook g_runtime_folder_hook;

}  // namespace

std::string DefaultDiagnosticLogPath() {
  const std::string state = SuiteStateDir();
  return state.empty() ? std::string() : state + "/trovlog.txt";
}

void LogEvent(const char* source_file, int line, HRESULT hr, std::string_view text) {
  std::string body;
  if (!text.empty()) body.append("\n").append(text);
  ProcessDiagnosticLog().Write(DefaultDiagnosticLogPath(), source_file, line, hr, body);
}

DiagnosticLogWriter::DiagnosticLogWriter(std::chrono::steady_clock::duration summary_interval,
                                         Clock clock)
    : summary_interval_(summary_interval), clock_(std::move(clock)) {}

DiagnosticLogWriter::~DiagnosticLogWriter() { Flush(); }

void DiagnosticLogWriter::Write(const std::string& path, const char* source_file, int line,
                                HRESULT hr, std::string_view body) {
  if (path.empty()) return;
  std::string head = RecordHead(source_file, line, hr);
  std::string key = head;
  key.append(body);
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  if (path == last_path_ && key == last_key_) {
    ++repeats_;
    if (now - last_written_ >= summary_interval_) FlushLocked();
    return;
  }
  FlushLocked();
  const std::string time_text = LocalTimeText();
  AppendRecord(path, kSeparator + time_text + "\n" + key);
  last_path_ = path;
  last_head_ = std::move(head);
  last_key_ = std::move(key);
  last_written_ = now;
  last_written_text_ = time_text;
}

void DiagnosticLogWriter::Flush() {
  std::lock_guard lock(mutex_);
  FlushLocked();
}

void DiagnosticLogWriter::FlushLocked() {
  if (repeats_ == 0) return;
  const std::string time_text = LocalTimeText();
  AppendRecord(last_path_, kSeparator + time_text + "\n" + last_head_ + "\nRepeated " +
                               std::to_string(repeats_) + " more times since " +
                               last_written_text_);
  repeats_ = 0;
  last_written_ = clock_();
  last_written_text_ = time_text;
}

DiagnosticLogWriter& ProcessDiagnosticLog() {
  static DiagnosticLogWriter* const writer = [] {
    auto* made = new DiagnosticLogWriter();
    std::atexit(&FlushProcessLogAtExit);
    return made;
  }();
  return *writer;
}

}  // namespace trovix
