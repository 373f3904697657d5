// trovix-setup: registers an installed suite for the current user and
// creates the database. See installer.h for the steps.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>

#include "platform/hresult.h"
#include "tools/installer.h"
#include "tools/login_start.h"

namespace {

constexpr const char* kUsage =
    "Usage: trovix-setup [--autostart | --uninstall | --print-unit]\n"
    "Registers the Trovix components of this installation for the current user,\n"
    "writes its settings, creates the search index database when it is missing and\n"
    "starts the indexer (kestine) now and at every login: as the systemd user\n"
    "service kestine.service, or from an autostart entry without a user manager.\n"
    "  --autostart  also start the desk band strip (trovix-band) at login\n"
    "  --uninstall  stop the indexer, remove its service, the autostart entries and\n"
    "               the registrations; the index and settings stay in place\n"
    "  --print-unit print this installation's systemd user unit for kestine and\n"
    "               change nothing (a package installs it in lib/systemd/user)\n"
    "  --help       show this text\n";

// The prefix P of P/bin/trovix-setup.
std::string InstallationPrefix() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  bool uninstall = false;
  bool autostart = false;
  bool print_unit = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--uninstall") == 0) {
      uninstall = true;
    } else if (std::strcmp(argv[i], "--autostart") == 0) {
      autostart = true;
    } else if (std::strcmp(argv[i], "--print-unit") == 0) {
      print_unit = true;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << "trovix-setup: unknown argument '" << argv[i] << "'\n" << kUsage;
      return 2;
    }
  }
  if (static_cast<int>(uninstall) + static_cast<int>(autostart) + static_cast<int>(print_unit) >
      1) {
    std::cerr << "trovix-setup: --autostart, --uninstall and --print-unit exclude each other\n"
              << kUsage;
    return 2;
  }
  const trovix::setup::Installation installation{InstallationPrefix()};
  if (installation.prefix.empty()) {
    std::cerr << "trovix-setup: cannot tell where this installation lies\n";
    return 1;
  }
  if (print_unit) {
    std::cout << trovix::setup::KestineUnit(installation);
    return 0;
  }
  HRESULT hr = uninstall ? trovix::setup::Uninstall(installation, std::cout, std::cerr)
                         : trovix::setup::Install(installation, std::cout, std::cerr);
  if (SUCCEEDED(hr) && autostart) {
    hr = trovix::setup::InstallBandAutostart(installation, std::cout, std::cerr);
  }
  if (FAILED(hr)) return 1;
  std::cout << (uninstall ? "Trovix is unregistered.\n" : "Trovix is set up.\n");
  return 0;
}
