// The synthetic index of the benchmarks, written straight into a database
// made by trovix::CreateDatabase.
#include "bench/synthetic_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace trovix::bench {
namespace {

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

}  // namespace

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

// The rank whose document frequency is nearest `wanted`.
int RankWithFrequency(const std::vector<int>& frequency, int wanted) {
  int best = 0;
  for (int r = 0; r < kWords; ++r) {
    if (std::abs(frequency[r] - wanted) < std::abs(frequency[best] - wanted)) best = r;
  }
  return best;
}
}  // namespace trovix::bench
