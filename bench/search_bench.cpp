// Search latency through the index store's interface on a synthetic index:
// 100,000 files in 1,000 directories and 200,000 distinct words, each file
// holding words drawn from a Zipf distribution (so a few words are in almost
// every file and most are in a handful). The index is written straight into
// a database made by trovix::CreateDatabase, in one transaction, and then
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

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/search_result.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 100000;
constexpr int kDirectories = 1000;
constexpr int kWords = 200000;
constexpr int kDrawsPerFile = 100;  // about 75 distinct words per file
constexpr int kRuns = 50;

double Milliseconds(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Spellings with English letter frequencies, so that prefixes differ in how
// many words they cover, as they do in real text. Rank r is word r.
std::vector<std::string> MakeWords(std::mt19937& random) {
  static const double kLetterWeights[] = {8.2, 1.5, 2.8, 4.3, 12.7, 2.2, 2.0, 6.1, 7.0,
                                          0.2, 0.8, 4.0, 2.4, 6.7,  7.5, 1.9, 0.1, 6.0,
                                          6.3, 9.1, 2.8, 1.0, 2.4,  0.2, 2.0, 0.1};
  std::discrete_distribution<int> letter(std::begin(kLetterWeights), std::end(kLetterWeights));
  std::vector<std::string> words;
  std::map<std::string, bool> seen;
  while (static_cast<int>(words.size()) < kWords) {
    std::string word;
    for (int n = 4 + static_cast<int>(random() % 8); n > 0; --n) word += char('a' + letter(random));
    if (seen.emplace(word, true).second) words.push_back(word);
  }
  return words;
}

class Inserter {
 public:
  Inserter(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Inserter() { sqlite3_finalize(stmt_); }
  Inserter& Int(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Inserter& Double(int index, double value) {
    sqlite3_bind_double(stmt_, index, value);
    return *this;
  }
  Inserter& Text(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.c_str(), -1, SQLITE_TRANSIENT);
    return *this;
  }
  bool Run() {
    const bool ok = sqlite3_step(stmt_) == SQLITE_DONE;
    sqlite3_reset(stmt_);
    return ok;
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Files and directories: names "f000123.txt" (one in ten ".pdf") in
// "home/bench/d000/" .. "home/bench/d999/".
bool FillCatalogue(sqlite3* db) {
  bool ok = sqlite3_exec(db, "INSERT INTO Drives VALUES (1, 3, '/')", nullptr, nullptr, nullptr) ==
            SQLITE_OK;
  Inserter directory(db, "INSERT INTO Directories VALUES (?, ?, 1)");
  char name[64];
  for (int d = 0; d < kDirectories; ++d) {
    std::snprintf(name, sizeof name, "home/bench/d%03d/", d);
    ok = ok && directory.Int(1, d + 1).Text(2, name).Run();
  }
  Inserter file(db,
                "INSERT INTO Files (FileID, Checksum, SizeLo32, DirectoryID, CreationDateTime, "
                "ModificationDateTime, LastAccessDateTime, TXLastUpdate, Name) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (int f = 1; f <= kFiles; ++f) {
    std::snprintf(name, sizeof name, "f%06d.%s", f, f % 10 == 0 ? "pdf" : "txt");
    const double date = 45000.0 + f / 86400.0;
    ok = ok && file.Int(1, f)
                   .Int(2, f * 7919)
                   .Int(3, 1000 + f)
                   .Int(4, 1 + f % kDirectories)
                   .Double(5, date)
                   .Double(6, date)
                   .Double(7, date)
                   .Double(8, date)
                   .Text(9, name)
                   .Run();
  }
  return ok;
}

// Words and FilesWords; `document_frequency[r]` receives the number of
// files holding word r.
bool FillWords(sqlite3* db, const std::vector<std::string>& words, std::mt19937& random,
               std::vector<int>* document_frequency) {
  bool ok = true;
  Inserter word(db, "INSERT INTO Words (ID, Word) VALUES (?, ?)");
  for (int r = 0; r < kWords; ++r) ok = ok && word.Int(1, r + 1).Text(2, words[r]).Run();
  std::vector<double> cumulative(kWords);
  double sum = 0;
  for (int r = 0; r < kWords; ++r) cumulative[r] = sum += 1.0 / (r + 1);
  std::uniform_real_distribution<double> uniform(0, sum);
  Inserter row(db, "INSERT INTO FilesWords VALUES (?, ?, ?)");
  document_frequency->assign(kWords, 0);
  std::map<int, int> counts;
  for (int f = 1; f <= kFiles && ok; ++f) {
    counts.clear();
    for (int i = 0; i < kDrawsPerFile; ++i) {
      const double u = uniform(random);
      ++counts[static_cast<int>(std::lower_bound(cumulative.begin(), cumulative.end(), u) -
                                cumulative.begin())];
    }
    for (const auto& [rank, count] : counts) {
      ok = ok && row.Int(1, f).Int(2, rank + 1).Int(3, count).Run();
      ++(*document_frequency)[rank];
    }
  }
  return ok;
}

// The index on FilesWords is made after the rows: one sort instead of ten
// million inserts at random places.
bool BuildIndex(const std::string& path, const std::vector<std::string>& words,
                std::vector<int>* document_frequency) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  std::mt19937 random(2024);
  bool ok = sqlite3_exec(db,
                         "PRAGMA synchronous=OFF; PRAGMA cache_size=-262144; "
                         "DROP INDEX FilesWordsByWord; BEGIN",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  ok = ok && FillCatalogue(db) && FillWords(db, words, random, document_frequency);
  ok = ok && sqlite3_exec(db,
                          "CREATE INDEX FilesWordsByWord ON FilesWords(WordID, FileID); COMMIT; "
                          "PRAGMA wal_checkpoint(TRUNCATE)",
                          nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) std::fprintf(stderr, "building the index failed: %s\n", sqlite3_errmsg(db));
  sqlite3_close(db);
  return ok;
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

// The rank whose document frequency is nearest `wanted`.
int RankWithFrequency(const std::vector<int>& frequency, int wanted) {
  int best = 0;
  for (int r = 0; r < kWords; ++r) {
    if (std::abs(frequency[r] - wanted) < std::abs(frequency[best] - wanted)) best = r;
  }
  return best;
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
