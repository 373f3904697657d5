// Indexing end to end through the index store's interface, as the indexer
// drives it: AddFile (attributes and checksum) then IndexFile (filter,
// tokenizer, flushes into the real database file in WAL mode). Prints files
// per second for many small files, text throughput for one large file, and
// the database size per megabyte of text indexed. Runs in a private tree.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/english_text.h"
#include "indexstore/checksum.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::uint64_t DatabaseBytes(const std::string& path) {
  std::uint64_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    struct stat st {};
    if (stat((path + suffix).c_str(), &st) == 0) total += static_cast<std::uint64_t>(st.st_size);
  }
  return total;
}

bool Index(ITrovixDB* db, const std::string& path) {
  const WString wide = Utf8ToUtf16(path);
  return db->AddFile(wide.c_str()) == S_OK && db->IndexFile(wide.c_str(), nullptr, nullptr) == S_OK;
}

// Real English prose where the machine has some: the licence texts and
// package copyright files every Debian system carries. Empty when none.
std::string RealEnglishCorpus() {
  std::string corpus;
  std::error_code ec;
  for (const char* root : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!it->is_regular_file(ec) || it->path().extension() == ".gz") continue;
      if (std::string(root).ends_with("doc") && name != "copyright") continue;
      corpus += trovix::testing::ReadFile(it->path().string());
      corpus += '\n';
    }
  }
  return corpus;
}

// Many small files: the common case of a first index of a home folder.
// `real` takes the text from RealEnglishCorpus(), else it is synthetic.
void SmallFiles(ITrovixDB* db, const std::string& folder, const std::string& database, int files,
                bool real) {
  trovix::bench::EnglishText english(1);
  const std::string corpus = real ? RealEnglishCorpus() : std::string();
  if (real && corpus.size() < 20 * 1024) {
    std::printf("no English text on this machine for the real-text run\n");
    return;
  }
  std::vector<std::string> paths;
  std::uint64_t text_bytes = 0;
  for (int i = 0; i < files; ++i) {
    const std::size_t at = (static_cast<std::size_t>(i) * 10240) % (corpus.size() - 10240 + 1);
    const std::string text = real ? corpus.substr(at, 10240) : english.Make(10 * 1024);
    paths.push_back(folder + (real ? "/real" : "/synthetic") + std::to_string(i) + ".txt");
    trovix::testing::WriteFile(paths.back(), text);
    text_bytes += text.size();
  }
  const std::uint64_t before = DatabaseBytes(database);
  const Clock::time_point start = Clock::now();
  int failed = 0;
  for (const std::string& path : paths) failed += Index(db, path) ? 0 : 1;
  if (failed > 0) std::printf("  %d files failed\n", failed);
  const double seconds = Seconds(start);
  std::printf("small files (%s): %d files of 10 KiB in %.2f s = %.0f files/s (%.1f MB/s)\n",
              real ? "real English" : "synthetic", files, seconds, files / seconds,
              text_bytes / seconds / 1e6);
  std::printf("  database grew %.2f MB for %.2f MB of text: %.2f bytes per byte of text\n",
              (DatabaseBytes(database) - before) / 1e6, text_bytes / 1e6,
              static_cast<double>(DatabaseBytes(database) - before) / text_bytes);
}

// One large file: throughput of the text pipeline and of the flushes.
void LargeFile(ITrovixDB* db, const std::string& folder, const std::string& database) {
  const std::string path = folder + "/large.txt";
  const std::string text = trovix::bench::EnglishText(2).Make(50u << 20);
  trovix::testing::WriteFile(path, text);
  const std::uint64_t before = DatabaseBytes(database);
  const Clock::time_point start = Clock::now();
  if (!Index(db, path)) std::fprintf(stderr, "failed: %s\n", path.c_str());
  const double seconds = Seconds(start);
  std::printf("large file: %.1f MiB in %.2f s = %.1f MB/s of text\n", text.size() / 1048576.0,
              seconds, text.size() / seconds / 1e6);
  std::printf("  database grew %.2f MB: %.3f bytes per byte of text\n",
              (DatabaseBytes(database) - before) / 1e6,
              static_cast<double>(DatabaseBytes(database) - before) / text.size());

  // The checksum alone, from the page cache (the file was just written).
  const Clock::time_point checksum_start = Clock::now();
  constexpr int kRounds = 10;
  std::uint32_t sum = 0;
  for (int i = 0; i < kRounds; ++i) sum = ordalis::FileChecksum(path);
  const double checksum_seconds = Seconds(checksum_start);
  std::printf("checksum: %.2f GB/s from the page cache (%08x)\n",
              kRounds * text.size() / checksum_seconds / 1e9, static_cast<unsigned>(sum));
}

}  // namespace

// Usage: index_bench [small|real|large|all] [number of small files, default 2000]
int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "all";
  const int files = argc > 2 ? std::atoi(argv[2]) : 2000;
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
  if (what == "small" || what == "all") SmallFiles(db.get(), folder, database, files, false);
  if (what == "real" || what == "all") SmallFiles(db.get(), folder, database, files, true);
  if (what == "large" || what == "all") LargeFile(db.get(), folder, database);
  const HRESULT hr = db->Cleanup();
  std::printf("database after closing (WAL checkpointed): %.2f MB\n",
              DatabaseBytes(database) / 1e6);
  return hr == S_OK ? 0 : 1;
}
