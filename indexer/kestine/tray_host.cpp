#include "indexer/kestine/tray_host.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QSignalBlocker>

#include "indexer/kestine/status_window.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace trovix::indexer {

QIcon TrovixIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(40, 40, 40), 1));
  painter.setBrush(Qt::white);
  painter.drawRect(3, 2, 18, 24);
  painter.setPen(QPen(QColor(20, 80, 180), 3));
  painter.setBrush(QColor(220, 235, 255));
  painter.drawEllipse(12, 10, 12, 12);
  painter.drawLine(22, 21, 29, 28);
  return QIcon(pixmap);
}

TrayHost::TrayHost(QObject* parent) : QObject(parent) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  menu_ = new QMenu(QStringLiteral("&Trovix"));
  menu_->addAction(QStringLiteral("&Search"), this, &TrayHost::LaunchSearchPanel);
  menu_->addAction(QStringLiteral("S&tatus"), this, &TrayHost::OpenStatus);
  pause_ = menu_->addAction(QStringLiteral("&Pause indexing"));
  pause_->setCheckable(true);
  connect(pause_, &QAction::triggered, this, &TrayHost::PauseRequested);
  menu_->addAction(QStringLiteral("E&xit"), this, &TrayHost::RequestExit);
  icon_ = new QSystemTrayIcon(TrovixIcon(), this);
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
