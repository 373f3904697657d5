// trovix-band: shows the registered desk bands in a strip at a screen edge.
// Needs a display; stops on SIGTERM or SIGINT through the same shutdown as
// closing the strip, so every band is closed and released in order.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdlib>
#include <iostream>

#include "deskband/host/band_host.h"
#include "platform/com.h"

namespace {

int g_signal_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  static_cast<void>(write(g_signal_pipe[1], &byte, 1));
}

void QuitOnSignals(QCoreApplication* app) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_pipe) != 0) return;
  auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, app);
  QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
  signal(SIGTERM, OnStopSignal);
  signal(SIGINT, OnStopSignal);
}

bool HasDisplay() {
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr ||
         std::getenv("QT_QPA_PLATFORM") != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::cerr << "trovix-band: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                 "the desk band strip needs a graphical session\n";
    return 1;
  }
  ComInit com;
  if (FAILED(com.hr())) return 1;
  QApplication app(argc, argv);
  QuitOnSignals(&app);
  // The strip is closed only through a signal or the session's end.
  QApplication::setQuitOnLastWindowClosed(false);

  trovix::band::BandHost host;
  if (FAILED(host.OpenPort())) {
    std::cerr << "trovix-band: cannot open the host's message port\n";
    return 1;
  }
  if (host.LoadBands() == 0) std::cerr << "trovix-band: no desk band is registered\n";
  host.RestorePosition();
  host.show();
  const int result = app.exec();
  host.CloseBands();
  return result;
}
