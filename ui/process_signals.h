// Ending a Qt program's event loop on SIGTERM or SIGINT, so that its normal
// shutdown runs in order (windows saved, components released, threads
// stopped) instead of the process dying in the middle of it.
#pragma once

class QCoreApplication;

namespace trovix::ui {

// Installs handlers that make `app` quit when SIGTERM or SIGINT arrives. The
// handler only writes a byte to a socket the event loop watches (nothing else
// is safe in a signal handler). Once per process, on the main thread.
void QuitOnSignals(QCoreApplication* app);

// True when a graphical session is there to show windows in.
[[nodiscard]] bool HasDisplay();

}  // namespace trovix::ui
