// Benchmark support: one trovix-filterhost serving a list of files, as the
// document filter drives it (a request and a descriptor per file, the
// frames read and counted), with the helper's own cost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct ServedRun {
  std::size_t files = 0;
  std::size_t failed = 0;   // files whose answer was not a successful end
  std::uint64_t units = 0;  // UTF-16 units of text
  double seconds = 0;       // wall clock, start to last answer
  double cpu_seconds = 0;   // the helper's user and system time
  long peak_kib = 0;        // the helper's peak resident memory
};

ServedRun ServeFiles(const std::string& program, const std::vector<std::string>& files);

}  // namespace bench
