// The index store's records in the suite's diagnostic log: one per failure
// met inside a method. Written through the process's collapsing writer (see
// shared/diagnostic_log.h): a failure repeated back to back is written once
// and then counted. Logging never fails a method: a record that cannot be
// written is lost silently.
#pragma once

#include <string>

#include "platform/types.h"

namespace ordalis {

// Limit above which Init starts a new log.
inline constexpr std::uint64_t kLogSizeLimit = 104857600;  // 100 MiB

// $XDG_STATE_HOME/Quillon/trovlog.txt (default ~/.local/state/Quillon/);
// the same as trovix::DefaultDiagnosticLogPath().
[[nodiscard]] std::string DefaultLogPath();

// Appends a record with the separator, the local time, the source position
// and the status to `log_path`, then the thread's error object (taken, so it
// is cleared) when there is one.
void LogFailure(const std::string& log_path, const char* file, int line, HRESULT hr);

// Appends a record with the separator, the local time, the source position
// and the status to DefaultLogPath() (computed afresh, so it works before the
// module knows its log path), then the message text of the status and the text
// of string-table entry `message_id` (0 for none).
void LogMessage(const char* file, int line, HRESULT hr, int message_id);

// True when the file at `path` can be opened for reading and is larger than
// kLogSizeLimit bytes or reaches 4 GiB.
[[nodiscard]] bool IsLogOversized(const std::string& path);

}  // namespace ordalis
