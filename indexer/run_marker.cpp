#include "indexer/run_marker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/paths.h"

namespace trovix::indexer {

std::string RunMarkerPath() {
  const std::string state = SuiteStateDir();
  return state.empty() ? std::string() : state + "/kestine.running";
}

bool RunMarkerExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

int CreateRunMarker(const std::string& path) {
  if (path.empty()) return ENOENT;
  if (const int error = MakePrivateDirs(std::filesystem::path(path).parent_path().string());
      error != 0) {
    return error;
  }
  return WriteFileAtomically(path, std::to_string(getpid()) + "\n");
}

int RemoveRunMarker(const std::string& path) {
  if (path.empty()) return 0;
  return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

}  // namespace trovix::indexer
