// The thread's error object: the source and description of the last failure
// a component recorded on the calling thread. Taking it clears it, so a later
// failure on the same thread never repeats an old description.
//
// It lives in the platform library, not in a component module, so that a
// module keeps no thread-local state that would pin it in memory.
#pragma once

#include <optional>

#include "platform/types.h"

struct ErrorRecord {
  WString source;
  WString description;
};

// Replaces the calling thread's error object.
void SetErrorInfo(ErrorRecord record);
// Takes the calling thread's error object, leaving none.
[[nodiscard]] std::optional<ErrorRecord> TakeErrorInfo();
// Drops the calling thread's error object.
void ClearErrorInfo();
