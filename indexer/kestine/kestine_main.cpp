// kestine: the indexer. Without a display or a tray it runs without an icon
// and stops on SIGTERM or SIGINT through the same shutdown sequence.
#include <QApplication>
#include <QMessageBox>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "indexer/indexer_service.h"
#include "indexer/kestine/control_port.h"
#include "indexer/kestine/instance_lock.h"
#include "indexer/kestine/kestine_registration.h"
#include "indexer/kestine/power_source.h"
#include "indexer/kestine/tray_host.h"
#include "indexer/notify_panels.h"
#include "indexer/pause_setting.h"
#include "platform/com.h"
#include "platform/index_roots.h"
#include "platform/thread_priority.h"
#include "shared/diagnostic_log.h"
#include "ui/app_icon.h"
#include "ui/process_signals.h"

namespace {

// "-RegServer" or "/UnregServer", compared without regard to case.
int HandleCommandLine(int argc, char** argv, bool* handled) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) continue;
    const QString token = QString::fromStdString(arg.substr(1));
    if (token.compare(QStringLiteral("RegServer"), Qt::CaseInsensitive) == 0) {
      *handled = true;
      return trovix::indexer::RegisterKestine() == ERROR_SUCCESS ? 0 : 1;
    }
    if (token.compare(QStringLiteral("UnregServer"), Qt::CaseInsensitive) == 0) {
      *handled = true;
      return trovix::indexer::UnregisterKestine() == ERROR_SUCCESS ? 0 : 1;
    }
  }
  return 0;
}

// Takes the user's indexer lock. Returns 0 when this process may index, else
// the exit status after telling why not: 1 when another kestine runs (two
// indexers would index the same roots twice), 2 when no lock can be made.
int TakeInstanceLock(trovix::indexer::InstanceLock* lock) {
  using Result = trovix::indexer::InstanceLock::Result;
  pid_t holder = 0;
  std::string detail;
  const Result result = lock->Acquire(&holder, &detail);
  if (result == Result::kHeld) {
    std::cerr << "kestine is already running";
    if (holder > 0) std::cerr << " (process " << holder << ")";
    std::cerr << "; stop it with: systemctl --user stop kestine";
    if (holder > 0) std::cerr << ", or kill " << holder;
    std::cerr << "\n";
    return 1;
  }
  if (!detail.empty()) std::cerr << "kestine: " << detail << "\n";
  return result == Result::kAcquired ? 0 : 2;
}

std::vector<std::string> Roots() {
  std::vector<IndexRoot> roots;
  std::vector<std::string> paths;
  if (SUCCEEDED(ReadIndexRoots(&roots))) {
    for (const IndexRoot& root : roots) paths.push_back(root.path);
  }
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  ComInit com;
  if (FAILED(com.hr())) return -1;
  bool handled = false;
  const int status = HandleCommandLine(argc, argv, &handled);
  if (handled) return status;
  trovix::indexer::InstanceLock instance_lock;
  if (const int refused = TakeInstanceLock(&instance_lock); refused != 0) return refused;

  const bool gui = trovix::ui::HasDisplay();
  std::unique_ptr<QCoreApplication> app = gui ? std::make_unique<QApplication>(argc, argv)
                                              : std::make_unique<QCoreApplication>(argc, argv);
  trovix::ui::QuitOnSignals(app.get());
  // The status window and the error boxes carry the suite's icon.
  if (gui) QApplication::setWindowIcon(trovix::ui::AppIcon());
  // Indexing never competes with the desktop: the whole process runs nice.
  static_cast<void>(LowerProcessCpuPriority(10));

  trovix::indexer::ServiceOptions options;
  options.roots = Roots();
  options.notify_panels = trovix::indexer::NotifyPanels;
  options.show_error = [gui](std::string_view message) {
    std::cerr << "kestine: " << message << "\n";
    if (gui) {
      QMessageBox::critical(nullptr, QStringLiteral("Error"),
                            QString::fromUtf8(message.data(), static_cast<int>(message.size())));
    }
  };
  std::unique_ptr<trovix::indexer::TrayHost> tray;
  if (gui) tray = std::make_unique<trovix::indexer::TrayHost>();
  // Problems of the whole indexer reach the terminal, the diagnostic log and
  // the tray; worker threads hand the tray its part through the event loop.
  trovix::indexer::TrayHost* tray_host = tray.get();
  options.report = [tray_host](const std::string& message) {
    std::cerr << "kestine: " << message << "\n";
    trovix::LogEvent(__FILE__, __LINE__, S_OK, message);
    if (tray_host != nullptr) {
      QMetaObject::invokeMethod(
          tray_host,
          [tray_host, text = QString::fromStdString(message)] { tray_host->Notify(text); },
          Qt::QueuedConnection);
    }
  };
  trovix::indexer::IndexerService service(options);
  if (!tray || !tray->has_icon()) {
    std::cerr << "kestine: no system tray available; running without an icon "
                 "(stop with SIGTERM or SIGINT)\n";
  }
  // A pause outlives a restart, and a start on battery finds the battery's
  // pause: both are set before any thread can index.
  service.SetPaused(trovix::indexer::ReadPause(std::time(nullptr)).paused);
  trovix::indexer::PowerSource power;
  service.SetPausedOnBattery(power.on_battery() && trovix::indexer::ReadPauseOnBattery());
  int result = 0;
  if (service.Start()) {
    // Settings changed by trovix config, status asked by trovix status, and
    // the pause, kept in step with the registry and the tray.
    trovix::indexer::ControlPort control(&service, Roots);
    control.SetOnBattery(power.on_battery());
    QObject::connect(&power, &trovix::indexer::PowerSource::OnBatteryChanged, &control,
                     &trovix::indexer::ControlPort::SetOnBattery);
    if (tray) {
      tray->ShowPaused(service.state().paused.load());
      QObject::connect(tray.get(), &trovix::indexer::TrayHost::PauseRequested, &control,
                       &trovix::indexer::ControlPort::SetPaused);
      QObject::connect(&control, &trovix::indexer::ControlPort::PauseChanged, tray.get(),
                       &trovix::indexer::TrayHost::ShowPaused);
    }
    result = app->exec();
  }
  service.Stop();
  return result;
}
