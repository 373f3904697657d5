// Search latency through the index store's interface on the synthetic index
// of bench/synthetic_index.h (100,000 files, 200,000 Zipf-distributed words),
// opened through ITrovixDB as the panel opens it. Prints the median and 95th
// percentile of each workload and the rate of SearchNext. Runs in a private
// tree.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/synthetic_index.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/search_result.h"

namespace {

using namespace trovix::bench;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 50;

double Milliseconds(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

struct Figures {
  double median;
  double p95;
};

Figures Measure(const std::function<bool()>& run) {
  std::vector<double> times;
  run();  // warm the caches
  for (int i = 0; i < kRuns; ++i) {
    const Clock::time_point start = Clock::now();
    if (!run()) std::fprintf(stderr, "a run failed\n");
    times.push_back(Milliseconds(start));
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[(times.size() * 95 + 99) / 100 - 1]};
}

// Opens a search, reads its size and closes it; false unless it opened.
bool OpenWords(ITrovixDB* db, const std::string& query, UINT* size) {
  UINT handle = 0;
  if (db->SearchOpenWord(Utf8ToUtf16(query).c_str(), &handle) != S_OK) return false;
  const bool ok = db->SearchGetSize(handle, size) == S_OK;
  return db->SearchClose(handle) == S_OK && ok;
}

bool IncludeExclude(ITrovixDB* db, const std::string& word, UINT* size) {
  UINT found = 0, include = 0, exclude = 0, both = 0, rest = 0;
  bool ok = db->SearchOpenWord(Utf8ToUtf16(word).c_str(), &found) == S_OK &&
            db->SearchOpenFileType(u"/home/bench/d1*/", &include) == S_OK &&
            db->SearchOpenFileType(u"*.pdf", &exclude) == S_OK &&
            SUCCEEDED(db->SearchOpenIntersection(found, include, &both)) &&
            SUCCEEDED(db->SearchOpenSubtraction(both, exclude, &rest)) &&
            db->SearchGetSize(rest, size) == S_OK;
  for (UINT handle : {found, include, exclude, both, rest}) {
    if (handle != 0) ok = db->SearchClose(handle) == S_OK && ok;
  }
  return ok;
}

void Row(const std::string& workload, const std::string& detail, Figures figures, double target) {
  const std::string goal = target > 0 ? std::to_string(static_cast<int>(target)) : "-";
  std::printf("%-34s %-40s %9.2f %9.2f %7s%s\n", workload.c_str(), detail.c_str(), figures.median,
              figures.p95, goal.c_str(), target > 0 && figures.median > target ? "  MISSED" : "");
}

// The two-letter prefix covering the number of words nearest 1,000.
std::string PrefixOfAboutAThousandWords(const std::vector<std::string>& words, int* count) {
  std::map<std::string, int> prefixes;
  for (const std::string& word : words) ++prefixes[word.substr(0, 2)];
  auto best = prefixes.begin();
  for (auto it = prefixes.begin(); it != prefixes.end(); ++it) {
    if (std::abs(it->second - 1000) < std::abs(best->second - 1000)) best = it;
  }
  *count = best->second;
  return best->first;
}

void RunWorkloads(ITrovixDB* db, const std::vector<std::string>& words,
                  const std::vector<int>& frequency) {
  std::printf("%-34s %-40s %9s %9s %7s\n", "workload", "detail", "median ms", "p95 ms", "target");
  UINT size = 0;
  const auto word_row = [&](const std::string& name, const std::string& query, double target) {
    const Figures figures = Measure([&] { return OpenWords(db, query, &size); });
    Row(name, "\"" + query + "\" -> " + std::to_string(size) + " files", figures, target);
  };
  const int rare = RankWithFrequency(frequency, 20);
  const int medium = RankWithFrequency(frequency, 2000);
  word_row("one rare word (" + std::to_string(frequency[rare]) + " files)", words[rare], 20);
  word_row("one common word (" + std::to_string(frequency[0]) + " files)", words[0], 20);
  word_row("two words, common + rare", words[0] + " " + words[rare], 20);
  word_row("two words, common + medium", words[1] + " " + words[medium], 20);
  word_row("two words, both common", words[0] + " " + words[1], 20);
  int covered = 0;
  const std::string prefix = PrefixOfAboutAThousandWords(words, &covered);
  word_row("prefix wildcard (" + std::to_string(covered) + " words)", prefix + "*", 100);

  const Figures combined = Measure([&] { return IncludeExclude(db, words[medium], &size); });
  Row("word + include + exclude", "d1*/ minus *.pdf -> " + std::to_string(size), combined, 0);
}

void MeasureSearchNext(ITrovixDB* db, const std::string& common) {
  UINT handle = 0;
  if (db->SearchOpenWord(Utf8ToUtf16(common).c_str(), &handle) != S_OK) return;
  constexpr int kRows = 1500;
  trovix::SearchResultRecord record{};
  const Figures figures = Measure([&] {
    if (db->SearchRewind(handle) != S_OK) return false;
    for (int i = 0; i < kRows; ++i) {
      if (db->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)) != S_OK) return false;
    }
    return true;
  });
  std::printf("SearchNext: %d rows in %.2f ms median (p95 %.2f) = %.0f rows/s (target 20000)%s\n",
              kRows, figures.median, figures.p95, kRows / figures.median * 1000,
              kRows / figures.median * 1000 < 20000 ? "  MISSED" : "");
  static_cast<void>(db->SearchClose(handle));
}

