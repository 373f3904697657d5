// The panel's life: one per user, reached by other processes through its
// port, its saved position, and the versions in its About box.
#include <signal.h>

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "indexstore/testing/ordalis_fixture.h"
#include "panel/about_help.h"
#include "panel/panel_instance.h"
#include "panel/panel_port.h"
#include "panel/search_dialog.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/version_info.h"
#include "shared/messages.h"
#include "shared/registry_keys.h"

// The test program stands in for the panel program in the About box.
TROVIX_VERSION_BLOCK(7, 8, 9, 10, VFT_APP);

using namespace trovix::panel;

namespace {

constexpr int kStartTimeoutMs = 30000;
const QString kMaintenance = QStringLiteral("Down for maintenance, please wait ...");

QString VistrelPath() { return QStringLiteral(TROVIX_BUILD_DIR "/bin/vistrel"); }

// The panel port owned by `pid`, waiting for it to appear.
std::optional<PortInfo> WaitForPanelPort(qint64 pid) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < kStartTimeoutMs) {
    std::vector<PortInfo> ports;
    static_cast<void>(EnumerateTopLevelPorts(kPanelTitlePrefix, &ports));
    for (const PortInfo& port : ports) {
      if (port.pid == pid) return port;
    }
    QTest::qWait(20);
  }
  return std::nullopt;
}

int PanelPortCount() {
  std::vector<PortInfo> ports;
  static_cast<void>(EnumerateTopLevelPorts(kPanelTitlePrefix, &ports));
  return static_cast<int>(ports.size());
}

}  // namespace

class PanelLifecycleTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { tree_.emplace(); }
  void cleanup();

  void secondPanelBringsTheFirstToFrontAndEnds();
  void killedPanelLeavesNothingThatBlocksTheNext();
  void startedPanelShowsNoFilesAndIsFoundByItsTitlePrefix();
  void handedOverQueryFillsTheBoxesAndSearchesAfterTheAnswer();
  void copyDataTextStopsAtNullAndSize();
  void compactionMessagesShowAndUndoTheMaintenanceDisplay();
  void positionRoundTripsThroughTheRegistry();
  void aboutTextCarriesBothModulesVersions();
  void helpTextShowsPosixExamples();

 private:
  QProcess* StartVistrel();

  std::optional<trovix::testing::PrivateTree> tree_;
  std::vector<std::unique_ptr<QProcess>> processes_;
};

void PanelLifecycleTest::cleanup() {
  for (auto& process : processes_) {
    process->kill();
    process->waitForFinished();
  }
  processes_.clear();
  tree_.reset();
}

QProcess* PanelLifecycleTest::StartVistrel() {
  auto process = std::make_unique<QProcess>();
  process->setProgram(VistrelPath());
  process->start();
  if (!process->waitForStarted()) return nullptr;
  processes_.push_back(std::move(process));
  return processes_.back().get();
}

// A panel already runs (this process holds the lock and a "Vistrel" port): a
// started vistrel must ask it to come to the front and end without a window.
void PanelLifecycleTest::secondPanelBringsTheFirstToFrontAndEnds() {
  PanelLock lock;
  QVERIFY(lock.Acquire());
  std::unique_ptr<MessagePort> first;
  QCOMPARE(MessagePort::Open(u"Vistrel - (3 files)", {}, &first), S_OK);

  QProcess* second = StartVistrel();
  QVERIFY(second != nullptr);
  QVERIFY(second->waitForFinished(kStartTimeoutMs));
  QCOMPARE(second->exitStatus(), QProcess::NormalExit);
  QCOMPARE(second->exitCode(), 0);
  QCOMPARE(PanelPortCount(), 1);

  bool activated = false;
  const auto take_messages = [&] {
    Message message;
    while (first->ReceiveOne(&message) == S_OK) activated |= message.message == WM_TROVIX_ACTIVATE;
    return activated;
  };
  QTRY_VERIFY(take_messages());
}

// A panel killed outright leaves its lock file and its port's socket behind;
// neither may keep the next panel from running, and a live panel is seen as
// running by others.
void PanelLifecycleTest::killedPanelLeavesNothingThatBlocksTheNext() {
  QProcess* first = StartVistrel();
  QVERIFY(first != nullptr);
  QVERIFY(WaitForPanelPort(first->processId()).has_value());
  QVERIFY(PanelIsRunning());
  PanelLock blocked;
  QVERIFY(!blocked.Acquire());

  kill(static_cast<pid_t>(first->processId()), SIGKILL);
  QVERIFY(first->waitForFinished());
  QVERIFY(!PanelIsRunning());

  QProcess* next = StartVistrel();
  QVERIFY(next != nullptr);
  QVERIFY(WaitForPanelPort(next->processId()).has_value());
  QCOMPARE(next->state(), QProcess::Running);
  QCOMPARE(PanelPortCount(), 1);
}

