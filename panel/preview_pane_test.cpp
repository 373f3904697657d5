// The preview pane: the passages of the selected file with the query's words
// bold, following the selection of a dialog on the offscreen platform. The
// files are real, in a private tree, indexed by `trovix index` against the
// built index store, and the passages come from the store's snippets.
#include "panel/preview_pane.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest/QtTest>
#include <filesystem>
#include <optional>
#include <string>

#include "indexstore/testing/ordalis_fixture.h"
#include "panel/result_list.h"
#include "panel/search_dialog.h"
#include "platform/testing/private_tree.h"

namespace trovix::panel {
namespace {

const QString kNothingSelected =
    QStringLiteral("Select a file to see the passages that hold the words.");

std::string Trovix() { return TROVIX_BUILD_DIR "/bin/trovix"; }

// The bold stretches of the pane's text, in order.
QStringList BoldRuns(const QTextDocument& document) {
  QStringList runs;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (fragment.charFormat().fontWeight() >= QFont::Bold) runs << fragment.text();
    }
  }
  return runs;
}

PreviewPassage Passage(const char16_t* text, std::vector<std::pair<UINT, UINT>> marks) {
  return PreviewPassage{text, std::move(marks)};
}

}  // namespace

class PreviewPaneTest : public QObject {
  Q_OBJECT

 private slots:
  // The file's text is never markup; marks that stray are cut to fit.
  void PassagesAreEscapedParagraphsWithTheMarksBold() {
    QCOMPARE(PassagesHtml({Passage(u"a <b> & c", {{0, 1}, {8, 9}})}),
             QStringLiteral("<p><b>a</b> &lt;b&gt; &amp; <b>c</b></p>"));
    QCOMPARE(PassagesHtml({Passage(u"one", {}), Passage(u"two", {{0, 3}})}),
             QStringLiteral("<p>one</p><p><b>two</b></p>"));
    // Overlapping, backwards and out of the text.
    QCOMPARE(PassagesHtml({Passage(u"abcdef", {{0, 3}, {2, 5}, {1, 2}, {5, 99}})}),
             QStringLiteral("<p><b>abc</b><b>de</b><b>f</b></p>"));
    QCOMPARE(PassagesHtml({Passage(u"abc", {{7, 9}})}), QStringLiteral("<p>abc</p>"));
    QCOMPARE(PassagesHtml({}), QString());
  }

