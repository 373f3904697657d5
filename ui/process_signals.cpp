#include "ui/process_signals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdlib>

namespace trovix::ui {
namespace {

int g_signal_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  static_cast<void>(write(g_signal_pipe[1], &byte, 1));
}

}  // namespace

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

}  // namespace trovix::ui
