#include "ui/app_icon.h"

#include <QGuiApplication>
#include <QString>

namespace trovix::ui {
namespace {

// The sizes data/icons/hicolor holds as PNG files; the resource bundles each.
constexpr int kBundledSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

}  // namespace

QIcon BundledAppIcon() {
  QIcon icon;
  for (const int size : kBundledSizes) {
    icon.addFile(QStringLiteral(":/trovix/icons/%1x%1/apps/org.trovix.Trovix.png").arg(size),
                 QSize(size, size));
  }
  return icon;
}

QIcon AppIcon() { return QIcon::fromTheme(QStringLiteral("org.trovix.Trovix"), BundledAppIcon()); }

void SetApplicationIcon(const char* desktop_id) {
  QGuiApplication::setWindowIcon(AppIcon());
  QGuiApplication::setDesktopFileName(QString::fromLatin1(desktop_id));
}

}  // namespace trovix::ui
