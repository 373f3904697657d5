#include "tools/cli/status_command.h"

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>

#include "indexer/indexer_status.h"
#include "indexer/kestine_settings.h"
#include "indexer/pause_setting.h"
#include "platform/index_roots.h"
#include "platform/message_port.h"
#include "platform/wstring.h"
#include "shared/itrovixterms.h"
#include "tools/cli/config_command.h"
#include "tools/cli/output.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

constexpr DWORD kAskTimeoutMs = 3000;
constexpr int kAnswerWaitMs = 5000;

// The running indexer's status; nothing when none runs or it did not answer.
std::optional<indexer::IndexerStatus> AskIndexer() {
  std::vector<PortInfo> ports;
  if (EnumerateTopLevelPorts(indexer::kControlPortTitle, &ports) != S_OK) return std::nullopt;
  std::unique_ptr<MessagePort> mine;
  if (FAILED(MessagePort::Open(u"trovix status", {}, &mine))) return std::nullopt;
  const std::string id = mine->info().id;
  INT_PTR accepted = 0;
  if (SendCopyData(ports.front(), indexer::kStatusRequest, id.data(), static_cast<DWORD>(id.size()),
                   kAskTimeoutMs, &accepted) != S_OK ||
      accepted != 1) {
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{mine->fd(), POLLIN, 0};
    static_cast<void>(poll(&fd, 1, 100));
    Message message;
    while (mine->ReceiveOne(&message) == S_OK) {
      if (message.needs_reply()) mine->Reply(1);
      if (message.dwData != indexer::kStatusAnswer) continue;
      indexer::IndexerStatus status;
      const std::string text(message.data.begin(), message.data.end());
      if (indexer::IndexerStatus::Decode(text, &status)) return status;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

struct RootRecord {
  std::string path;
  std::optional<FILETIME> when;
  std::optional<DWORD> outcome;
  std::string failure;
};

std::vector<RootRecord> RootRecords() {
  std::vector<IndexRoot> roots;
  std::vector<RootRecord> records;
  if (FAILED(ReadIndexRoots(&roots))) return records;
  for (const IndexRoot& root : roots) {
    const indexer::KestineKey key = indexer::KestineKey::ForRoot(root.path);
    RootRecord record{root.path,
                      key.Read(indexer::kestine::kLastScanCompletion),
                      key.Read(indexer::kestine::kLastScanOutcome),
                      {}};
    if (const auto text = key.Read(indexer::kestine::kLastScanFailureText)) {
      record.failure = Utf16ToUtf8(*text);
    }
    records.push_back(std::move(record));
  }
  return records;
}

const char* OutcomeWord(DWORD outcome) {
  switch (outcome) {
    case indexer::kestine::kScanCompleted:
      return "completed";
    case indexer::kestine::kScanFailed:
      return "failed";
    default:
      return "stopped";
  }
}

std::string Json(const std::string& text) { return JsonString(Utf8ToUtf16(text)); }

std::string UnixTimeText(std::time_t when) {
  char text[64];
  std::tm local{};
  localtime_r(&when, &local);
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));
}

struct Counts {
  UINT catalogued = 0;
  UINT indexed = 0;
  UINT size = 0;
  // Catalogued files the term index does not hold yet (an index of an
  // earlier version being filled), of `analysable`; none without term search.
  std::optional<UINT> unanalysed;
  UINT analysable = 0;
};

// Percent done, rounded down so that 100 means done.
UINT PercentAnalysed(const Counts& counts) {
  if (counts.analysable == 0) return 100;
  const std::uint64_t done = counts.analysable - *counts.unanalysed;
  return static_cast<UINT>(done * 100 / counts.analysable);
}

void PrintPlain(const indexer::IndexerStatus& status, const std::vector<RootRecord>& roots,
                const Counts& counts, std::ostream& out) {
  out << "Indexer: running (process " << status.pid << ")\n";
  out << "Now: ";
  const std::string_view activity = status.Activity();
  const std::string until = status.pause_ends ? "until " + UnixTimeText(*status.pause_ends)
                                              : std::string("until resumed");
  if (activity == "paused" && status.on_battery) {
    out << "paused (on battery)" << (status.paused ? " and " + until : std::string()) << ", "
        << status.backlog << " changes waiting\n";
  } else if (activity == "paused") {
    out << "paused " << until << " (" << status.backlog << " changes waiting)\n";
  } else if (activity == "scanning") {
    for (std::size_t i = 0; i < status.scans.size(); ++i) {
      out << (i == 0 ? "" : "; ") << "scanning " << status.scans[i].first << " ("
          << status.scans[i].second << " files done)";
    }
    out << "\n";
  } else if (activity == "applying") {
    out << "applying changes (" << status.backlog << " waiting)\n";
  } else {
    out << activity << "\n";
  }
  if (status.settling > 0) {
    out << "Busy files: " << status.settling << " changes wait until their files are quiet\n";
  }
  for (const RootRecord& root : roots) {
    out << "Root " << root.path << ": ";
    if (!root.when || !root.outcome) {
      out << "not scanned yet\n";
      continue;
    }
    out << "last scan " << LocalTimeText(*root.when) << ", " << OutcomeWord(*root.outcome);
    if (*root.outcome == indexer::kestine::kScanFailed && !root.failure.empty()) {
      out << ": " << root.failure;
    }
    out << "\n";
  }
  out << "Files: " << counts.catalogued << " catalogued, " << counts.indexed << " indexed\n";
  if (counts.unanalysed && *counts.unanalysed > 0) {
    out << "Upgrading the index: " << *counts.unanalysed << " of " << counts.analysable
        << " files still to analyse (" << PercentAnalysed(counts) << "% done)\n";
  }
  out << "Database size: " << counts.size << " bytes\n";
}

void PrintJson(const indexer::IndexerStatus& status, const std::vector<RootRecord>& roots,
               const Counts& counts, std::ostream& out) {
  out << "{\"running\":true,\"pid\":" << status.pid << ",\"state\":\"" << status.Activity()
      << "\",\"paused\":" << (status.paused ? "true" : "false")
      << ",\"on_battery\":" << (status.on_battery ? "true" : "false");
  if (status.pause_ends) out << ",\"pause_ends\":" << *status.pause_ends;
  out << ",\"backlog\":" << status.backlog << ",\"settling\":" << status.settling
      << ",\"applied\":" << status.applied << ",\"scanning\":[";
  for (std::size_t i = 0; i < status.scans.size(); ++i) {
    out << (i == 0 ? "" : ",") << "{\"root\":" << Json(status.scans[i].first)
        << ",\"files_done\":" << status.scans[i].second << "}";
  }
  out << "],\"roots\":[";
  for (std::size_t i = 0; i < roots.size(); ++i) {
    const RootRecord& root = roots[i];
    out << (i == 0 ? "" : ",") << "{\"path\":" << Json(root.path);
    if (root.when && root.outcome) {
      out << ",\"last_scan\":" << Json(LocalTimeText(*root.when))
          << ",\"outcome\":" << *root.outcome;
      if (*root.outcome == indexer::kestine::kScanFailed) {
        out << ",\"failure\":" << Json(root.failure);
      }
    }
    out << "}";
  }
  out << "],\"files_catalogued\":" << counts.catalogued << ",\"files_indexed\":" << counts.indexed
      << ",\"database_bytes\":" << counts.size;
  if (counts.unanalysed) out << ",\"files_to_analyse\":" << *counts.unanalysed;
  out << "}\n";
}

}  // namespace

