#include "indexstore/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "indexstore/string_table.h"
#include "platform/error_info.h"
#include "platform/hresult.h"
#include "platform/wstring.h"
#include "shared/diagnostic_log.h"

namespace ordalis {

std::string DefaultLogPath() { return trovix::DefaultDiagnosticLogPath(); }

void LogFailure(const std::string& log_path, const char* file, int line, HRESULT hr) {
  std::string body;
  if (std::optional<ErrorRecord> error = TakeErrorInfo()) {
    body = "\n\tSource:[" + Utf16ToUtf8(error->source) + "]\n\tDescription:[" +
           Utf16ToUtf8(error->description) + "]";
  }
  trovix::ProcessDiagnosticLog().Write(log_path, file, line, hr, body);
}

void LogMessage(const char* file, int line, HRESULT hr, int message_id) {
  std::string body;
  const std::string text = StatusMessage(hr);
  if (!text.empty()) body += "\n" + text;
  if (message_id != 0) {
    if (std::optional<std::string> entry = LoadModuleString(message_id)) {
      body += "\n[" + *entry + "]";
    }
  }
  trovix::ProcessDiagnosticLog().Write(DefaultLogPath(), file, line, hr, body);
}

bool IsLogOversized(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool oversized =
      fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > kLogSizeLimit;
  close(fd);
  return oversized;
}

}  // namespace ordalis
