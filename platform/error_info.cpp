#include "platform/error_info.h"

#include <utility>

namespace {
thread_local std::optional<ErrorRecord> t_error;
}  // namespace

void SetErrorInfo(ErrorRecord record) { t_error = std::move(record); }

std::optional<ErrorRecord> TakeErrorInfo() { return std::exchange(t_error, std::nullopt); }

void ClearErrorInfo() { t_error.reset(); }
