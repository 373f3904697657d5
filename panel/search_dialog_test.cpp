// The search dialog and its result list on the offscreen platform, against
// the built index store in a private tree. The catalogue and word index are
// written straight into the database, so that thousands of files cost
// nothing and every file's name, size and times are known.
#include "panel/search_dialog.h"

#include <sqlite3.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QtTest/QtTest>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "indexstore/testing/ordalis_fixture.h"
#include "panel/filter_row.h"
#include "panel/index_stamp.h"
#include "panel/preview_pane.h"
#include "panel/result_list.h"
#include "platform/filetime.h"
#include "platform/testing/long_path.h"
#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"
#include "shared/database_format.h"
#include "ui/dialog_units.h"

namespace trovix::panel {
namespace {

struct File {
  std::string directory;  // without the leading "/", with the trailing one
  std::string name;
  std::vector<std::string> words;
  std::int64_t size = 100;
  double created = 45000.5;  // 2023-03-15 12:00 UTC; written a day later
};

// The catalogue's date of a Unix time (days since 1899-12-30).
double CatalogueDate(std::int64_t unix_seconds) { return 25569.0 + unix_seconds / 86400.0; }

// Appends files to the catalogue; identifiers continue from the last call.
class Catalogue {
 public:
  explicit Catalogue(const std::string& database) {
    sqlite3_open(database.c_str(), &db_);
    Exec("INSERT OR IGNORE INTO Drives VALUES (1, 3, '/')");
  }
  ~Catalogue() { sqlite3_close(db_); }

  void Add(const std::vector<File>& files) {
    Exec("BEGIN");
    for (const File& file : files) Add(file);
    Exec("COMMIT");
  }

  // Removes the files of that name and their words, as the indexer does
  // for a deleted file.
  void Remove(const std::string& name) {
    Exec("BEGIN");
    Run("DELETE FROM FilesWords WHERE FileID IN (SELECT FileID FROM Files WHERE Name = ?)", name);
    Run("DELETE FROM Files WHERE Name = ?", name);
    Exec("COMMIT");
  }

 private:
  void Add(const File& file) {
    const int directory = Id("INSERT OR IGNORE INTO Directories (Name, DriveID) VALUES (?, 1)",
                             "SELECT DirectoryID FROM Directories WHERE Name = ?", file.directory);
    const int id = ++files_;
    Run("INSERT INTO Files (FileID, SizeLo32, DirectoryID, CreationDateTime, "
        "ModificationDateTime, Name) VALUES (" +
            std::to_string(id) + ", " + std::to_string(file.size) + ", " +
            std::to_string(directory) + ", " + std::to_string(file.created) + ", " +
            std::to_string(file.created + 1) + ", ?)",
        file.name);
    for (const std::string& word : file.words) {
      const int word_id = Id("INSERT OR IGNORE INTO Words (Word) VALUES (?)",
                             "SELECT ID FROM Words WHERE Word = ?", word);
      Exec("INSERT INTO FilesWords VALUES (" + std::to_string(id) + ", " + std::to_string(word_id) +
           ", 1)");
    }
  }
  void Exec(const std::string& sql) {
    QCOMPARE(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  int Run(const std::string& sql, const std::string& text) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, text.c_str(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(statement);
    const int value = rc == SQLITE_ROW ? sqlite3_column_int(statement, 0) : 0;
    sqlite3_finalize(statement);
    return value;
  }
  int Id(const std::string& insert, const std::string& select, const std::string& text) {
    Run(insert, text);
    return Run(select, text);
  }

  sqlite3* db_ = nullptr;
  int files_ = 0;
};

std::vector<File> Numbered(int count, const std::string& word, const std::string& directory) {
  std::vector<File> files;
  for (int i = 0; i < count; ++i) {
    files.push_back({directory, "f" + std::to_string(i) + ".txt", {word}});
  }
  return files;
}

// A box typed again with the text it holds: the user's edit marks it changed.
void Retype(QLineEdit* box) {
  const QString text = box->text();
  box->clear();
  box->setText(text);
}

// The template's bottom margin below the buttons, in pixels.
int DialogMargin(const QFont& font) {
  const trovix::ui::DialogUnits du(font);
  return du.Y(225) - du.Y(202) - du.Y(16);
}

std::string Database() { return DefaultDatabaseLocation().path; }

std::string Trovix() { return TROVIX_BUILD_DIR "/bin/trovix"; }

QStringList Column(const ResultList& list, int column) {
  QStringList texts;
  for (int row = 0; row < list.row_count(); ++row) texts << list.text(row, column);
  return texts;
}

// Picks the menu entry whose data is `data`, as a user's choice would.
void Choose(QComboBox* menu, const QVariant& data) {
  const int index = menu->findData(data);
  QVERIFY(index >= 0);
  menu->setCurrentIndex(index);
}

// FILETIME ticks of midnight UTC of a calendar day.
std::int64_t UtcMidnight(int year, int month, int day) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  return query::TicksFromUnix(timegm(&parts));
}

}  // namespace

class SearchDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    setenv("TZ", "UTC", 1);  // row times become predictable
    tzset();
    // Row texts follow the default locale: one whose formats differ from
    // the C library's.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  }

