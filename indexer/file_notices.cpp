#include "indexer/file_notices.h"

#include "platform/hresult.h"

namespace trovix::indexer {

bool FileNotices::Note(const std::string& path, FileOutcome outcome, HRESULT status) {
  switch (outcome) {
    case FileOutcome::kTooLong:
    case FileOutcome::kTooLarge:
    case FileOutcome::kUnreadable:
    case FileOutcome::kFailed:
      break;
    default:
      return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sink_ || told_.contains(path)) return false;
  if (told_.size() >= kMaxRemembered) {
    if (!full_) sink_("further files that cannot be indexed are not reported in this run");
    full_ = true;
    return false;
  }
  told_.insert(path);
  std::string line = path + ": not indexed: " + OutcomeReason(outcome);
  if (FAILED(status)) line += " (" + StatusName(status) + ")";
  sink_(line);
  return true;
}

}  // namespace trovix::indexer
