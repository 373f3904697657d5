// The indexer on a corpus of real documents: the first full scan of an index
// root (wall time, files and MB per second, peak memory of kestine), the text
// the documents give and the helper's own share of the time, the database
// size against the text indexed, and the time from saving a file to
// `trovix search` finding it. Runs an installed suite in a private tree.
//
// Usage: kestine_bench [FOLDER...]   (default: the Python and PostgreSQL HTML
// documentation of the python3.11-doc and postgresql-doc-15 packages)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/serving_helper.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using trovix::testing::RunProcess;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Copies the corpus folders into the root; returns files and bytes copied
// and the bytes of the .txt files among them (the ones indexed for words).
void CopyCorpus(const std::vector<std::string>& folders, const std::string& root,
                std::uint64_t* files, std::uint64_t* bytes, std::uint64_t* text_bytes) {
  for (const std::string& folder : folders) {
    // "python3.11/html" and "postgresql-doc-15/html" both end in html.
    const fs::path source(folder);
    const fs::path target = fs::path(root) / (source.parent_path().filename().string() + "-" +
                                              source.filename().string());
    fs::copy(folder, target, fs::copy_options::recursive | fs::copy_options::skip_symlinks);
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    ++*files;
    *bytes += entry.file_size();
    if (entry.path().extension() == ".txt") *text_bytes += entry.file_size();
  }
}

std::string PeakMemory(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return line.substr(6);
  }
  return "unknown";
}

// True once the root's scan record holds `value` (the start text is written
// when a scan starts, the outcome when it ends).
bool ScanRecordHas(const std::string& root, std::u16string_view value) {
  RegKey key;
  DWORD type = 0;
  return RegKey::Open(HKEY_CURRENT_USER,
                      u"Software\\Quillon\\Trovix\\Kestine\\" + Utf8ToUtf16(root),
                      &key) == ERROR_SUCCESS &&
         RegQueryValueExW(key.get(), WString(value).c_str(), nullptr, &type, nullptr, nullptr) ==
             ERROR_SUCCESS;
}

// The documents of the root that the document filter reads, handed to one
// serving trovix-filterhost as the indexer hands them: the text they give
// (UTF-16 units), the helper's time and its peak resident memory.
struct DocumentRun {
  std::size_t files = 0;
  std::uint64_t units = 0;
  double seconds = 0;
  long peak_kib = 0;
};

DocumentRun ExtractDocuments(const std::string& prefix, const std::string& root) {
  static const std::set<std::string> kDocuments = {".html", ".htm",  ".xhtml", ".xml", ".pdf",
                                                   ".odt",  ".ods",  ".odp",   ".odg", ".docx",
                                                   ".xlsx", ".pptx", ".epub",  ".rtf", ".eml"};
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && kDocuments.count(entry.path().extension().string()) != 0) {
      files.push_back(entry.path().string());
    }
  }
  const bench::ServedRun served =
      bench::ServeFiles(prefix + "/libexec/trovix/trovix-filterhost", files);
  DocumentRun run;
  run.files = served.files;
  run.units = served.units;
  run.seconds = served.seconds;
  run.peak_kib = served.peak_kib;
  return run;
}

void SaveToFound(const std::string& prefix, const std::string& root) {
  std::vector<double> ms;
  for (int i = 0; i < 100; ++i) {
    const std::string word = "savedword" + std::to_string(i) + "x";
    const Clock::time_point saved = Clock::now();
    trovix::testing::WriteFile(root + "/saved" + std::to_string(i % 10) + ".txt", word);
    std::string output;
    while (Ms(saved) < 30000) {
      output.clear();
      if (RunProcess({prefix + "/bin/trovix", "search", word}, &output) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ms.push_back(Ms(saved));
  }
  std::sort(ms.begin(), ms.end());
  std::printf("save to found: median %.0f ms, p95 %.0f ms (target: median under 2000 ms)\n", ms[50],
              ms[95]);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> folders(argv + 1, argv + argc);
  if (folders.empty())
    folders = {"/usr/share/doc/python3.11/html", "/usr/share/doc/postgresql-doc-15/html"};
  for (const std::string& folder : folders) {
    if (!fs::is_directory(folder)) {
      std::fprintf(stderr, "no corpus folder %s (install python3.11-doc postgresql-doc-15)\n",
                   folder.c_str());
      return 1;
    }
  }
  trovix::testing::PrivateTree tree;
  const std::string prefix = tree.root() + "/prefix";
  std::string output;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
  if (trovix::testing::InstallBuild(CMAKE_COMMAND, TROVIX_BUILD_DIR, prefix, &output) != 0 ||
      RunProcess({prefix + "/bin/trovix-setup"}, &output) != 0) {
    std::fprintf(stderr, "cannot install: %s\n", output.c_str());
    return 1;
  }
  const std::string root = tree.home() + "/corpus";
  fs::create_directories(root);
  std::uint64_t files = 0, bytes = 0, text_bytes = 0;
  CopyCorpus(folders, root, &files, &bytes, &text_bytes);
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine", &key) != 0 ||
      key.SetMultiString(u"Index Roots", {Utf8ToUtf16(root)}) != 0) {
    return 1;
  }
  const std::string kestine = prefix + "/bin/kestine";
  char* args[] = {const_cast<char*>(kestine.c_str()), nullptr};
  pid_t pid = -1;
  const Clock::time_point start = Clock::now();
  if (posix_spawn(&pid, kestine.c_str(), nullptr, nullptr, args, environ) != 0) return 1;
  // The scanner looks at its root 20 s after start-up; the scan is timed from
  // its start record to its completion record.
  while (!ScanRecordHas(root, u"Last Scan Start Text") && Ms(start) < 600000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const Clock::time_point scan_start = Clock::now();
  while (!ScanRecordHas(root, u"Last Scan Outcome") && Ms(start) < 600000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double scan_ms = Ms(scan_start);
  std::printf(
      "first scan: %llu files, %.1f MB (%.1f MB of .txt) in %.2f s = %.0f files/s, "
      "%.1f MB/s (target under 4.5 s)\n",
      static_cast<unsigned long long>(files), bytes / 1e6, text_bytes / 1e6, scan_ms / 1000,
      files / (scan_ms / 1000), bytes / 1e6 / (scan_ms / 1000));
  SaveToFound(prefix, root);
  std::printf("kestine peak resident memory:%s (target under 100 MiB)\n", PeakMemory(pid).c_str());
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  const DocumentRun documents = ExtractDocuments(prefix, root);
  std::printf(
      "documents: %zu files give %.2f M characters of text; one serving helper alone takes "
      "%.2f s, peak resident memory %ld kB\n",
      documents.files, documents.units / 1e6, documents.seconds, documents.peak_kib);
  const std::string database = tree.data() + "/Quillon/Ordalis.mdb";
  std::printf(
      "database: %.2f MB for %.2f MB of .txt and %.2f M characters from documents indexed\n",
      fs::file_size(database) / 1e6, text_bytes / 1e6, documents.units / 1e6);
  return 0;
}
