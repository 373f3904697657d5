#include "platform/testing/private_tree.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace trovix::testing {
namespace {

constexpr const char* kUnset = "\x01unset";

const char* const kVariables[] = {"HOME",
                                  "XDG_CONFIG_HOME",
                                  "XDG_DATA_HOME",
                                  "XDG_STATE_HOME",
                                  "XDG_RUNTIME_DIR",
                                  "TROVIX_MACHINE_HIVE",
                                  "TROVIX_USER_HIVE",
                                  "TROVIX_SYSTEMCTL",
                                  "DBUS_SYSTEM_BUS_ADDRESS",
                                  "APPDATA"};

}  // namespace

PrivateTree::PrivateTree() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/trovix-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  for (const char* sub : {"/home", "/config", "/data", "/state", "/runtime", "/machine"}) {
    std::filesystem::create_directories(root_ + sub);
  }
  std::filesystem::permissions(root_ + "/runtime", std::filesystem::perms::owner_all);
  for (const char* name : kVariables) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old != nullptr ? old : kUnset);
  }
  setenv("HOME", home().c_str(), 1);
  setenv("XDG_CONFIG_HOME", config().c_str(), 1);
  setenv("XDG_DATA_HOME", data().c_str(), 1);
  setenv("XDG_STATE_HOME", state().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", runtime().c_str(), 1);
  setenv("TROVIX_MACHINE_HIVE", machine_hive().c_str(), 1);
  unsetenv("TROVIX_USER_HIVE");
  unsetenv("APPDATA");
  // A systemctl that fails as one without a user manager does: trovix-setup
  // run by a test must never enable or start anything in the real session.
  setenv("TROVIX_SYSTEMCTL", "false", 1);
  // A system bus that is not there: a kestine started by a test on a laptop
  // running on battery must not pause. A test that wants one starts its own.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + runtime() + "/no-system-bus").c_str(), 1);
}

PrivateTree::~PrivateTree() {
  for (const auto& [name, value] : saved_) {
    if (value == kUnset) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

int RunProcess(const std::vector<std::string>& argv, std::string* output) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    if (pipe(pipe_fds) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    close(pipe_fds[1]);
    if (rc == 0) {
      char buffer[4096];
      ssize_t n;
      while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) output->append(buffer, n);
    }
    close(pipe_fds[0]);
  }
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

int InstallBuild(const std::string& cmake, const std::string& build_dir, const std::string& prefix,
                 std::string* output) {
  const int status = RunProcess({cmake, "--install", build_dir, "--prefix", prefix}, output);
  unsetenv("TROVIX_MACHINE_HIVE");
  return status;
}

int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count - 1;  // the iterator's own descriptor
}

bool HasDescriptorOpenOn(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path wanted = std::filesystem::weakly_canonical(path, ec);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target == wanted) return true;
  }
  return false;
}

}  // namespace trovix::testing
