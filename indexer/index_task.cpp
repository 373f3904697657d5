#include "indexer/index_task.h"

namespace trovix::indexer {

std::string_view IndexTask::KindName() const {
  switch (kind) {
    case kAdded:
      return "Added";
    case kRemoved:
      return "Removed";
    case kModified:
      return "Modified";
    case kRenamedOldName:
      return "Renamed - old name";
    case kRenamedNewName:
      return "Renamed - new name";
    default:
      return "Huh?";
  }
}

}  // namespace trovix::indexer
