#include "indexer/analysis_fill.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "indexer/bulk_indexer.h"
#include "platform/com.h"
#include "platform/thread_priority.h"
#include "platform/wstring.h"
#include "shared/itrovixterms.h"

namespace trovix::indexer {
namespace {

constexpr auto kPausePoll = std::chrono::milliseconds(500);

class PendingFiles final : public IUnanalysedFileSink {
 public:
  HRESULT File(INT file_id, const WCHAR* path) override {
    files_.emplace_back(file_id, Utf16ToUtf8(path));
    return S_OK;
  }
  std::vector<std::pair<INT, std::string>>& files() { return files_; }

 private:
  std::vector<std::pair<INT, std::string>> files_;
};

bool Running(const AnalysisFillParams& params) { return params.running->load() != 0; }

// Waits while paused; false once stopped.
bool WaitWhilePaused(const AnalysisFillParams& params) {
  while (Running(params) && params.paused != nullptr && params.paused->load()) {
    std::this_thread::sleep_for(kPausePoll);
  }
  return Running(params);
}

}  // namespace

std::size_t AnalysisFillThread(const AnalysisFillParams& params) {
  const ComInit com;
  if (params.idle_priority) static_cast<void>(EnterIdleCpuScheduling());
  HRESULT made = S_OK;
  const ComPtr<ITrovixBatch> store = OpenBatchStore(&made);
  if (!store) return 0;
  ComPtr<ITrovixTerms> terms;
  if (FAILED(store->QueryInterface(IID_ITrovixTerms, terms.put_void()))) return 0;
  UINT pending = 0;
  UINT files = 0;
  if (terms->GetAnalysisProgress(&pending, &files) != S_OK || pending == 0) return 0;

  BulkOptions options;
  options.keep_going = params.running;
  options.idle_priority = params.idle_priority;
  BulkIndexer bulk(options, {});
  std::size_t queued = 0;
  INT after = 0;
  while (WaitWhilePaused(params)) {
    PendingFiles next;
    if (terms->ReadUnanalysedFiles(after, static_cast<UINT>(params.chunk), &next) != S_OK ||
        next.files().empty()) {
      break;
    }
    for (auto& [file_id, path] : next.files()) {
      after = file_id;
      if (!bulk.Add(std::move(path))) break;
      ++queued;
    }
    if (bulk.failure() != S_OK) break;
  }
  static_cast<void>(bulk.Finish());
  return queued;
}

}  // namespace trovix::indexer