int RunStatus(bool json, std::ostream& out, std::ostream& err) {
  const std::optional<indexer::IndexerStatus> status = AskIndexer();
  if (!status) {
    out << (json ? "{\"running\":false}\n" : "The indexer is not running.\n");
    return 3;
  }
  StoreSession store;
  if (FAILED(store.status())) {
    err << "trovix: " << store.error() << "\n";
    return 2;
  }
  Counts counts;
  if (FAILED(store->RequeryStatistics()) ||
      FAILED(store->GetProcessedFileCount(&counts.catalogued)) ||
      FAILED(store->GetIndexedFileCount(&counts.indexed)) ||
      FAILED(store->GetDBFileSize(&counts.size))) {
    err << "trovix: cannot read the index's counters\n";
    return 2;
  }
  if (ComPtr<ITrovixTerms> terms;
      SUCCEEDED(store->QueryInterface(IID_ITrovixTerms, terms.put_void()))) {
    UINT pending = 0;
    if (terms->GetAnalysisProgress(&pending, &counts.analysable) == S_OK)
      counts.unanalysed = pending;
  }
  const std::vector<RootRecord> roots = RootRecords();
  if (json) {
    PrintJson(*status, roots, counts, out);
  } else {
    PrintPlain(*status, roots, counts, out);
  }
  return 0;
}

int RunPause(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  indexer::PauseState pause{true, std::nullopt};
  if (!args.empty()) {
    std::string duration;
    if (args.size() == 2 && args[0] == "--for") {
      duration = args[1];
    } else if (args.size() == 1 && args[0].starts_with("--for=")) {
      duration = args[0].substr(6);
    } else {
      err << "trovix: usage: trovix pause [--for DURATION]\n";
      return 2;
    }
    const std::optional<std::time_t> seconds = indexer::ParseDuration(duration);
    if (!seconds) {
      err << "trovix: bad duration '" << duration
          << "': expected a number with s, m, h or d, such as 30m or 2h\n";
      return 2;
    }
    pause.ends = std::time(nullptr) + *seconds;
  }
  if (!indexer::WritePause(pause)) {
    err << "trovix: cannot write the settings\n";
    return 2;
  }
  NotifyIndexer();
  out << "Indexing paused "
      << (pause.ends ? "until " + UnixTimeText(*pause.ends) : std::string("until resumed")) << "\n";
  return 0;
}

int RunResume(std::ostream& out, std::ostream& err) {
  if (!indexer::WritePause({})) {
    err << "trovix: cannot write the settings\n";
    return 2;
  }
  NotifyIndexer();
  out << "Indexing resumed\n";
  return 0;
}

}  // namespace trovix::cli
