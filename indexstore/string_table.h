// The module's string table: texts the log writes beside a status code.
#pragma once

#include <optional>
#include <string>

namespace ordalis {

inline constexpr int IDS_PROVIDER_NAME = 103;
inline constexpr int IDS_NO_PROCESS_TOKEN = 106;
inline constexpr int IDS_NO_PROFILE_DIRECTORY = 107;
inline constexpr int IDS_COMPACTION_FAILED = 108;

// The text of entry `id`; nothing when the table has no such entry.
[[nodiscard]] std::optional<std::string> LoadModuleString(int id);

}  // namespace ordalis