// `trovix search WORD` as a new process each time, start-up included. The
// first run also stores the counters, so later runs need not recount them.
void MeasureCommandLine(const std::string& word) {
  const std::string trovix = std::string(TROVIX_BUILD_DIR) + "/bin/trovix";
  std::string output;
  trovix::testing::RunProcess({trovix, "search", word}, &output);
  std::vector<double> ms;
  for (int i = 0; i < 30; ++i) {
    output.clear();
    const Clock::time_point start = Clock::now();
    trovix::testing::RunProcess({trovix, "search", word}, &output);
    ms.push_back(Milliseconds(start));
  }
  std::sort(ms.begin(), ms.end());
  std::printf("trovix search %s (new process): median %.1f ms, p95 %.1f ms (target 50): %s",
              word.c_str(), ms[ms.size() / 2], ms[ms.size() * 95 / 100],
              output.substr(output.rfind('\n', output.size() - 2) + 1).c_str());
}

// Compaction of the whole index: its time and the space it wins.
void MeasureCompaction(const std::string& database) {
  ComInit com;
  ComPtr<ITrovixDB> db;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              db.put_void())) ||
      db->Init() != S_OK) {
    return;
  }
  UINT reclaimable = 0;
  static_cast<void>(db->GetCompactionSpaceFree(&reclaimable));
  const auto before = std::filesystem::file_size(database);
  const Clock::time_point start = Clock::now();
  const HRESULT hr = db->CompactDatabase();
  const double seconds = Milliseconds(start) / 1000;
  std::printf("compaction: 0x%08x in %.2f s, %.1f MB -> %.1f MB (estimate %.1f MB reclaimable)\n",
              static_cast<unsigned>(hr), seconds, before / 1e6,
              std::filesystem::file_size(database) / 1e6, reclaimable / 1e6);
  static_cast<void>(db->Cleanup());
}

}  // namespace

int main() {
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr, "warning: built without optimisation or with assertions on\n");
#endif
  trovix::testing::PrivateTree tree;
  if (FAILED(ordalis::testing::RegisterBuiltModule())) {
    std::fprintf(stderr, "cannot register the built module\n");
    return 1;
  }
  const std::string database = trovix::DefaultDatabaseLocation().path;
  std::filesystem::create_directories(std::filesystem::path(database).parent_path());
  if (FAILED(trovix::CreateDatabase(database))) return 1;
  std::mt19937 random(1);
  const std::vector<std::string> words = MakeWords(random);
  std::vector<int> frequency;
  const Clock::time_point start = Clock::now();
  if (!BuildIndex(database, words, &frequency)) return 1;
  long rows = 0;
  for (const int f : frequency) rows += f;
  std::printf("index: %d files, %d words, %ld file-word rows, %.0f MB, built in %.1f s\n", kFiles,
              kWords, rows, std::filesystem::file_size(database) / 1e6, Milliseconds(start) / 1000);

  ComInit com;
  ComPtr<ITrovixDB> db;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              db.put_void())) ||
      db->Init() != S_OK) {
    std::fprintf(stderr, "cannot open the index store\n");
    return 1;
  }
  RunWorkloads(db.get(), words, frequency);
  MeasureSearchNext(db.get(), words[0]);
  if (db->Cleanup() != S_OK) return 1;
  db.reset();
  MeasureCommandLine(words[RankWithFrequency(frequency, 20)]);
  MeasureCommandLine(words[RankWithFrequency(frequency, 2000)]);
  MeasureCompaction(database);
  return 0;
}
