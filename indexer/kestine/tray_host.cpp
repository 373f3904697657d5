#include "indexer/kestine/tray_host.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QProcess>
#include <QSignalBlocker>

#include "indexer/kestine/status_window.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"
#include "ui/app_icon.h"

namespace trovix::indexer {

TrayHost::TrayHost(QObject* parent) : QObject(parent) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  menu_ = new QMenu(QStringLiteral("&Trovix"));
  menu_->addAction(QStringLiteral("&Search"), this, &TrayHost::LaunchSearchPanel);
  menu_->addAction(QStringLiteral("S&tatus"), this, &TrayHost::OpenStatus);
  pause_ = menu_->addAction(QStringLiteral("&Pause indexing"));
  pause_->setCheckable(true);
  connect(pause_, &QAction::triggered, this, &TrayHost::PauseRequested);
  menu_->addAction(QStringLiteral("E&xit"), this, &TrayHost::RequestExit);
  icon_ = new QSystemTrayIcon(trovix::ui::AppIcon(), this);
  icon_->setToolTip(QStringLiteral("Trovix indexing application"));
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, &TrayHost::OnActivated);
  icon_->show();
}

TrayHost::~TrayHost() { delete menu_; }

void TrayHost::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::DoubleClick) LaunchSearchPanel();
}

void TrayHost::LaunchSearchPanel() {
  RegKey key;
  WString bin_path;
  if (RegKey::Open(HKEY_CURRENT_USER, trovix::keys::kTrovix, &key) != ERROR_SUCCESS ||
      key.GetString(trovix::keys::kBinPath, &bin_path) != ERROR_SUCCESS || bin_path.empty()) {
    return;
  }
  QProcess::startDetached(QString::fromStdU16String(bin_path + u"vistrel"), {});
}

void TrayHost::OpenStatus() {
  if (status_open_) return;
  status_open_ = true;
  StatusWindow window;
  window.exec();
  status_open_ = false;
}

void TrayHost::RequestExit() {
  if (status_open_) return;
  QCoreApplication::quit();
}

void TrayHost::Notify(const QString& message) {
  if (icon_ == nullptr) return;
  icon_->showMessage(QStringLiteral("Trovix"), message, QSystemTrayIcon::Warning);
}

}  // namespace trovix::indexer

namespace trovix::indexer {

void TrayHost::ShowPaused(bool paused) {
  if (pause_ == nullptr) return;
  const QSignalBlocker quiet(pause_);
  pause_->setChecked(paused);
}

}  // namespace trovix::indexer