  void init() {
    tree_.emplace();
    std::string database;
    QCOMPARE(ordalis::testing::PrepareBuiltStore(&database), S_OK);
    catalogue_.emplace(database);
    dialog_.emplace();
    dialog_->ask_large = [this](int rows) {
      asked_.push_back(rows);
      return answer_;
    };
    asked_.clear();
    answer_ = true;
  }

  void cleanup() {
    dialog_.reset();
    catalogue_.reset();
    tree_.reset();
  }

  void StartsWithIncludeStarAndTheTextBoxFocused() {
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowActive(&*dialog_));
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (0 files)"));
    QCOMPARE(dialog_->include_box()->text(), QStringLiteral("*"));
    QVERIFY(dialog_->text_box()->text().isEmpty() && dialog_->exclude_box()->text().isEmpty());
    QCOMPARE(QApplication::focusWidget(), dialog_->text_box());
    QVERIFY(dialog_->search_button()->isDefault());
  }

  // There is no word result before the first word search, so the first
  // search with an empty Text box shows nothing; separators alone select
  // every catalogued file.
  void EmptyTextFirstShowsNothingThenSeparatorsSelectEverything() {
    catalogue_->Add(Numbered(3, "alpha", "srch/a/"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 0);
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (0 files)"));
    QVERIFY(dialog_->text_changed());
    QVERIFY(!dialog_->include_changed() && !dialog_->exclude_changed());

    dialog_->SetQueryText(QStringLiteral("!!!"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 3);
    QCOMPARE(dialog_->text_box()->text(), QString());
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (3 files) no searchable words"));
    // The component library was only initialised for the search.
    QVERIFY(!ordalis::testing::ModuleIsLoaded());
  }

  // With the index as it was and no box touched, the held results are used
  // as they are; a retyped Text box re-evaluates only the words.
  void SearchWithoutAnyChangeEvaluatesNothingAndKeepsTheList() {
    catalogue_->Add(Numbered(2, "alpha", "srch/a/"));
    // A stamp of files written within the settle time vouches for nothing.
    QVERIFY(trovix::testing::WaitUntil([] { return IndexStamp::Take(Database()).settled(); }));
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 2);
    const int evaluations = dialog_->evaluation_count();
    const UINT word = dialog_->held_word();
    const UINT include = dialog_->held_include();
    dialog_->result_list()->SortRows(kNameColumn, /*ascending=*/false);
    dialog_->ClickSearch();
    QCOMPARE(dialog_->evaluation_count(), evaluations);
    QCOMPARE(dialog_->held_word(), word);
    QCOMPARE(dialog_->held_include(), include);
    // The list was not read again: it keeps the user's order.
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), (QStringList{"f1.txt", "f0.txt"}));

    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->evaluation_count(), evaluations + 1);
    QVERIFY(dialog_->held_word() != word);
    QCOMPARE(dialog_->held_include(), include);
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), (QStringList{"f0.txt", "f1.txt"}));
  }

  // Files catalogued or removed since the last search count, with every box
  // as it was, and also for the word result an emptied Text box reuses.
  void SearchWithTheSameTextsShowsTheFilesThatMatchNow() {
    catalogue_->Add(Numbered(2, "alpha", "srch/a/"));
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->include_box()->setText(QStringLiteral("*.txt"));
    dialog_->exclude_box()->setText(QStringLiteral("/other/"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 2);

    catalogue_->Add({{"srch/b/", "new.txt", {"alpha"}},
                     {"srch/b/", "new.pdf", {"alpha"}},
                     {"other/", "outside.txt", {"alpha"}}});
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn),
             (QStringList{"f0.txt", "f1.txt", "new.txt"}));
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (3 files)"));
    QCOMPARE(dialog_->exclude_box()->text(), QStringLiteral("/other/*"));
    QVERIFY(!dialog_->text_changed() && !dialog_->include_changed() && !dialog_->exclude_changed());

    catalogue_->Remove("f0.txt");
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), (QStringList{"f1.txt", "new.txt"}));

    dialog_->Clear();
    dialog_->include_box()->setText(QStringLiteral("*.txt"));
    catalogue_->Add({{"srch/c/", "later.txt", {"alpha"}}});
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn),
             (QStringList{"f1.txt", "later.txt", "new.txt", "outside.txt"}));
    QVERIFY(dialog_->text_box()->text().isEmpty());
  }

  // The indexer commits from another process: `trovix index` stands in.
  void SearchShowsAFileAnotherProcessIndexedSince() {
    const std::string folder = tree_->home() + "/docs";
    std::filesystem::create_directories(folder);
    trovix::testing::WriteFile(folder + "/first.txt", "kestrel wings\n");
    std::string output;
    QCOMPARE(trovix::testing::RunProcess({Trovix(), "index", folder + "/first.txt"}, &output), 0);
    dialog_->SetQueryText(QStringLiteral("kestrel"));
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), QStringList{"first.txt"});

    trovix::testing::WriteFile(folder + "/second.txt", "a kestrel hovers\n");
    QCOMPARE(trovix::testing::RunProcess({Trovix(), "index", folder + "/second.txt"}, &output), 0);
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn),
             (QStringList{"first.txt", "second.txt"}));
  }

  void MoreThan1500RowsAskFirstAndNoKeepsTheRows() {
    catalogue_->Add(Numbered(1500, "alpha", "srch/a/"));
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    QVERIFY(asked_.empty());
    QCOMPARE(dialog_->result_list()->row_count(), 1500);

    catalogue_->Add(Numbered(1, "alpha", "srch/b/"));
    dialog_->SetQueryText(QStringLiteral("alpha"));
    Retype(dialog_->include_box());
    answer_ = false;
    dialog_->ClickSearch();
    QCOMPARE(asked_, std::vector<int>{1501});
    QCOMPARE(dialog_->result_list()->row_count(), 1500);
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (0 files)"));
    QVERIFY(dialog_->text_changed());
    // Nothing typed, yet the next Search asks again.
    answer_ = true;
    dialog_->ClickSearch();
    QCOMPARE(asked_, (std::vector<int>{1501, 1501}));
    QCOMPARE(dialog_->result_list()->row_count(), 1501);
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (1501 files)"));
  }

  void IncludeAndExcludeListsAreSplitCleanedAndCombined() {
    catalogue_->Add({{"srch/a/", "x.txt", {"alpha"}},
                     {"srch/b/", "y.txt", {"alpha"}},
                     {"srch/c/", "z.txt", {"alpha"}},
                     {"srch/c/", "z.pdf", {"alpha"}}});
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->include_box()->setText(QStringLiteral(";/srch/a/;;/srch/c/;"));
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn),
             (QStringList{"x.txt", "z.pdf", "z.txt"}));
    QCOMPARE(dialog_->include_box()->text(), QStringLiteral("/srch/a/*;/srch/c/*"));
    QCOMPARE(dialog_->include_box()->cursorPosition(), dialog_->include_box()->text().size());
    QVERIFY(!dialog_->include_changed());

    setenv("PANEL_TEST_DIR", "/srch/c", 1);
    dialog_->exclude_box()->setText(QStringLiteral("$PANEL_TEST_DIR/*.pdf"));
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), (QStringList{"x.txt", "z.txt"}));
    QCOMPARE(dialog_->exclude_box()->text(), QStringLiteral("/srch/c/*.pdf"));

    dialog_->exclude_box()->clear();  // excludes nothing
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 3);
    dialog_->include_box()->clear();  // includes nothing
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 0);
  }

  void ClearResetsTheBoxesAndTheNextSearchReusesTheWordResult() {
    catalogue_->Add(Numbered(2, "alpha", "srch/a/"));
    catalogue_->Add(Numbered(3, "beta", "srch/b/"));
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->exclude_box()->setText(QStringLiteral("*.pdf"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 2);
    const UINT word = dialog_->held_word();
    dialog_->Clear();
    QCOMPARE(dialog_->result_list()->row_count(), 0);
    QVERIFY(dialog_->text_box()->text().isEmpty() && dialog_->exclude_box()->text().isEmpty());
    QCOMPARE(dialog_->include_box()->text(), QStringLiteral("*"));
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (0 files)"));
    QVERIFY(!dialog_->saved_text().has_value());
    QVERIFY(dialog_->text_changed() && dialog_->include_changed() && dialog_->exclude_changed());
    QCOMPARE(dialog_->held_word(), word);
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 2);
  }

  // The text stays as typed; the analysis finds its words among the
  // punctuation and control characters.
  // Double quotes separate words, which are ANDed, as the box always read
  // them: a quoted text is no phrase, its words need not stand together.
  void QuotesInTheTextBoxSeparateWords() {
    const std::string folder = tree_->home() + "/docs";
    std::filesystem::create_directories(folder);
    trovix::testing::WriteFile(folder + "/apart.txt", "the wings of a small kestrel\n");
    trovix::testing::WriteFile(folder + "/one.txt", "a kestrel alone\n");
    std::string output;
    QCOMPARE(trovix::testing::RunProcess({Trovix(), "index", folder}, &output), 0);
    for (const QString& typed :
         {QStringLiteral("\"kestrel wings\""), QStringLiteral("kestrel\"wings"),
          QStringLiteral("\"kestrel wings")}) {
      dialog_->SetQueryText(typed);
      dialog_->ClickSearch();
      QCOMPARE(Column(*dialog_->result_list(), kNameColumn), QStringList{"apart.txt"});
      QCOMPARE(dialog_->text_box()->text(), typed);
    }
  }

  void QueryTextsAreSearchedWhateverTheyHold() {
    catalogue_->Add(Numbered(2, "alpha", "srch/a/"));
    catalogue_->Add({{"srch/b/", "both.txt", {"alpha", "beta"}}});
    const QString typed = QStringLiteral("  \"alpha'   ;beta\t");
    dialog_->SetQueryText(typed);
    dialog_->ClickSearch();
    QCOMPARE(dialog_->text_box()->text(), typed);
    QCOMPARE(dialog_->saved_text(), std::optional<QString>(typed));
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), QStringList{"both.txt"});

    dialog_->SetQueryText(
        QStringLiteral("\x01\x1f"
                       "alpha\x7f"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 3);

    QString huge;
    for (int i = 0; i < 1000; ++i) huge += QStringLiteral("alphaalpha");
    dialog_->SetQueryText(huge);
    dialog_->ClickSearch();  // one over-long word: not a word the index holds
    QVERIFY(dialog_->result_list()->row_count() <= 3);
    dialog_->SetQueryText(QStringLiteral("alpha ") + huge.left(9990));
    dialog_->ClickSearch();
    QVERIFY(dialog_->result_list()->row_count() <= 3);
  }

  // Files indexed by `trovix index` are found in every case and accent
  // form, in every script, by the same analysis that indexed them; a text
  // of nothing searchable says so and keeps the list.
  void WordsOfEveryScriptAreFoundInEveryForm() {
    const std::string folder = tree_->home() + "/docs";
    std::filesystem::create_directories(folder);
    trovix::testing::WriteFile(folder + "/fr.txt", "Le caf\u00e9 \u00e9tait tr\u00e8s\n");
    trovix::testing::WriteFile(folder + "/de.txt", "Die Stra\u00dfe ist gro\u00df\n");
    trovix::testing::WriteFile(folder + "/el.txt",
                               "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac\n");
    trovix::testing::WriteFile(
        folder + "/ja.txt", "\u6771\u4eac\u90fd\u306e\u5929\u6c17\u306f\u6674\u308c\u3067\u3059\n");
    trovix::testing::WriteFile(folder + "/budget-2024.txt", "Invoice 47110815\n");
    std::string output;
    QCOMPARE(trovix::testing::RunProcess({Trovix(), "index", folder}, &output), 0);
    const std::map<QString, QStringList> expected = {
        {QStringLiteral("CAF\u00c9"), {"fr.txt"}},
        {QStringLiteral("cafe"), {"fr.txt"}},
        {QStringLiteral("STRASSE"), {"de.txt"}},
        {QStringLiteral("\u03b5\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac"), {"el.txt"}},
        {QStringLiteral("\u6771\u4eac\u90fd"), {"ja.txt"}},
        {QStringLiteral("\u5929\u6c17"), {"ja.txt"}},
        {QStringLiteral("\u4eac\u6771"), {}},  // the same characters, out of order
        {QStringLiteral("47110815"), {"budget-2024.txt"}},
        {QStringLiteral("budget"), {"budget-2024.txt"}},
    };
    for (const auto& [query, names] : expected) {
      dialog_->SetQueryText(query);
      dialog_->ClickSearch();
      QCOMPARE(Column(*dialog_->result_list(), kNameColumn), names);
      QCOMPARE(dialog_->text_box()->text(), query);
    }

    // As separators always did, they list every file; the title says why.
    dialog_->SetQueryText(QStringLiteral("!! ?"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (5 files) no searchable words"));
    QCOMPARE(dialog_->result_list()->row_count(), 5);
    dialog_->SetQueryText(QStringLiteral("cafe"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (1 files)"));
  }

  void AMissingDatabaseGivesAnEmptyResult() {
    std::filesystem::remove(DefaultDatabaseLocation().path);
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 0);
    QVERIFY(dialog_->text_changed());  // no word result was made
  }

  // Row texts in the locale's formats, the shared direction across columns,
  // and sizes sorted as the unsigned values the catalogue keeps.
  void RowsShowTheRecordAndSortByTheSharedDirection() {
    catalogue_->Add({{"srch/", "b.txt", {"alpha"}, 30, 45001.0},
                     {"srch/", "A.txt", {"alpha"}, 0xFFFFFFF0, 45003.0},
                     {"srch/", "c.txt", {"alpha"}, 10, 45002.0}});
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    ResultList& list = *dialog_->result_list();
    QCOMPARE(Column(list, kNameColumn), (QStringList{"A.txt", "b.txt", "c.txt"}));
    QCOMPARE(list.text(0, kDirectoryColumn), QStringLiteral("/srch/"));
    QCOMPARE(list.text(0, kCreatedColumn), QStringLiteral("18.03.23 00:00"));
    QCOMPARE(list.text(0, kWrittenColumn), QStringLiteral("19.03.23 00:00"));
    QCOMPARE(list.text(0, kSizeColumn), QStringLiteral("4,0 GB"));
    QVERIFY(list.sort_ascending());  // the search's own sort leaves it alone

    emit list.header()->sectionClicked(kSizeColumn);
    QCOMPARE(Column(list, kSizeColumn), (QStringList{"10 bytes", "30 bytes", "4,0 GB"}));
    emit list.header()->sectionClicked(kSizeColumn);
    QCOMPARE(Column(list, kSizeColumn), (QStringList{"4,0 GB", "30 bytes", "10 bytes"}));
    emit list.header()->sectionClicked(kWrittenColumn);
    QCOMPARE(Column(list, kNameColumn), (QStringList{"b.txt", "c.txt", "A.txt"}));
    emit list.header()->sectionClicked(kNameColumn);  // descending now
    QCOMPARE(Column(list, kNameColumn), (QStringList{"c.txt", "b.txt", "A.txt"}));
    emit list.header()->sectionClicked(kCreatedColumn);
    QCOMPARE(Column(list, kNameColumn), (QStringList{"b.txt", "c.txt", "A.txt"}));
    QVERIFY(!list.sort_ascending());
  }

  void ComparisonsFoldOnlyAsciiLettersAndEqualValuesHaveNoOrder() {
    ResultRow a, b;
    a.record = std::make_unique<SearchResultRecord>();
    b.record = std::make_unique<SearchResultRecord>();
    a.name = QStringLiteral("ABC");
    b.name = QStringLiteral("abd");
    QCOMPARE(CompareRows(a, b, kNameColumn, true), 'c' - 'd');
    QCOMPARE(CompareRows(a, b, kNameColumn, false), 'd' - 'c');
    a.name = QStringLiteral("\u00c9");  // É is not folded to é
    b.name = QStringLiteral("\u00e9");
    QVERIFY(CompareRows(a, b, kNameColumn, true) < 0);
    a.name = QStringLiteral("ab");
    b.name = QStringLiteral("ab.");
    QVERIFY(CompareRows(a, b, kNameColumn, true) < 0);
    QCOMPARE(CompareRows(a, b, kCreatedColumn, true), -1);
    QCOMPARE(CompareRows(b, a, kCreatedColumn, true), -1);
    QCOMPARE(CompareRows(a, b, kSizeColumn, false), 1);
    QCOMPARE(CompareRows(a, b, 5, true), 0);
  }

  void SizesReadAsBytesAndUnitsOf1024_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<UINT>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << "de_DE" << 0u << "0 bytes";
    QTest::newRow("one") << "de_DE" << 1u << "1 byte";
    QTest::newRow("below a KB") << "de_DE" << 1023u << "1023 bytes";
    QTest::newRow("a KB") << "de_DE" << 1024u << "1,0 KB";
    QTest::newRow("half") << "en_US" << 1536u << "1.5 KB";
    QTest::newRow("rounds up to a MB") << "en_US" << 1048575u << "1.0 MB";
    QTest::newRow("MB") << "en_US" << 12897485u << "12.3 MB";
    QTest::newRow("all 32 bits") << "de_DE" << 0xFFFFFFFFu << "4,0 GB";
  }
  void SizesReadAsBytesAndUnitsOf1024() {
    QFETCH(QString, locale);
    QFETCH(UINT, size);
    QFETCH(QString, text);
    const QLocale before;
    QLocale::setDefault(QLocale(locale));
    QCOMPARE(SizeText(size), text);
    QLocale::setDefault(before);
  }

  void TimesBefore1900AreTheEpoch() {
    QCOMPARE(TimeText(1796502289), QStringLiteral("05.12.26 20:24"));
    QCOMPARE(TimeValue(Int64ToFileTime(kFileTimeUnixEpoch + 1796502289LL * 10000000)),
             std::int64_t{1796502289});
    QCOMPARE(TimeValue(FILETIME{0, 0}), std::int64_t{0});  // 1601
  }

  void ActivatingARowOpensItsFile() {
    catalogue_->Add({{"srch/d/", "open me.txt", {"alpha"}}});
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    QStringList opened;
    ResultList& list = *dialog_->result_list();
    list.open_file = [&](const QString& path) { opened << path; };
    dialog_->show();
    list.setCurrentIndex(list.model()->index(0, 0));
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Return);
    QCOMPARE(opened, QStringList{"/srch/d/open me.txt"});
    QCOMPARE(dialog_->result_list()->row_count(), 1);  // Enter did not search
    const QRect cell = list.visualRect(list.model()->index(0, 0));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(opened.size(), 1);  // one click only selects
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(opened.size(), 2);
  }

  // Paths up to PATH_MAX (here 260 and 4,000 bytes): the columns, the
  // selection and the file opened carry the whole path, which SearchNext's
  // record holds cut.
  void ALongPathIsListedSelectedAndOpenedWhole() {
    const std::string folder = tree_->home() + "/docs";
    QStringList paths;
    for (const std::size_t length : {260, 4000}) {
      paths << QString::fromStdString(trovix::testing::MakeLongPathFile(
          folder + "/" + std::to_string(length), length, ".txt", "abyssal trench\n"));
    }
    std::string output;
    QCOMPARE(trovix::testing::RunProcess({Trovix(), "index", folder}, &output), 0);
    dialog_->SetQueryText(QStringLiteral("abyssal"));
    dialog_->ClickSearch();
    ResultList& list = *dialog_->result_list();
    QCOMPARE(list.row_count(), 2);
    QStringList shown;
    int deepest = 0;
    for (int row = 0; row < list.row_count(); ++row) {
      shown << list.text(row, kDirectoryColumn) + list.text(row, kNameColumn);
      if (list.text(row, kDirectoryColumn).size() > list.text(deepest, kDirectoryColumn).size()) {
        deepest = row;
      }
    }
    shown.sort();
    paths.sort();
    QVERIFY(shown == paths);
    QStringList opened;
    list.open_file = [&](const QString& path) { opened << path; };
    list.setCurrentIndex(list.model()->index(deepest, 0));
    QVERIFY(list.selected_path().toStdString().size() == 4000);
    list.OpenRow(deepest);
    QVERIFY(opened == QStringList{list.selected_path()});
  }

  void EscapeAndExitEndWithTwo() {
    dialog_->show();
    QTest::keyClick(&*dialog_, Qt::Key_Escape);
    QCOMPARE(dialog_->result(), 2);
    QVERIFY(!dialog_->isVisible());
  }

  void LayoutKeepsButtonsCentredAndGivesTheListTheRest_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("template") << QSize(0, 0);
    QTest::newRow("wide") << QSize(1200, 500);
    QTest::newRow("tall") << QSize(500, 1100);
    QTest::newRow("odd") << QSize(733, 611);
  }
  // The rows and the buttons keep their heights; the list and the preview
  // share the rest, the preview a third of it.
  void LayoutKeepsButtonsCentredAndGivesTheListTheRest() {
    QFETCH(QSize, size);
    dialog_->show();
    if (!size.isEmpty()) dialog_->resize(size);
    QCoreApplication::processEvents();
    const int w = dialog_->width();
    const int h = dialog_->height();
    const trovix::ui::DialogUnits du(dialog_->font());
    const int bw = du.X(50), bh = du.Y(16), gap = du.X(108) - du.X(42) - bw;
    const int m = du.Y(225) - du.Y(202) - bh, lw = du.X(30), lh = du.Y(12);
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(dialog_->button(i)->geometry(),
               QRect(w / 2 - 2 * bw - gap + i * (bw + gap), h - m - bh, bw, bh));
    }
    const int shared = h - 8 * m - 4 * lh - bh;
    const int preview_height = shared / 3;
    const int list_height = shared - preview_height;
    QCOMPARE(dialog_->result_list()->geometry(), QRect(gap, m, w - 2 * gap, list_height));
    QCOMPARE(dialog_->preview_pane()->geometry(),
             QRect(gap, list_height + 2 * m, w - 2 * gap, preview_height));
    QWidget* const fields[] = {dialog_->text_box(), dialog_->include_box(), dialog_->exclude_box(),
                               dialog_->filter_row()};
    for (int i = 0; i < 4; ++i) {
      const int y = list_height + preview_height + 3 * m + i * (lh + m);
      QCOMPARE(dialog_->label(i)->geometry(), QRect(gap, y, lw, lh));
      QCOMPARE(fields[i]->geometry(), QRect(lw + gap, y, w - 2 * gap - lw, lh));
    }
    // The three menus fill their row side by side.
    const FilterRow& row = *dialog_->filter_row();
    QComboBox* const menus[] = {row.type_menu(), row.modified_menu(), row.size_menu()};
    QCOMPARE(menus[0]->geometry().left(), 0);
    QCOMPARE(menus[2]->geometry().right(), row.width() - 1);
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(menus[i]->height(), lh);
      if (i > 0) QVERIFY(menus[i]->geometry().left() > menus[i - 1]->geometry().right());
    }
  }

  // Each menu narrows the rows read and its "any" entry widens them again;
  // the title counts the rows shown. Only rows are read again: the held
  // results stay as they are.
  void FiltersNarrowTheRowsAndWidenAgainWhenReset() {
    const double today = CatalogueDate(std::time(nullptr)) - 1;  // written now
    catalogue_->Add({{"srch/", "report.pdf", {"alpha"}, 200 * 1024, today},
                     {"srch/", "notes.txt", {"alpha"}, 100 * 1024 - 1, today},
                     {"srch/", "old.odt", {"alpha"}, 100 * 1024},
                     {"srch/", "photo.jpg", {"alpha"}, 5 * 1024 * 1024}});
    QVERIFY(trovix::testing::WaitUntil([] { return IndexStamp::Take(Database()).settled(); }));
    dialog_->SetQueryText(QStringLiteral("alpha"));
    dialog_->ClickSearch();
    QCOMPARE(dialog_->result_list()->row_count(), 4);
    const int evaluations = dialog_->evaluation_count();
    const UINT word = dialog_->held_word();
    const FilterRow& filters = *dialog_->filter_row();
    const auto shown = [this] { return Column(*dialog_->result_list(), kNameColumn); };

    Choose(filters.type_menu(), QStringLiteral("document"));
    QCOMPARE(shown(), (QStringList{"notes.txt", "old.odt", "report.pdf"}));
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (3 files)"));
    Choose(filters.type_menu(), QStringLiteral("pdf"));
    QCOMPARE(shown(), QStringList{"report.pdf"});
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (1 files)"));
    Choose(filters.type_menu(), QString());
    QCOMPARE(shown().size(), 4);

    Choose(filters.modified_menu(), static_cast<int>(ModifiedPeriod::kToday));
    QCOMPARE(shown(), (QStringList{"notes.txt", "report.pdf"}));
    Choose(filters.modified_menu(), static_cast<int>(ModifiedPeriod::kThisYear));
    QCOMPARE(shown(), (QStringList{"notes.txt", "report.pdf"}));
    Choose(filters.modified_menu(), static_cast<int>(ModifiedPeriod::kAnyTime));
    QCOMPARE(shown().size(), 4);

    // The least size is a bound that passes.
    Choose(filters.size_menu(), qint64{100 * 1024});
    QCOMPARE(shown(), (QStringList{"old.odt", "photo.jpg", "report.pdf"}));
    Choose(filters.size_menu(), qint64{1024 * 1024});
    QCOMPARE(shown(), QStringList{"photo.jpg"});

    // Together they all apply.
    Choose(filters.size_menu(), qint64{100 * 1024});
    Choose(filters.type_menu(), QStringLiteral("document"));
    QCOMPARE(shown(), (QStringList{"old.odt", "report.pdf"}));
    Choose(filters.modified_menu(), static_cast<int>(ModifiedPeriod::kToday));
    QCOMPARE(shown(), QStringList{"report.pdf"});

    Choose(filters.type_menu(), QString());
    Choose(filters.modified_menu(), static_cast<int>(ModifiedPeriod::kAnyTime));
    Choose(filters.size_menu(), qint64{0});
    QCOMPARE(shown().size(), 4);
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (4 files)"));
    QCOMPARE(dialog_->evaluation_count(), evaluations);
    QCOMPARE(dialog_->held_word(), word);
    QVERIFY(!dialog_->filters_changed());
  }

  // Before the first search, and after Clear, a filter waits for Search.
  void AFilterChangeSearchesOnlyOnceASearchHasRun() {
    catalogue_->Add({{"srch/", "a.pdf", {"alpha"}}, {"srch/", "b.txt", {"alpha"}}});
    dialog_->SetQueryText(QStringLiteral("alpha"));
    QComboBox* const type = dialog_->filter_row()->type_menu();
    Choose(type, QStringLiteral("pdf"));
    QCOMPARE(dialog_->evaluation_count(), 0);
    QVERIFY(dialog_->filters_changed());
    dialog_->ClickSearch();
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), QStringList{"a.pdf"});
    QVERIFY(!dialog_->filters_changed());

    dialog_->Clear();
    Choose(type, QString());
    QCOMPARE(dialog_->result_list()->row_count(), 0);
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Vistrel - (0 files)"));
    dialog_->ClickSearch();  // the held word result, unfiltered
    QCOMPARE(Column(*dialog_->result_list(), kNameColumn), (QStringList{"a.pdf", "b.txt"}));
  }

  // Saturday 5 December 2026, 20:24:49 UTC, and New Year's Day 2027.
  void PeriodsStartAtLocalMidnight_data() {
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("first_day");
    QTest::addColumn<qint64>("start");
    const qint64 saturday = 1796502289;
    const qint64 new_year = 1798797600;  // 2027-01-01 10:00
    const auto row = [](const char* name, qint64 now, ModifiedPeriod period, Qt::DayOfWeek first,
                        std::int64_t start) {
      QTest::newRow(name) << now << static_cast<int>(period) << static_cast<int>(first)
                          << qint64{start};
    };
    row("any time", saturday, ModifiedPeriod::kAnyTime, Qt::Monday, 0);
    row("today", saturday, ModifiedPeriod::kToday, Qt::Monday, UtcMidnight(2026, 12, 5));
    row("week from Monday", saturday, ModifiedPeriod::kThisWeek, Qt::Monday,
        UtcMidnight(2026, 11, 30));
    row("week from Sunday", saturday, ModifiedPeriod::kThisWeek, Qt::Sunday,
        UtcMidnight(2026, 11, 29));
    row("week from Saturday", saturday, ModifiedPeriod::kThisWeek, Qt::Saturday,
        UtcMidnight(2026, 12, 5));
    row("month", saturday, ModifiedPeriod::kThisMonth, Qt::Monday, UtcMidnight(2026, 12, 1));
    row("year", saturday, ModifiedPeriod::kThisYear, Qt::Monday, UtcMidnight(2026, 1, 1));
    row("week across the year", new_year, ModifiedPeriod::kThisWeek, Qt::Monday,
        UtcMidnight(2026, 12, 28));
    row("first of the month", new_year, ModifiedPeriod::kThisMonth, Qt::Monday,
        UtcMidnight(2027, 1, 1));
    row("first of the year", new_year, ModifiedPeriod::kThisYear, Qt::Monday,
        UtcMidnight(2027, 1, 1));
  }
  void PeriodsStartAtLocalMidnight() {
    QFETCH(qint64, now);
    QFETCH(int, period);
    QFETCH(int, first_day);
    QFETCH(qint64, start);
    QCOMPARE(qint64{PeriodStart(static_cast<ModifiedPeriod>(period), now,
                                static_cast<Qt::DayOfWeek>(first_day))},
             start);
  }

  // Small sizes are not guarded: the controls overlap, nothing breaks.
  void ATinyWindowKeepsTheButtonsAtTheBottom() {
    dialog_->show();
    dialog_->resize(20, 10);
    QCoreApplication::processEvents();
    const QRect search = dialog_->search_button()->geometry();
    QCOMPARE(dialog_->height() - search.bottom() - 1, DialogMargin(dialog_->font()));
  }

 private:
  std::optional<testing::PrivateTree> tree_;
  std::optional<Catalogue> catalogue_;
  std::optional<SearchDialog> dialog_;
  std::vector<int> asked_;
  bool answer_ = true;
};

}  // namespace trovix::panel

QTEST_MAIN(trovix::panel::SearchDialogTest)
#include "search_dialog_test.moc"
