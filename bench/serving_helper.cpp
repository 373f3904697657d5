#include "bench/serving_helper.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "filters/filter_host/frame.h"
#include "filters/helper_process.h"

namespace bench {
namespace {

// Reads one answer; false unless it ends with a successful end frame.
bool ReadAnswer(docfilter::HelperProcess* helper, std::uint64_t* units) {
  std::u16string text;
  for (;;) {
    docfilter::FrameHeader header;
    if (FAILED(helper->Read(&header, sizeof header)) || !docfilter::IsWellFormed(header)) {
      return false;
    }
    if (header.type == docfilter::kFrameEnd) return SUCCEEDED(header.status);
    text.resize(header.length);
    if (FAILED(helper->Read(text.data(), text.size() * sizeof(char16_t)))) return false;
    *units += header.length;
  }
}

bool Request(docfilter::HelperProcess* helper, const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  docfilter::RequestHeader header;
  header.length = static_cast<std::uint32_t>(path.size());
  std::string message(reinterpret_cast<const char*>(&header), sizeof header);
  message += path;
  const HRESULT hr = helper->Send(message.data(), message.size(), std::chrono::minutes(10), fd);
  close(fd);
  return SUCCEEDED(hr);
}

// The helper's peak resident memory (kB) and CPU time, read while it runs.
void ReadCost(pid_t pid, ServedRun* run) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) run->peak_kib = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return;
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  long ticks = 0;
  // Fields 14 and 15 (utime, stime) are the 12th and 13th after the name.
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i >= 12) ticks += std::strtol(field.c_str(), nullptr, 10);
  }
  run->cpu_seconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

ServedRun ServeFiles(const std::string& program, const std::vector<std::string>& files) {
  ServedRun run;
  docfilter::HelperProcess helper;
  const auto start = std::chrono::steady_clock::now();
  if (FAILED(helper.Start(program, {"--serve"}, std::chrono::minutes(10)))) {
    run.failed = files.size();
    return run;
  }
  for (const std::string& file : files) {
    ++run.files;
    // After a failed answer the stream is not to be trusted: a new helper.
    if (!Request(&helper, file) || !ReadAnswer(&helper, &run.units)) {
      ++run.failed;
      ReadCost(helper.pid(), &run);
      if (FAILED(helper.Start(program, {"--serve"}, std::chrono::minutes(10)))) break;
    }
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ReadCost(helper.pid(), &run);
  helper.Stop();
  return run;
}

}  // namespace bench
