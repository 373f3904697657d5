// The application icon: the copy built into the programs, and the theme's
// icon taking its place once the suite is installed.
#include "ui/app_icon.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

// True when the image has a pixel that is not fully transparent.
bool HasDrawing(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (qAlpha(image.pixel(x, y)) != 0) return true;
    }
  }
  return false;
}

}  // namespace

class AppIconTest : public QObject {
  Q_OBJECT

 private slots:
  // The resource lives in a static library; a program linking it gets the
  // files only when the library's resource is initialised with it.
  void BundledIconHasEveryThemeSizeDrawnAtThatSize() {
    const QIcon icon = trovix::ui::BundledAppIcon();
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
      const QString file =
          QStringLiteral(":/trovix/icons/%1x%1/apps/org.trovix.Trovix.png").arg(size);
      const QImage image(file);
      QVERIFY2(!image.isNull(), qPrintable(file));
      QCOMPARE(image.size(), QSize(size, size));
      QVERIFY2(HasDrawing(image), qPrintable(file));
      QCOMPARE(icon.pixmap(QSize(size, size), 1.0).size(), QSize(size, size));
    }
  }

  void WithoutTheThemesIconTheBundledOneIsUsed() {
    QIcon::setThemeSearchPaths({});
    const QImage image = trovix::ui::AppIcon().pixmap(QSize(48, 48), 1.0).toImage();
    QVERIFY(!image.isNull());
    QVERIFY(HasDrawing(image));
  }

  // An installed icon, one a user's theme replaced included, is the one the
  // programs show.
  void TheThemesIconWinsOnceInstalled() {
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString theme = root.path() + QStringLiteral("/icons/hicolor");
    QVERIFY(QDir().mkpath(theme + QStringLiteral("/48x48/apps")));
    QFile index(theme + QStringLiteral("/index.theme"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write(
        "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n"
        "[48x48/apps]\nSize=48\nType=Fixed\n");
    index.close();
    QImage red(48, 48, QImage::Format_ARGB32);
    red.fill(QColor(255, 0, 0));
    QVERIFY(red.save(theme + QStringLiteral("/48x48/apps/org.trovix.Trovix.png")));

    QIcon::setThemeSearchPaths({root.path() + QStringLiteral("/icons")});
    QIcon::setThemeName(QStringLiteral("hicolor"));
    const QIcon icon = trovix::ui::AppIcon();
    QCOMPARE(icon.name(), QStringLiteral("org.trovix.Trovix"));
    QCOMPARE(icon.pixmap(QSize(48, 48), 1.0).toImage().pixelColor(24, 24), QColor(255, 0, 0));
  }
};

QTEST_MAIN(AppIconTest)
#include "app_icon_test.moc"
