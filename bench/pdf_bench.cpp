// PDF text: the real trovix-filterhost run on a set of PDFs as the document
// filter runs it (one process serving file after file, its frames read from
// a pipe and dropped), then a fresh helper per file (as after failures),
// then Debian's pdftotext on the same files, then poppler's three
// text layouts in this process (what the parser's choice of layout costs).
// Prints files, MB, wall-clock seconds, files/s and MB/s of each, and the
// peak resident memory of one helper process.
//
// The set: the PDFs under /usr/share/doc, topped up with documents of 5 to
// 40 pages of real English text (licences and package copyright files)
// drawn with cairo, which embeds font subsets with ToUnicode maps as most
// PDF writers do. Runs in a private tree.
//
// Usage: pdf_bench [number of files, default 100] [FOLDER]
// With FOLDER, the drawn documents are written there and kept (for
// kestine_bench FOLDER), else into a private tree that is removed.
#include <cairo-pdf.h>
#include <cairo.h>
#include <fcntl.h>
#include <malloc.h>
#include <poppler-document.h>
#include <poppler-page.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/serving_helper.h"
#include "filters/filter_host/frame.h"
#include "platform/testing/private_tree.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::vector<std::string> PackagedPdfs(std::size_t most) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator("/usr/share/doc", ec);
       !ec && it != fs::recursive_directory_iterator() && found.size() < most; it.increment(ec)) {
    if (it->is_regular_file(ec) && it->path().extension() == ".pdf") found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Keeps printable ASCII and whole UTF-8 sequences; anything else becomes a
// space (cairo refuses invalid UTF-8, and a few copyright files are Latin-1).
std::string CleanLine(const std::string& line) {
  std::string clean;
  for (std::size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    const std::size_t length = c < 0x80         ? 1
                               : (c >> 5) == 6  ? 2
                               : (c >> 4) == 14 ? 3
                               : (c >> 3) == 30 ? 4
                                                : 0;
    bool whole = length > 0 && i + length <= line.size() && (length > 1 || c >= 0x20);
    for (std::size_t k = 1; whole && k < length; ++k) whole = (line[i + k] & 0xC0) == 0x80;
    clean += whole ? line.substr(i, length) : " ";
    i += whole ? length : 1;
  }
  return clean;
}

// Lines of real English prose: the licence texts and package copyright
// files every Debian system carries.
std::vector<std::string> EnglishLines() {
  std::vector<std::string> lines;
  std::error_code ec;
  std::vector<fs::path> sources;
  for (const auto& entry : fs::directory_iterator("/usr/share/common-licenses", ec)) {
    sources.push_back(entry.path());
  }
  for (const auto& entry : fs::directory_iterator("/usr/share/doc", ec)) {
    sources.push_back(entry.path() / "copyright");
  }
  for (const fs::path& source : sources) {
    if (!fs::is_regular_file(source, ec)) continue;
    std::istringstream text(trovix::testing::ReadFile(source));
    for (std::string line; std::getline(text, line);)
      lines.push_back(CleanLine(line.substr(0, 100)));
  }
  return lines;
}

struct CairoDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

// An A4 document of `pages` pages of 64 lines each, from line `first` on.
bool DrawPdf(const std::string& path, const std::vector<std::string>& lines, std::size_t first,
             int pages) {
  std::unique_ptr<cairo_surface_t, CairoDeleter> surface(
      cairo_pdf_surface_create(path.c_str(), 595, 842));
  std::unique_ptr<cairo_t, CairoDeleter> cr(cairo_create(surface.get()));
  cairo_select_font_face(cr.get(), "DejaVu Serif", CAIRO_FONT_SLANT_NORMAL,
                         CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr.get(), 9);
  for (int page = 0; page < pages; ++page) {
    for (int row = 0; row < 64; ++row) {
      cairo_move_to(cr.get(), 50, 60 + 11.5 * row);
      cairo_show_text(cr.get(), lines[(first + page * 64 + row) % lines.size()].c_str());
    }
    cairo_show_page(cr.get());
  }
  cr.reset();
  cairo_surface_finish(surface.get());
  return cairo_surface_status(surface.get()) == CAIRO_STATUS_SUCCESS;
}

struct ChildRun {
  int status = -1;  // as waitpid gives it
  long max_rss_kib = 0;
  double cpu_seconds = 0;
  std::string output;
};

// Runs `argv` with its standard output to a pipe read to the end. fork, not
// posix_spawn: a child that shares this process's memory until exec would
// report this process's peak as its own (the kernel keeps the highest RSS
// across exec); a forked child starts from the pages it shares with this
// process now.
ChildRun Run(const std::vector<std::string>& argv, bool quiet) {
  ChildRun run;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int null = quiet ? open("/dev/null", O_WRONLY) : -1;
    if (null >= 0) dup2(null, STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  char buffer[1 << 16];
  for (ssize_t n; pid > 0 && (n = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) run.output.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(out[0]);
  struct rusage usage {};
  if (pid > 0 && wait4(pid, &run.status, 0, &usage) == pid) {
    run.max_rss_kib = usage.ru_maxrss;
    run.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return run;
}

// This process's resident memory now: the most a forked child can have
// shared with it.
double OwnRssMb() {
  std::istringstream status(trovix::testing::ReadFile("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

// Adds the UTF-16 units of text in the helper's frames to `units`; the
// number of answers that end with an end frame reporting success.
int ReadAnswers(const std::string& stream, std::uint64_t* units) {
  docfilter::FrameHeader header;
  int good = 0;
  for (std::size_t at = 0; at + sizeof header <= stream.size();) {
    std::memcpy(&header, stream.data() + at, sizeof header);
    if (!docfilter::IsWellFormed(header)) return good;
    if (header.type == docfilter::kFrameEnd) good += SUCCEEDED(header.status) ? 1 : 0;
    *units += header.length;
    at += sizeof header + header.length * sizeof(char16_t);
  }
  return good;
}

struct Totals {
  double seconds = 0;
  double cpu_seconds = 0;  // of the children, user and system
  int failed = 0;
  std::uint64_t text = 0;  // units (helper) or bytes (pdftotext)
  long peak_kib = 0;
  std::string peak_file;
};

void Print(const char* name, const Totals& t, std::size_t files, double mb, const char* text_unit) {
  std::printf("%-18s %zu files, %.1f MB in %.2f s = %.1f files/s, %.2f MB/s; %.2f s CPU\n", name,
              files, mb, t.seconds, files / t.seconds, mb / t.seconds, t.cpu_seconds);
  std::printf("%-18s %.2f M %s of text, %d failed, peak RSS %.1f MB (%s)\n", "", t.text / 1e6,
              text_unit, t.failed, t.peak_kib / 1024.0, t.peak_file.c_str());
}

Totals TimeProgram(const std::vector<std::string>& files, bool helper, const std::string& program) {
  Totals t;
  const Clock::time_point start = Clock::now();
  for (const std::string& file : files) {
    const ChildRun run = helper ? Run({program, file}, false) : Run({program, file, "-"}, true);
    bool ok = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    if (helper) ok = ReadAnswers(run.output, &t.text) == 1 && ok;
    if (!helper) t.text += run.output.size();
    t.failed += ok ? 0 : 1;
    t.cpu_seconds += run.cpu_seconds;
    if (run.max_rss_kib > t.peak_kib) {
      t.peak_kib = run.max_rss_kib;
      t.peak_file = fs::path(file).filename();
    }
  }
  t.seconds = Seconds(start);
  return t;
}

// The helper as the document filter runs it: one process serving every
// file in turn.
Totals TimeServingHelper(const std::vector<std::string>& files, const std::string& program) {
  const bench::ServedRun run = bench::ServeFiles(program, files);
  Totals t;
  t.seconds = run.seconds;
  t.failed = static_cast<int>(run.failed);
  t.text = run.units;
  t.cpu_seconds = run.cpu_seconds;
  t.peak_kib = run.peak_kib;
  t.peak_file = "all files, one process";
  return t;
}

std::string FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// The cost of each layout alone: poppler in this process, no process start.
void TimeLayouts(const std::vector<std::string>& files, double mb) {
  poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
  const std::pair<const char*, poppler::page::text_layout_enum> layouts[] = {
      {"physical", poppler::page::physical_layout},
      {"raw order", poppler::page::raw_order_layout},
      {"reading order", poppler::page::non_raw_non_physical_layout}};
  std::printf("poppler text layouts in this process:\n");
  for (const auto& [name, layout] : layouts) {
    std::uint64_t units = 0;
    const Clock::time_point start = Clock::now();
    for (const std::string& file : files) {
      const std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(file));
      for (int i = 0; doc != nullptr && i < doc->pages(); ++i) {
        const std::unique_ptr<poppler::page> page(doc->create_page(i));
        if (page != nullptr) units += page->text(poppler::rectf(), layout).size();
      }
    }
    const double seconds = Seconds(start);
    std::printf("  %-14s %.2f s = %.2f MB/s, %.2f M units of text\n", name, seconds, mb / seconds,
                units / 1e6);
  }
}

// Adds drawn documents to `files` until there are `count`; false when the
// machine has too little text or cairo fails.
bool DrawUpTo(std::size_t count, const std::string& folder, std::vector<std::string>* files) {
  const std::vector<std::string> lines = EnglishLines();
  if (files->size() < count && lines.size() < 1000) {
    std::fprintf(stderr, "too little English text on this machine to draw PDFs from\n");
    return false;
  }
  for (std::size_t i = 0; files->size() < count; ++i) {
    const std::string path = folder + "/drawn" + std::to_string(i) + ".pdf";
    if (!DrawPdf(path, lines, i * 7919, 5 + static_cast<int>(i * 13 % 36))) {
      std::fprintf(stderr, "cairo could not write %s\n", path.c_str());
      return false;
    }
    files->push_back(path);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr, "warning: built without optimisation or with assertions on\n");
#endif
  trovix::testing::PrivateTree tree;
  std::vector<std::string> files = PackagedPdfs(count);
  const std::size_t packaged = files.size();
  const std::string folder = argc > 2 ? argv[2] : tree.home();
  if (argc > 2) {
    // The whole set in one folder, packaged documents included.
    fs::create_directories(folder);
    for (std::string& file : files) {
      const std::string copy = folder + "/" + fs::path(file).filename().string();
      fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
      file = copy;
    }
  }
  if (!DrawUpTo(count, folder, &files)) return 1;
  malloc_trim(0);  // the text drawn from is gone: keep the floor under the children's RSS low
  std::uint64_t bytes = 0;
  for (const std::string& file : files) {
    bytes += trovix::testing::ReadFile(file).size();  // also warms the page cache
  }
  const double mb = bytes / 1e6;
  std::printf("%zu PDFs: %zu from /usr/share/doc, %zu drawn with cairo (5-40 pages); %.1f MB\n",
              files.size(), packaged, files.size() - packaged, mb);
  std::printf(
      "(the helper runs at idle CPU priority: on a busy machine its wall time includes\n"
      " waiting, its CPU time does not. A child's peak RSS includes what it shared with\n"
      " this program at fork, at most %.1f MB)\n",
      OwnRssMb());

  const std::string helper = std::string(TROVIX_BUILD_DIR) + "/bin/trovix-filterhost";
  Print("helper, serving", TimeServingHelper(files, helper), files.size(), mb, "UTF-16 units");
  Print("helper, per file", TimeProgram(files, true, helper), files.size(), mb, "UTF-16 units");
  const std::string pdftotext = FindInPath("pdftotext");
  if (pdftotext.empty()) {
    std::printf("pdftotext          NOT FOUND: install Debian's poppler-utils to compare\n");
  } else {
    Print("pdftotext", TimeProgram(files, false, pdftotext), files.size(), mb, "bytes");
  }
  TimeLayouts(files, mb);
  return 0;
}
