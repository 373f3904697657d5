#include "indexstore/string_table.h"

namespace ordalis {

std::optional<std::string> LoadModuleString(int id) {
  switch (id) {
    case IDS_PROVIDER_NAME:
      return "SQLite 3";
    case IDS_NO_PROCESS_TOKEN:
      return "Cannot get process token, unable to load database";
    case IDS_NO_PROFILE_DIRECTORY:
      return "Cannot get user profile directory, unable to load database";
    case IDS_COMPACTION_FAILED:
      return "Database compaction failed";
    default:
      return std::nullopt;
  }
}

}  // namespace ordalis
