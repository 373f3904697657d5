// Compaction end to end through the index store's interface: an index of
// real text files (AddFile and IndexFile), half of them then unindexed and
// removed from the catalogue, as the indexer does for deleted files. Prints
// the time of GetCompactionSpaceFree and of CompactDatabase, the space the
// estimate promised and the bytes the file lost, then the time to compact
// the already compact database (median and worst of 5). Runs in a private
// tree.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/english_text.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The licence texts and package copyright files every Debian system
// carries; synthetic English where there are too few.
std::string Corpus() {
  std::string corpus;
  std::error_code ec;
  for (const char* root : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->path().extension() == ".gz") continue;
      if (std::string(root).ends_with("doc") && it->path().filename() != "copyright") continue;
      corpus += trovix::testing::ReadFile(it->path().string()) + "\n";
    }
  }
  if (corpus.size() < 64 * 1024) {
    std::printf("little English text on this machine: synthetic text instead\n");
    corpus = trovix::bench::EnglishText(1).Make(8u << 20);
  }
  return corpus;
}

// Writes `files` pieces of 10 KiB of the corpus and indexes them.
std::vector<WString> IndexFiles(ITrovixDB* db, const std::string& folder, int files) {
  const std::string corpus = Corpus();
  std::vector<WString> paths;
  for (int i = 0; i < files; ++i) {
    const std::size_t at = (static_cast<std::size_t>(i) * 10240) % (corpus.size() - 10240 + 1);
    const std::string path = folder + "/note" + std::to_string(i) + ".txt";
    trovix::testing::WriteFile(path, corpus.substr(at, 10240));
    paths.push_back(Utf8ToUtf16(path));
    if (db->AddFile(paths.back().c_str()) != S_OK ||
        db->IndexFile(paths.back().c_str(), nullptr, nullptr) != S_OK) {
      std::fprintf(stderr, "failed: %s\n", path.c_str());
    }
  }
  return paths;
}

// Closing the last connection moves the write-ahead log into the file, so
// its size counts every page.
bool Reopen(ITrovixDB* db) { return db->Cleanup() == S_OK && db->Init() == S_OK; }

bool CompactHalfDeleted(ITrovixDB* db, const std::vector<WString>& paths) {
  for (std::size_t i = 0; i < paths.size(); i += 2) {
    if (db->UnIndexFile(paths[i].c_str(), 0) != S_OK ||
        db->DeleteFileHard(paths[i].c_str()) != S_OK) {
      return false;
    }
  }
  UINT before = 0;
  UINT space = 0;
  UINT after = 0;
  if (!Reopen(db) || db->GetDBFileSize(&before) != S_OK) return false;
  const Clock::time_point estimate_start = Clock::now();
  if (db->GetCompactionSpaceFree(&space) != S_OK) return false;
  const double estimate_seconds = Seconds(estimate_start);
  const Clock::time_point start = Clock::now();
  const HRESULT hr = db->CompactDatabase();
  const double seconds = Seconds(start);
  if (hr != S_OK || db->GetDBFileSize(&after) != S_OK) return false;
  std::printf("half of %zu files deleted: database %.2f MB\n", paths.size(), before / 1e6);
  std::printf("  GetCompactionSpaceFree: %.3f s, promises %.2f MB\n", estimate_seconds,
              space / 1e6);
  std::printf("  CompactDatabase: %.2f s (%.1f MB/s of the old file), won %.2f MB: %.2f MB left\n",
              seconds, before / seconds / 1e6, (before - after) / 1e6, after / 1e6);
  return true;
}

bool CompactCompact(ITrovixDB* db) {
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) {
    const Clock::time_point start = Clock::now();
    if (db->CompactDatabase() != S_OK) return false;
    times.push_back(Seconds(start));
  }
  std::sort(times.begin(), times.end());
  std::printf("compacting the compact database: median %.3f s, worst %.3f s\n", times[2],
              times.back());
  return true;
}

}  // namespace

// Usage: compaction_bench [number of files, default 2000]
int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr, "warning: built without optimisation or with assertions on\n");
#endif
  trovix::testing::PrivateTree tree;
  std::string database;
  if (FAILED(ordalis::testing::PrepareBuiltStore(&database))) {
    std::fprintf(stderr, "cannot prepare the index store\n");
    return 1;
  }
  const std::string folder = tree.home() + "/docs";
  std::filesystem::create_directories(folder);
  ComInit com;
  ComPtr<ITrovixDB> db = ordalis::testing::OpenStore();
  if (!db) {
    std::fprintf(stderr, "cannot open the index store\n");
    return 1;
  }
  const Clock::time_point start = Clock::now();
  const std::vector<WString> paths = IndexFiles(db.get(), folder, files);
  std::printf("indexed %d files of 10 KiB in %.1f s\n", files, Seconds(start));
  const bool ok = CompactHalfDeleted(db.get(), paths) && CompactCompact(db.get());
  if (!ok) std::fprintf(stderr, "a step failed; see the diagnostic log\n");
  return db->Cleanup() == S_OK && ok ? 0 : 1;
}