// The band finds the panel by the title prefix alone; the title a panel
// starts with is the one every later search keeps the form of.
void PanelLifecycleTest::startedPanelShowsNoFilesAndIsFoundByItsTitlePrefix() {
  QProcess* panel = StartVistrel();
  QVERIFY(panel != nullptr);
  const std::optional<PortInfo> port = WaitForPanelPort(panel->processId());
  QVERIFY(port.has_value());
  QCOMPARE(port->title, std::u16string(u"Vistrel - (0 files)"));
  PortInfo found;
  QVERIFY(FindPanelWindow({}, &found));
  QCOMPARE(found.id, port->id);
}

// Another process hands a query over while the panel is minimized: the boxes
// are set for a search everywhere, the panel comes back, the sender gets
// TRUE, and only then does the search run.
void PanelLifecycleTest::handedOverQueryFillsTheBoxesAndSearchesAfterTheAnswer() {
  SearchDialog dialog;
  dialog.include_box()->setText(QStringLiteral("*.txt"));
  dialog.exclude_box()->setText(QStringLiteral("*.log"));
  dialog.showMinimized();
  // The search is slow here; the sender must have its answer long before it
  // ends, as the search runs only after the message is answered.
  using Clock = std::chrono::steady_clock;
  std::atomic<int> clicks{0};
  std::atomic<Clock::time_point> search_end{};
  PanelHandlers handlers = HandlersFor(&dialog);
  handlers.click_search = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ++clicks;
    search_end = Clock::now();
  };
  std::unique_ptr<PanelPort> port = PanelPort::Open(&dialog, handlers);
  QVERIFY(port != nullptr);
  PanelEvent event;
  QVERIFY(!event.Wait(0));

  std::atomic<bool> done{false};
  HRESULT hr = E_FAIL;
  INT_PTR answer = 0;
  Clock::time_point answered{};
  std::thread sender([&] {
    PortInfo panel;
    if (FindPanelWindow({}, &panel)) hr = HandQueryToPanel(panel, u"foo b\u00e4r", &answer);
    answered = Clock::now();
    done = true;
  });
  QTRY_VERIFY_WITH_TIMEOUT(done && clicks == 1, 10000);
  sender.join();
  QCOMPARE(hr, S_OK);
  QCOMPARE(answer, INT_PTR{1});
  QVERIFY(answered < search_end.load());

  QCOMPARE(dialog.text_box()->text(), QStringLiteral("foo b\u00e4r"));
  QCOMPARE(dialog.include_box()->text(), QStringLiteral("*"));
  QCOMPARE(dialog.exclude_box()->text(), QString());
  QVERIFY(!dialog.isMinimized());
  QVERIFY(event.Wait(0));
  QVERIFY(!event.Wait(0));  // auto-reset: one Set releases one wait
}

void PanelLifecycleTest::copyDataTextStopsAtNullAndSize() {
  QCOMPARE(QueryFromCopyData({'a', 0, 'b', 0, 0, 0, 'c', 0}), std::u16string(u"ab"));
  QCOMPARE(QueryFromCopyData({'a', 0, 'b'}), std::u16string(u"a"));
  QCOMPARE(QueryFromCopyData({0xAC, 0x20}), std::u16string(u"\u20AC"));
  QCOMPARE(QueryFromCopyData({}), std::u16string());
}

// The indexer posts the compaction messages; the panel's title follows the
// dialog's so the indexer finds it by the "Vistrel" prefix.
void PanelLifecycleTest::compactionMessagesShowAndUndoTheMaintenanceDisplay() {
  SearchDialog dialog;
  std::unique_ptr<PanelPort> port = PanelPort::Open(&dialog, HandlersFor(&dialog));
  QVERIFY(port != nullptr);
  dialog.setWindowTitle(QStringLiteral("Vistrel - (12 files)"));
  std::vector<PortInfo> ports;
  QCOMPARE(EnumerateTopLevelPorts(kPanelTitlePrefix, &ports), S_OK);
  QCOMPARE(ports.size(), std::size_t{1});
  QCOMPARE(ports[0].title, std::u16string(u"Vistrel - (12 files)"));

  dialog.text_box()->setText(QStringLiteral("typed words"));
  QCOMPARE(PostPortMessage(ports[0], WM_COMPACTION_BEGIN, 0, 0), S_OK);
  QTRY_COMPARE(dialog.text_box()->text(), kMaintenance);
  QVERIFY(!dialog.text_box()->isEnabled());
  QVERIFY(!dialog.search_button()->isEnabled());
  QVERIFY(dialog.include_box()->isEnabled());

  QVERIFY(dialog.in_maintenance());

  // A second begin must not save the notice over the typed text.
  QCOMPARE(PostPortMessage(ports[0], WM_COMPACTION_BEGIN, 0, 0), S_OK);
  QCOMPARE(PostPortMessage(ports[0], WM_COMPACTION_END, 0, 0), S_OK);
  QTRY_COMPARE(dialog.text_box()->text(), QStringLiteral("typed words"));
  QVERIFY(dialog.text_box()->isEnabled());
  QVERIFY(dialog.search_button()->isEnabled());
  QVERIFY(!dialog.in_maintenance());
}

