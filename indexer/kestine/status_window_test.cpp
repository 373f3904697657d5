// The status window on the offscreen platform, against a real index store
// in a private tree.
#include "indexer/kestine/status_window.h"

#include <QtTest/QtTest>
#include <filesystem>
#include <optional>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/com.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace trovix::indexer {

class StatusWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    tree_.emplace();
    QCOMPARE(ordalis::testing::RegisterBuiltModule(), S_OK);
    QCOMPARE(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    const std::string database = DefaultDatabaseLocation().path;
    std::filesystem::create_directories(std::filesystem::path(database).parent_path());
    QCOMPARE(CreateDatabase(database), S_OK);
    com_.emplace();
  }

  void cleanup() {
    com_.reset();
    tree_.reset();
  }

  // In the indexer the database is open for the whole process.
  void EmptyIndexSaysNoFiles() {
    ComPtr<ITrovixDB> store;
    QCOMPARE(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()),
             S_OK);
    QCOMPARE(store->Init(), S_OK);
    StatusWindow window;
    window.Refresh();
    QCOMPARE(window.processed_text(), QStringLiteral("0"));
    QCOMPARE(window.indexed_text(), QStringLiteral("0"));
    QCOMPARE(window.last_file_text(), QStringLiteral("No files returned"));
    QCOMPARE(store->Cleanup(), S_OK);
  }

  void BeforeTheDatabaseIsOpenTheCountersAreNotReady() {
    StatusWindow window;
    window.Refresh();
    QCOMPARE(window.processed_text(), QStringLiteral("0"));
    QCOMPARE(window.indexed_text(), QStringLiteral("Compacting, try again later"));
  }

  void FiguresFollowTheIndex() {
    const std::string path = tree_->home() + "/note.txt";
    trovix::testing::WriteFile(path, "figures for the status window");
    ComPtr<ITrovixDB> store;
    QCOMPARE(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()),
             S_OK);
    QCOMPARE(store->Init(), S_OK);
    const WString wide = Utf8ToUtf16(path);
    QCOMPARE(store->AddFile(wide.c_str()), S_OK);
    QCOMPARE(store->IndexFile(wide.c_str(), nullptr, nullptr), S_OK);
    StatusWindow window;
    window.show();  // the first refresh comes by itself
    QTRY_COMPARE(window.processed_text(), QStringLiteral("1"));
    QCOMPARE(window.indexed_text(), QStringLiteral("1"));
    QCOMPARE(window.last_file_text(), QString::fromStdString(path));
    QCOMPARE(store->Cleanup(), S_OK);
  }

  void EnterRefreshesAndEscapeCloses() {
    StatusWindow window;
    window.show();
    QTRY_COMPARE(window.processed_text(), QStringLiteral("0"));
    QTest::keyClick(&window, Qt::Key_Return);
    QVERIFY(window.isVisible());
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
  }

  void ThePositionIsRemembered() {
    QPoint where;
    {
      StatusWindow window;
      window.show();
      window.move(123, 77);
      QCoreApplication::processEvents();
      where = window.frameGeometry().topLeft();
    }
    StatusWindow again;
    QCOMPARE(again.pos(), where);
  }

 private:
  std::optional<trovix::testing::PrivateTree> tree_;
  std::optional<ComInit> com_;
};

}  // namespace trovix::indexer

QTEST_MAIN(trovix::indexer::StatusWindowTest)
#include "status_window_test.moc"
