#include "tools/login_start.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/paths.h"

extern char** environ;

namespace trovix::setup {
namespace {

constexpr const char* kUnitName = "kestine.service";
// The indexer works within 100 MiB; the filter helpers it starts run in its
// cgroup too. Above this the kernel reclaims from the service's pages
// first (MemoryHigh throttles, it never kills), so a runaway document
// slows the indexer down instead of the desktop.
constexpr int kKestineMemoryHighMiB = 160;

HRESULT Report(std::ostream& err, HRESULT hr, const std::string& what) {
  err << "trovix-setup: " << what << ": " << StatusMessage(hr) << " (" << StatusName(hr) << ")\n";
  return hr;
}

std::string InConfigHome(const std::string& relative) {
  const std::string config = ConfigHome();
  return config.empty() ? std::string() : config + "/" + relative;
}

std::string SystemctlProgram() {
  const char* program = std::getenv("TROVIX_SYSTEMCTL");
  return program != nullptr && program[0] != '\0' ? program : "systemctl";
}

// Runs `systemctl --user ARGS...` (searched on the PATH unless a path) with
// its stdout and stderr collected in `*output`. Returns its exit status, or
// -1 when it could not be started or ended by a signal.
int RunSystemctl(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> words = {SystemctlProgram(), "--user"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::array<int, 2> pipe_fds{};
  if (pipe2(pipe_fds.data(), O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (error == 0) {
    std::array<char, 4096> buffer{};
    for (;;) {
      const ssize_t n = read(pipe_fds[0], buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      output->append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  close(pipe_fds[0]);
  if (error != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True when the user has a service manager systemctl can talk to. Its state
// is the last line `is-system-running` prints; "offline" (no manager or no
// bus) and "unknown" mean none, as does a systemctl that cannot be run. The
// exit status alone does not tell: it is 1 for a merely "degraded" manager.
bool HasUserManager() {
  std::string output;
  if (RunSystemctl({"is-system-running"}, &output) < 0) return false;
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  const std::string state = output.substr(output.find_last_of('\n') + 1);
  for (const char* known : {"initializing", "starting", "running", "degraded", "maintenance"}) {
    if (state == known) return true;
  }
  return false;
}

HRESULT Systemctl(const std::vector<std::string>& args, std::ostream& err) {
  std::string output;
  if (RunSystemctl(args, &output) == 0) return S_OK;
  std::string command = "systemctl --user";
  for (const std::string& arg : args) command += " " + arg;
  err << output;
  return Report(err, E_FAIL, command + " failed");
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

// Writes `text` to `path` (mode 0644, its folder created) unless the file
// holds it already; `*changed` tells which.
HRESULT WriteIfChanged(const std::string& path, const std::string& text, bool* changed,
                       std::ostream& err) {
  *changed = false;
  if (path.empty()) return Report(err, E_FAIL, "cannot tell where the configuration belongs");
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && ReadWhole(path) == text) return S_OK;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  int error = ec ? ec.value() : 0;
  if (error == 0) error = WriteFileAtomically(path, text, 0644);
  if (error != 0) return Report(err, HresultFromErrno(error), "cannot write " + path);
  *changed = true;
  return S_OK;
}

// Removes `path`; a missing file is not an error. `*removed` tells whether
// there was one.
HRESULT RemoveFile(const std::string& path, bool* removed, std::ostream& err) {
  *removed = false;
  if (path.empty()) return S_OK;
  if (unlink(path.c_str()) == 0) {
    *removed = true;
    return S_OK;
  }
  if (errno == ENOENT) return S_OK;
  return Report(err, HresultFromErrno(errno), "cannot remove " + path);
}

// A program path as a unit file's command line takes it: in double quotes,
// with '\\' and '"' escaped, and '%' and '$' doubled so that neither starts a
// specifier or a variable.
std::string UnitExecQuoted(const std::string& program) {
  std::string quoted = "\"";
  for (const char c : program) {
    if (c == '\\' || c == '"') quoted += '\\';
    if (c == '%' || c == '$') quoted += c;
    quoted += c;
  }
  return quoted + "\"";
}

// The Exec key's program, quoted as desktop entries require: inside double
// quotes '"', '`', '$' and '\\' take a backslash, then the value's own
// escaping doubles every backslash; '%' is doubled as it starts field codes.
std::string DesktopExecQuoted(const std::string& program) {
  std::string quoted = "\"";
  for (const char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    if (c == '\\') quoted += "\\";
    quoted += c;
    if (c == '%') quoted += '%';
  }
  return quoted + "\"";
}

std::string DesktopEntry(const std::string& name, const std::string& comment,
                         const std::string& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" +
         name + "\nComment=" + comment + "\nExec=" + DesktopExecQuoted(program) +
         "\n"
         "Icon=org.trovix.Trovix\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

// The autostart entries' names before they took the suite's reverse-DNS
// names. An entry left under the old name would start its program a second
// time at login, so each step that writes or removes an entry removes it.
std::string LegacyKestineAutostartPath() { return InConfigHome("autostart/kestine.desktop"); }
std::string LegacyBandAutostartPath() { return InConfigHome("autostart/trovix-band.desktop"); }

// Removes the entry at `path` (none when empty) and the one at `legacy`,
// reporting each one that was there.
HRESULT RemoveEntries(const std::string& path, const std::string& legacy, std::ostream& out,
                      std::ostream& err) {
  for (const std::string& entry : {path, legacy}) {
    bool removed = false;
    const HRESULT hr = RemoveFile(entry, &removed, err);
    if (FAILED(hr)) return hr;
    if (removed) out << "Autostart entry removed: " << entry << "\n";
  }
  return S_OK;
}

HRESULT WriteKestineAutostart(const Installation& installation, std::ostream& out,
                              std::ostream& err) {
  const std::string path = KestineAutostartPath();
  bool changed = false;
  const HRESULT hr =
      WriteIfChanged(path,
                     DesktopEntry("Trovix Indexer", "Keeps the Trovix search index up to date",
                                  installation.bin_dir() + "kestine"),
                     &changed, err);
  if (FAILED(hr)) return hr;
  out << "No systemd user manager: kestine starts at login from " << path
      << (changed ? " (written)" : " (unchanged)") << "\n";
  return RemoveEntries(std::string(), LegacyKestineAutostartPath(), out, err);
}

}  // namespace

std::string KestineUnitPath() { return InConfigHome(std::string("systemd/user/") + kUnitName); }
std::string KestineAutostartPath() { return InConfigHome("autostart/org.trovix.Kestine.desktop"); }
std::string BandAutostartPath() { return InConfigHome("autostart/org.trovix.Band.desktop"); }

// Why each line is there:
//  - After=graphical-session.target orders the start after the desktop's
//    session target when both start together, so that kestine sees the
//    DISPLAY the session imports and shows its tray icon; WantedBy is
//    default.target because every user manager has it, while many desktops
//    (and text logins) never start graphical-session.target. Without a
//    display kestine runs without an icon.
//  - Restart=on-failure brings back a crashed indexer but not a stopped one.
//    Exit status 1 means another kestine holds the instance lock: restarting
//    cannot help, so it does not count as a failure to restart from.
//  - Nice, CPUSchedulingPolicy and IOSchedulingClass only lower the process's
//    claims, which a user manager may do without privileges.
//  - Slice=background.slice puts it with the user's other background work,
//    CPUWeight=idle and IOWeight=1 give it only what the desktop leaves over
//    (as cgroup weights, they hold for the filter helpers too), and
//    MemoryHigh bounds it (kKestineMemoryHighMiB).
std::string KestineUnit(const Installation& installation) {
  return "[Unit]\n"
         "Description=Trovix indexer (kestine)\n"
         "Documentation=man:kestine(1)\n"
         "After=graphical-session.target\n"
         "\n"
         "[Service]\n"
         "Type=exec\n"
         "ExecStart=" +
         UnitExecQuoted(installation.bin_dir() + "kestine") +
         "\n"
         "Restart=on-failure\n"
         "RestartSec=10\n"
         "RestartPreventExitStatus=1\n"
         "Nice=19\n"
         "CPUSchedulingPolicy=idle\n"
         "IOSchedulingClass=idle\n"
         "Slice=background.slice\n"
         "CPUWeight=idle\n"
         "IOWeight=1\n"
         "MemoryHigh=" +
         std::to_string(kKestineMemoryHighMiB) +
         "M\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

std::string PackagedKestineUnitPath(const Installation& installation) {
  return installation.prefix + "/lib/systemd/user/" + kUnitName;
}

bool UsesPackagedKestineUnit(const Installation& installation) {
  std::error_code ec;
  const std::filesystem::path packaged = PackagedKestineUnitPath(installation);
  if (!std::filesystem::is_regular_file(packaged, ec)) return false;
  std::string output;
  if (RunSystemctl({"show", "--property=UnitPath", "--value"}, &output) != 0) return false;
  std::istringstream folders(output);
  for (std::string folder; folders >> folder;) {
    if (std::filesystem::path(folder).lexically_normal() / "" ==
        packaged.parent_path().lexically_normal() / "") {
      return true;
    }
  }
  return false;
}

namespace {

// With the package's unit in use, a per-user unit would shadow it (the user
// folder comes first in the manager's search path), so that package upgrades
// of the unit never took effect. One that holds exactly what an earlier run
// wrote for this installation is ours and goes; any other text is the
// user's own override and stays.
HRESULT RetireUserUnit(const Installation& installation, std::ostream& out, std::ostream& err) {
  const std::string unit = KestineUnitPath();
  std::error_code ec;
  if (unit.empty() || !std::filesystem::exists(unit, ec)) return S_OK;
  if (ReadWhole(unit) != KestineUnit(installation)) {
    out << "Unit kept: " << unit << " overrides " << PackagedKestineUnitPath(installation) << "\n";
    return S_OK;
  }
  bool removed = false;
  HRESULT hr = RemoveFile(unit, &removed, err);
  if (SUCCEEDED(hr) && removed) {
    out << "Unit removed: " << unit << " (" << PackagedKestineUnitPath(installation)
        << " takes its place)\n";
    hr = Systemctl({"daemon-reload"}, err);
  }
  return hr;
}

HRESULT WriteUserUnit(const Installation& installation, std::ostream& out, std::ostream& err) {
  const std::string unit = KestineUnitPath();
  bool changed = false;
  HRESULT hr = WriteIfChanged(unit, KestineUnit(installation), &changed, err);
  if (SUCCEEDED(hr) && changed) {
    out << "Unit written: " << unit << "\n";
    hr = Systemctl({"daemon-reload"}, err);
  }
  return hr;
}

}  // namespace

HRESULT InstallKestineLoginStart(const Installation& installation, std::ostream& out,
                                 std::ostream& err) {
  if (!HasUserManager()) return WriteKestineAutostart(installation, out, err);
  HRESULT hr = UsesPackagedKestineUnit(installation) ? RetireUserUnit(installation, out, err)
                                                     : WriteUserUnit(installation, out, err);
  if (SUCCEEDED(hr)) hr = Systemctl({"enable", "--now", kUnitName}, err);
  if (FAILED(hr)) return hr;
  out << "kestine runs as the systemd user service " << kUnitName << " and starts at every login\n";
  return RemoveEntries(KestineAutostartPath(), LegacyKestineAutostartPath(), out, err);
}

HRESULT RemoveKestineLoginStart(const Installation& installation, std::ostream& out,
                                std::ostream& err) {
  const std::string unit = KestineUnitPath();
  std::error_code ec;
  const bool manager = HasUserManager();
  HRESULT hr = S_OK;
  if (manager && (std::filesystem::exists(unit, ec) || UsesPackagedKestineUnit(installation))) {
    hr = Systemctl({"disable", "--now", kUnitName}, err);
  }
  bool removed = false;
  if (SUCCEEDED(hr)) hr = RemoveFile(unit, &removed, err);
  if (SUCCEEDED(hr) && removed) {
    out << "Unit stopped and removed: " << unit << "\n";
    if (manager) hr = Systemctl({"daemon-reload"}, err);
  }
  if (SUCCEEDED(hr)) {
    hr = RemoveEntries(KestineAutostartPath(), LegacyKestineAutostartPath(), out, err);
  }
  return hr;
}

HRESULT InstallBandAutostart(const Installation& installation, std::ostream& out,
                             std::ostream& err) {
  const std::string path = BandAutostartPath();
  bool changed = false;
  const HRESULT hr = WriteIfChanged(
      path,
      DesktopEntry("Trovix Desk Band",
                   "A small search box at the screen edge that hands queries to Trovix Search",
                   installation.bin_dir() + "trovix-band"),
      &changed, err);
  if (FAILED(hr)) return hr;
  out << "Autostart entry " << (changed ? "written: " : "kept: ") << path << "\n";
  return RemoveEntries(std::string(), LegacyBandAutostartPath(), out, err);
}

HRESULT RemoveBandAutostart(std::ostream& out, std::ostream& err) {
  return RemoveEntries(BandAutostartPath(), LegacyBandAutostartPath(), out, err);
}

}  // namespace trovix::setup