void PanelLifecycleTest::positionRoundTripsThroughTheRegistry() {
  QDialog dialog;
  dialog.setGeometry(10, 20, 200, 100);
  RestoreSavedPosition(&dialog);  // nothing saved: stays as made
  QCOMPARE(dialog.size(), QSize(200, 100));

  dialog.move(30, 40);
  dialog.resize(350, 250);
  SaveWindowPosition(&dialog);
  RegKey key;
  QCOMPARE(RegKey::Open(HKEY_CURRENT_USER, trovix::keys::kVistrel, &key), ERROR_SUCCESS);
  BYTE bytes[20] = {};
  DWORD type = 0;
  DWORD size = sizeof bytes;
  QCOMPARE(RegQueryValueExW(key.get(), u"Position", nullptr, &type, bytes, &size), ERROR_SUCCESS);
  QCOMPARE(type, REG_BINARY);
  QCOMPARE(size, DWORD{16});
  QCOMPARE(bytes[0], BYTE{30});    // left, little-endian
  QCOMPARE(bytes[8], BYTE{0x7C});  // right = 380 = 0x17C
  QCOMPARE(bytes[9], BYTE{0x01});

  QDialog next;
  next.resize(100, 100);
  RestoreSavedPosition(&next);
  QCOMPARE(next.pos(), QPoint(30, 40));
  QCOMPARE(next.size(), QSize(350, 250));

  // Negative coordinates (a screen left of the primary one) survive.
  WriteSavedPosition(PanelRect{-500, -20, -100, 280});
  RestoreSavedPosition(&next);
  QCOMPARE(next.pos(), QPoint(-500, -20));
  QCOMPARE(next.size(), QSize(400, 300));

  // A value of the wrong size is not a rectangle.
  const BYTE short_value[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  QCOMPARE(RegSetValueExW(key.get(), u"Position", 0, REG_BINARY, short_value, 8), ERROR_SUCCESS);
  PanelRect rect;
  QVERIFY(!ReadSavedPosition(&rect));
}

void PanelLifecycleTest::aboutTextCarriesBothModulesVersions() {
  const ModuleVersions own = FileVersions(PanelProgramPath());
  QCOMPARE(own.file, QStringLiteral("7.8.9.10"));
  QCOMPARE(own.product, QStringLiteral("7.8.9.10"));
  QCOMPARE(FileVersions(tree_->root() + "/missing").file, QString());
  const DWORD bad_block[13] = {0x12345678};
  QCOMPARE(BlockVersions(bad_block, sizeof bad_block).product, QStringLiteral("Unknown version"));

  // No index store registered: nothing to show yet.
  AboutText about;
  QCOMPARE(about.Refresh(PanelProgramPath()), QString());

  QCOMPARE(ordalis::testing::RegisterBuiltModule(), S_OK);
  const QString text = about.Refresh(PanelProgramPath());
  QVERIFY(text.startsWith(QStringLiteral("Quillon Trovix [tm]\t Full Version\n")));
  const QString versions = QStringLiteral(
      "------\nVistrel:\n\tFile Version:7.8.9.10\t\tProduct Version:7.8.9.10\n------\n"
      "Ordalis:\n\tFile Version:" TROVIX_STORE_VERSION "\t\tProduct Version:" TROVIX_STORE_VERSION);
  QVERIFY2(text.endsWith(versions), qPrintable(text));

  // The store gone again: the box keeps the text of its last opening.
  QCOMPARE(RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\CLSID"), ERROR_SUCCESS);
  QCOMPARE(about.Refresh(PanelProgramPath()), text);

  std::unique_ptr<QDialog> box(BuildAboutBox(nullptr, text));
  QCOMPARE(box->windowTitle(), QStringLiteral("About Trovix"));
  QCOMPARE(box->findChild<QLabel*>(QStringLiteral("about_text"))->text(), text);
}

void PanelLifecycleTest::helpTextShowsPosixExamples() {
  const QString help = HelpText();
  QCOMPARE(help.split(QLatin1Char('\n')).size(), 23);
  QVERIFY(!help.contains(QLatin1Char('\\')));
  QVERIFY(!help.contains(QStringLiteral("%TMP%")));
  QVERIFY(help.contains(QStringLiteral("windows. \n\tFor example, try excluding $TMPDIR.")));
  std::unique_ptr<QDialog> box(BuildHelpBox(nullptr));
  auto* edit = box->findChild<QPlainTextEdit*>(QStringLiteral("help_text"));
  QVERIFY(edit->isReadOnly());
  QCOMPARE(edit->toPlainText(), help);
}

QTEST_MAIN(PanelLifecycleTest)
#include "panel_lifecycle_test.moc"
