// The suite's diagnostic log: one plain text file of multi-line records,
// appended to by every program of the user. This is its one writer.
//
// A record is
//   "\n------------------------------\n<local time>\nFile:[<source>]\n"
//   "Line:[<n>]\nHRESULT:[0x<8 hex digits>]<body>"
// where the body is empty or starts with '\n'. The file is opened, appended
// to in one write and closed for every record, so records of several
// processes never interleave. Logging never fails the caller: a record that
// cannot be written is lost silently.
//
// Repeats are collapsed per process: a record equal to the one this process
// wrote last (same file, same text apart from the time line) is counted
// instead of written. The count goes out as one summary record
//   "\n------------------------------\n<local time>\nFile:[<source>]\n"
//   "Line:[<n>]\nHRESULT:[0x...]\nRepeated <N> more times since <local time>"
// when a different record comes, when at least a minute has passed since the
// last line written for it and another repeat arrives, and when the process
// exits. A failing step retried in a loop thus costs one record a minute.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace trovix {

// $XDG_STATE_HOME/Quillon/trovlog.txt (default ~/.local/state/Quillon/),
// computed afresh on each call; empty when there is no state folder.
[[nodiscard]] std::string DefaultDiagnosticLogPath();

// Writes an event record with `text` as its body (one line after the status;
// no body when empty) to DefaultDiagnosticLogPath(), through the process's
// collapsing writer. For programs that do not load the index store. Any
// thread.
void LogEvent(const char* source_file, int line, HRESULT hr, std::string_view text);

// The collapsing writer. One per process serves every record (see
// ProcessDiagnosticLog); tests make their own with a clock they drive.
//
// Thread safety: all members may be called from any thread. The mutex is
// held across the append on purpose: it keeps a record and the summary of
// its repeats in order, and one small append to a local file is quick.
class DiagnosticLogWriter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit DiagnosticLogWriter(
      std::chrono::steady_clock::duration summary_interval = std::chrono::minutes(1),
      Clock clock = [] { return std::chrono::steady_clock::now(); });
  // Writes the summary of pending repeats.
  ~DiagnosticLogWriter();
  DiagnosticLogWriter(const DiagnosticLogWriter&) = delete;
  DiagnosticLogWriter& operator=(const DiagnosticLogWriter&) = delete;

  // Appends the record described above to `path` (nothing when `path` is
  // empty), or counts it as a repeat of the previous one.
  void Write(const std::string& path, const char* source_file, int line, HRESULT hr,
             std::string_view body);

  // Writes the summary of pending repeats now, if there are any.
  void Flush();

 private:
  void FlushLocked();

  const std::chrono::steady_clock::duration summary_interval_;
  const Clock clock_;
  std::mutex mutex_;
  // The last record written, as its path and its text without the time line;
  // empty when none is pending. Guarded by mutex_.
  std::string last_path_;
  std::string last_head_;  // "File:[..]\nLine:[..]\nHRESULT:[..]"
  std::string last_key_;   // last_head_ + body
  // Repeats counted since the last line written for that record, when that
  // line was written, and its time text. Guarded by mutex_.
  std::uint64_t repeats_ = 0;
  std::chrono::steady_clock::time_point last_written_{};
  std::string last_written_text_;
};

// The process's writer, used by LogEvent and by the index store's log. It is
// never destroyed (records may still come while the process exits); its
// pending repeats are written at exit.
[[nodiscard]] DiagnosticLogWriter& ProcessDiagnosticLog();

}  // namespace trovix