  void init() {
    tree_.emplace();
    std::string database;
    QCOMPARE(ordalis::testing::PrepareBuiltStore(&database), S_OK);
    folder_ = tree_->home() + "/docs";
    std::filesystem::create_directories(folder_);
    trovix::testing::WriteFile(
        folder_ + "/falcon.txt",
        "Field notes. The falcon dives; a kestrel hovers over the meadow.\n");
    trovix::testing::WriteFile(folder_ + "/kestrel-list.txt", "Nothing about birds here.\n");
    trovix::testing::WriteFile(folder_ + "/meadow.txt",
                               "The meadow <b>at dusk</b> & a Kestrel, wings spread, hovers.\n");
    std::string output;
    QCOMPARE(trovix::testing::RunProcess({Trovix(), "index", folder_}, &output), 0);
    dialog_.emplace();
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowExposed(&*dialog_));
  }

  void cleanup() {
    dialog_.reset();
    tree_.reset();
  }

  // Mouse and keyboard move the selection; the pane follows each move, and
  // each reading leaves the store module unloaded.
  void ThePreviewFollowsTheSelection() {
    Search(QStringLiteral("kestrel"));
    ResultList& list = *dialog_->result_list();
    QCOMPARE(list.row_count(), 3);
    PreviewPane& pane = *dialog_->preview_pane();
    QCOMPARE(pane.toPlainText(), kNothingSelected);

    const QRect first = list.visualRect(list.model()->index(0, 0));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, first.center());
    QCOMPARE(list.selected_path(), Path("falcon.txt"));
    QVERIFY(pane.toPlainText().contains(QStringLiteral("a kestrel hovers over the meadow")));
    QCOMPARE(BoldRuns(*pane.document()), QStringList{"kestrel"});
    QVERIFY(!ordalis::testing::ModuleIsLoaded());

    // Found by its name, with no passage in its text.
    QTest::keyClick(&list, Qt::Key_Down);
    QCOMPARE(list.selected_path(), Path("kestrel-list.txt"));
    QCOMPARE(pane.toPlainText(),
             Path("kestrel-list.txt") + "\nNo passage of this file holds the words.");
    QVERIFY(BoldRuns(*pane.document()).isEmpty());

    // The file's markup shows as text; the word is marked in its own case.
    QTest::keyClick(&list, Qt::Key_Down);
    QVERIFY(pane.toPlainText().contains(QStringLiteral("The meadow <b>at dusk</b> & a Kestrel")));
    QCOMPARE(BoldRuns(*pane.document()), QStringList{"Kestrel"});

    QTest::keyClick(&list, Qt::Key_Home);
    QCOMPARE(list.selected_path(), Path("falcon.txt"));
    QCOMPARE(BoldRuns(*pane.document()), QStringList{"kestrel"});
    QVERIFY(!ordalis::testing::ModuleIsLoaded());
  }

  // Sorting moves the selected row but keeps it selected and previewed; a
  // new search and Clear leave nothing selected.
  void SortingKeepsTheSelectionAndASearchDropsIt() {
    Search(QStringLiteral("kestrel"));
    ResultList& list = *dialog_->result_list();
    list.setCurrentIndex(list.model()->index(2, 0));
    QCOMPARE(list.selected_path(), Path("meadow.txt"));
    emit list.header()->sectionClicked(kNameColumn);
    emit list.header()->sectionClicked(kNameColumn);  // descending: now the first row
    QCOMPARE(list.text(0, kNameColumn), QStringLiteral("meadow.txt"));
    QCOMPARE(list.selected_path(), Path("meadow.txt"));
    QCOMPARE(BoldRuns(*dialog_->preview_pane()->document()), QStringList{"Kestrel"});

    Search(QStringLiteral("meadow"));
    QCOMPARE(list.selected_path(), QString());
    QCOMPARE(dialog_->preview_pane()->toPlainText(), kNothingSelected);
    list.setCurrentIndex(list.model()->index(0, 0));
    QVERIFY(!dialog_->preview_pane()->toPlainText().startsWith(kNothingSelected));
    dialog_->Clear();
    QCOMPARE(dialog_->preview_pane()->toPlainText(), kNothingSelected);
  }

  // Every word of the query is marked where it stands; quotes separate
  // words here as in the Text box, so a quoted text is no phrase.
  void EveryWordIsMarkedAndQuotesAreNoPhrase() {
    Search(QStringLiteral("\"hovers kestrel\""));
    ResultList& list = *dialog_->result_list();
    QCOMPARE(list.row_count(), 2);
    list.setCurrentIndex(list.model()->index(0, 0));
    QCOMPARE(list.selected_path(), Path("falcon.txt"));
    QCOMPARE(BoldRuns(*dialog_->preview_pane()->document()), (QStringList{"kestrel", "hovers"}));
  }

  // A file gone since the search has no text to show.
  void AFileGoneSinceTheSearchSaysSo() {
    Search(QStringLiteral("meadow"));
    std::filesystem::remove(folder_ + "/meadow.txt");
    ResultList& list = *dialog_->result_list();
    list.setCurrentIndex(list.model()->index(1, 0));
    QCOMPARE(list.selected_path(), Path("meadow.txt"));
    QCOMPARE(dialog_->preview_pane()->toPlainText(),
             Path("meadow.txt") + "\nThe text of this file cannot be read now.");
  }

 private:
  void Search(const QString& text) {
    dialog_->SetQueryText(text);
    dialog_->ClickSearch();
  }
  QString Path(const char* name) const {
    return QString::fromStdString(folder_ + "/") + QString::fromLatin1(name);
  }

  std::optional<testing::PrivateTree> tree_;
  std::string folder_;
  std::optional<SearchDialog> dialog_;
};

}  // namespace trovix::panel

QTEST_MAIN(trovix::panel::PreviewPaneTest)
#include "preview_pane_test.moc"
