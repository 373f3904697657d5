// trovix-band: shows the registered desk bands in a strip at a screen edge.
// Needs a display; stops on SIGTERM or SIGINT through the same shutdown as
// closing the strip, so every band is closed and released in order.
#include <QApplication>
#include <iostream>

#include "deskband/host/band_host.h"
#include "platform/com.h"
#include "ui/app_icon.h"
#include "ui/process_signals.h"

int main(int argc, char** argv) {
  if (!trovix::ui::HasDisplay()) {
    std::cerr << "trovix-band: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                 "the desk band strip needs a graphical session\n";
    return 1;
  }
  ComInit com;
  if (FAILED(com.hr())) return 1;
  QApplication app(argc, argv);
  trovix::ui::QuitOnSignals(&app);
  trovix::ui::SetApplicationIcon("org.trovix.Band");
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
