// The desk band host against a fake band module registered in a private
// tree: which classes it finds, the order it drives a band in, its port, its
// saved place, and the program's start and stop.
#include "deskband/host/band_host.h"

#include <signal.h>

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <cstdlib>
#include <optional>

#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

using trovix::band::BandHost;

namespace {

constexpr CLSID kFakeBand = MakeGuid("{5B8E2F40-7C1A-4D39-A6E2-0F3B9C7D1E24}");
constexpr CLSID kOtherClass = MakeGuid("{0D3C2B1A-1111-4222-8333-944455566677}");

void RegisterClass(const WString& name, const std::string& module, bool desk_band) {
  const WString base = u"Software\\Classes\\CLSID\\" + name;
  RegKey key;
  QCOMPARE(RegKey::Create(HKEY_CURRENT_USER, base + u"\\InprocServer32", &key), ERROR_SUCCESS);
  QCOMPARE(key.SetString(u"", Utf8ToUtf16(module)), ERROR_SUCCESS);
  if (!desk_band) return;
  RegKey category;
  QCOMPARE(RegKey::Create(HKEY_CURRENT_USER,
                          base + u"\\Implemented Categories\\" + GuidToWString(CATID_DeskBand),
                          &category),
           ERROR_SUCCESS);
}

std::string FakeModule() { return std::string(TROVIX_BUILD_DIR) + "/tests/libfake_band.so"; }

QStringList LogLines(const std::string& path) {
  return QString::fromStdString(trovix::testing::ReadFile(path)).split('\n', Qt::SkipEmptyParts);
}

}  // namespace

class BandHostTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    tree_.emplace();
    log_ = tree_->root() + "/band.log";
    setenv("TROVIX_TEST_BAND_LOG", log_.c_str(), 1);
    unsetenv("TROVIX_TEST_BAND_REFUSE_SITE");
    com_.emplace();
    QVERIFY(SUCCEEDED(com_->hr()));
  }
  void cleanup() {
    com_.reset();
    tree_.reset();
  }

  void FindsOnlyClassesOfTheDeskBandCategory() {
    RegisterClass(GuidToWString(kOtherClass), FakeModule(), false);
    RegisterClass(u"not-a-class-id", FakeModule(), true);
    QVERIFY(trovix::band::FindDeskBandClasses().empty());
    RegisterClass(GuidToWString(kFakeBand), FakeModule(), true);
    const std::vector<CLSID> found = trovix::band::FindDeskBandClasses();
    QCOMPARE(found.size(), 1u);
    QVERIFY(found[0] == kFakeBand);
  }

  void DrivesTheBandInOrderAndSizesIt() {
    RegisterClass(GuidToWString(kFakeBand), FakeModule(), true);
    auto host = std::make_unique<BandHost>();
    QCOMPARE(host->OpenPort(), S_OK);
    const QString port_line = QString::fromStdString("port " + host->port()->info().id);
    QCOMPARE(host->LoadBands(), 1);
    QCOMPARE(LogLines(log_),
             QStringList({"SetSite site", port_line, "GetBandInfo 1 0", "ShowDW 1"}));
    host->show();
    auto* window = host->findChild<QWidget*>(QStringLiteral("fake band window"));
    QVERIFY(window != nullptr);
    QVERIFY(window->isVisible());
    // The band's minimum width, one strip high; its window follows its slot.
    QTRY_COMPARE(window->size(), QSize(120, host->height()));

    host->CloseBands();
    QCOMPARE(LogLines(log_).mid(4), QStringList({"CloseDW", "SetSite null", "Released"}));
    host.reset();  // closing twice drives nothing more
    QCOMPARE(LogLines(log_).size(), 7);
  }

  void ReleasesABandThatRefusesItsSite() {
    RegisterClass(GuidToWString(kFakeBand), FakeModule(), true);
    setenv("TROVIX_TEST_BAND_REFUSE_SITE", "1", 1);
    BandHost host;
    QCOMPARE(host.LoadBands(), 0);
    QCOMPARE(host.band_count(), 0u);
    QCOMPARE(LogLines(log_), QStringList({"SetSite site", "Released"}));
  }

  void PortIsATopLevelTrovixPortWhileTheHostLives() {
    std::string id;
    {
      BandHost host;
      QCOMPARE(host.OpenPort(), S_OK);
      id = host.port()->info().id;
      std::vector<PortInfo> ports;
      QCOMPARE(EnumerateTopLevelPorts(u"Trovix", &ports), S_OK);
      QCOMPARE(ports.size(), 1u);
      QCOMPARE(ports[0].id, id);
      QVERIFY(ports[0].title == u"Trovix Desk Band");
      QVERIFY(ports[0].parent_id.empty());
    }
    std::vector<PortInfo> ports;
    QCOMPARE(EnumerateTopLevelPorts(u"Trovix Desk Band", &ports), S_FALSE);
  }

  void PositionIsSavedAndRestoredAtAnEdge() {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    {
      BandHost fresh;
      fresh.RestorePosition();  // nothing saved: top right
      QCOMPARE(fresh.frameGeometry().topLeft(),
               QPoint(screen.right() + 1 - fresh.frameGeometry().width(), screen.top()));
      fresh.move(40, screen.bottom() + 1 - fresh.frameGeometry().height());
    }  // saved on the way out
    trovix::band::StripRect rect;
    QVERIFY(trovix::band::ReadStripPosition(&rect));
    QCOMPARE(rect.left, 40);
    BandHost next;
    next.RestorePosition();
    QCOMPARE(next.frameGeometry().topLeft(), QPoint(40, rect.top));

    RegKey key;
    QCOMPARE(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Brimwick", &key),
             ERROR_SUCCESS);
    const BYTE short_value[8] = {};
    QCOMPARE(RegSetValueExW(key.get(), u"Band Position", 0, REG_BINARY, short_value, 8),
             ERROR_SUCCESS);
    QVERIFY(!trovix::band::ReadStripPosition(&rect));
  }

  void SnapsToTheNearerEdgeInsideTheScreen() {
    using trovix::band::SnapToEdge;
    const QRect screen(0, 0, 800, 600);
    const QSize strip(200, 28);
    QCOMPARE(SnapToEdge({100, 250}, strip, screen), QPoint(100, 0));
    QCOMPARE(SnapToEdge({100, 400}, strip, screen), QPoint(100, 572));
    QCOMPARE(SnapToEdge({-50, 10}, strip, screen), QPoint(0, 0));
    QCOMPARE(SnapToEdge({790, 10}, strip, screen), QPoint(600, 0));
    QCOMPARE(SnapToEdge({5000, 9000}, strip, QRect(1920, 0, 1280, 1024)), QPoint(3000, 996));
  }

  void SizesFromTheBandInfoItWasGiven() {
    using trovix::band::BandSize;
    DESKBANDINFO info{};
    QCOMPARE(BandSize(info, 28), QSize(1, 28));  // nothing filled in
    info.dwMask = DBIM_MINSIZE | DBIM_ACTUAL | DBIM_MAXSIZE;
    info.ptMinSize = {100, 200};
    info.ptActual = {1, 1};
    info.ptMaxSize = {-1, -1};
    QCOMPARE(BandSize(info, 28), QSize(100, 28));
    info.ptActual = {150, 1};
    info.ptMaxSize = {-1, 20};
    QCOMPARE(BandSize(info, 28), QSize(150, 20));
    info.dwMask = DBIM_ACTUAL;  // a minimum not asked for is not used
    QCOMPARE(BandSize(info, 28), QSize(150, 28));
  }

  void ProgramNeedsADisplay() {
    const QString program = QString::fromUtf8(TROVIX_BUILD_DIR "/bin/trovix-band");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
      environment.remove(QString::fromLatin1(name));
    }
    process.setProcessEnvironment(environment);
    process.start(program, {});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("no display"));
  }

  void ProgramClosesItsBandsOnSigterm() {
    RegisterClass(GuidToWString(kFakeBand), FakeModule(), true);
    QProcess process;
    process.start(QString::fromUtf8(TROVIX_BUILD_DIR "/bin/trovix-band"), {});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(LogLines(log_).contains("ShowDW 1"), 10000);
    std::vector<PortInfo> ports;
    QCOMPARE(EnumerateTopLevelPorts(u"Trovix Desk Band", &ports), S_OK);
    QCOMPARE(ports[0].pid, static_cast<int>(process.processId()));
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(LogLines(log_).mid(4), QStringList({"CloseDW", "SetSite null", "Released"}));
  }

 private:
  std::optional<trovix::testing::PrivateTree> tree_;
  std::optional<ComInit> com_;
  std::string log_;
};

QTEST_MAIN(BandHostTest)
#include "band_host_test.moc"
