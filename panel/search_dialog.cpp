#include "panel/search_dialog.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <algorithm>
#include <climits>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "panel/filter_row.h"
#include "panel/preview_pane.h"
#include "panel/result_list.h"
#include "panel/store_object.h"
#include "platform/com.h"
#include "platform/wstring.h"
#include "query/query_plan.h"
#include "query/query_steps.h"
#include "shared/database_format.h"
#include "shared/itrovixdb.h"
#include "shared/record_path.h"
#include "ui/dialog_units.h"

namespace trovix::panel {
namespace {

// Above this many rows the user is asked before they are read.
constexpr UINT kLargeResult = 1500;
// SearchGetSize leaves the size alone when it fails.
constexpr UINT kNoSize = UINT_MAX;

class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// The rows above the buttons: Text, Include, Exclude and the filter menus.
constexpr int kRows = 4;

// The Text box's words for the term search, which reads text between double
// quotes as a phrase: the box has always taken quotes for separators.
WString QuotesAsSeparators(std::u16string_view text) {
  WString words(text);
  std::replace(words.begin(), words.end(), u'"', u' ');
  return words;
}

bool RecordPasses(const std::vector<query::QueryNode>& filters, const SearchResultRecord& record,
                  const WString& path) {
  return query::PassesFilters(
      filters, query::FileFacts{record.FileID, Utf16ToUtf8(path), record.ModificationDateTime,
                                record.SizeLo32});
}

}  // namespace

SearchDialog::SearchDialog(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  BuildControls();
  SetTitleCount(0);
  SetBoxText(include_, QStringLiteral("*"));
  text_->setFocus();  // takes the focus when the window is first shown
  ask_large = [this](int rows) {
    // The wait cursor would otherwise stay over the question.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Large result set returned"),
        QString::asprintf("Search will return %d items. This could take a while. Are you sure?",
                          rows),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    QApplication::restoreOverrideCursor();
    return answer == QMessageBox::Yes;
  };
  auto* help_key = new QShortcut(QKeySequence::HelpContents, this);
  connect(help_key, &QShortcut::activated, this, &SearchDialog::helpRequested);
}

SearchDialog::~SearchDialog() = default;

// The template's controls in dialog units of the dialog's font; the metrics
// the layout keeps are measured from the template once.
void SearchDialog::BuildControls() {
  const trovix::ui::DialogUnits du(font());
  list_ = new ResultList(this);
  list_->setGeometry(du.Rect(15, 7, 302, 110));
  preview_ = new PreviewPane(this);
  connect(list_, &ResultList::selectedFileChanged, this, &SearchDialog::UpdatePreview);
  static const char* const kLabels[] = {"Text:", "Include:", "Exclude:"};
  static const int kRowY[] = {123, 141, 160};
  QLineEdit* boxes[3];
  for (int i = 0; i < 3; ++i) {
    labels_[i] = new QLabel(QString::fromLatin1(kLabels[i]), this);
    labels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    labels_[i]->setGeometry(du.Rect(i == 2 ? 17 : 18, kRowY[i], 30, 12));
    boxes[i] = new QLineEdit(this);
    boxes[i]->setGeometry(du.Rect(i == 2 ? 52 : 53, kRowY[i], 263, 12));
  }
  text_ = boxes[0];
  include_ = boxes[1];
  exclude_ = boxes[2];
  connect(text_, &QLineEdit::textChanged, this, [this] { text_changed_ = true; });
  connect(include_, &QLineEdit::textChanged, this, [this] { include_changed_ = true; });
  connect(exclude_, &QLineEdit::textChanged, this, [this] { exclude_changed_ = true; });
  labels_[3] = new QLabel(QStringLiteral("Filter:"), this);
  labels_[3]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  filters_ = new FilterRow(this);
  connect(filters_, &FilterRow::changed, this, &SearchDialog::OnFiltersChanged);

  static const char* const kButtons[] = {"&Search", "C&lear", "E&xit", "&Help"};
  static const int kButtonX[] = {42, 108, 174, 240};
  for (int i = 0; i < 4; ++i) {
    buttons_[i] = new QPushButton(QString::fromLatin1(kButtons[i]), this);
    buttons_[i]->setGeometry(du.Rect(kButtonX[i], 202, i == 3 ? 48 : 50, 16));
  }
  buttons_[0]->setDefault(true);  // Enter searches
  connect(buttons_[0], &QPushButton::clicked, this, &SearchDialog::RunSearch);
  connect(buttons_[1], &QPushButton::clicked, this, &SearchDialog::Clear);
  connect(buttons_[2], &QPushButton::clicked, this, &SearchDialog::reject);
  connect(buttons_[3], &QPushButton::clicked, this, &SearchDialog::helpRequested);

  const QRect search = du.Rect(42, 202, 50, 16);
  metrics_ = {search.width(),
              search.height(),
              du.X(108) - (search.x() + search.width()),
              du.Y(225) - (search.y() + search.height()),
              du.X(30),
              du.Y(12)};
  // Taller than the template by the preview and the filter row, so that the
  // list keeps the template's height; wider, for the filter menus.
  resize(du.X(380), du.Y(285));
  Layout(width(), height());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

// Buttons centred at the bottom, the four rows above them, and above those
// the list and the preview share all height that is left: the preview a
// third, the list the rest. Small sizes are not guarded: negative extents go
// to the controls as they come.
void SearchDialog::Layout(int width, int height) {
  const Metrics& k = metrics_;
  const int x0 = width / 2 - 2 * k.bw - k.gap;
  for (int i = 0; i < 4; ++i) {
    buttons_[i]->setGeometry(x0 + i * (k.bw + k.gap), height - k.m - k.bh, k.bw, k.bh);
  }
  const int shared = height - 8 * k.m - kRows * k.lh - k.bh;
  const int preview_height = shared / 3;
  const int list_height = shared - preview_height;
  list_->setGeometry(k.gap, k.m, width - 2 * k.gap, list_height);
  preview_->setGeometry(k.gap, list_height + 2 * k.m, width - 2 * k.gap, preview_height);
  QWidget* const fields[kRows] = {text_, include_, exclude_, filters_};
  const int y1 = list_height + preview_height + 3 * k.m;
  for (int i = 0; i < kRows; ++i) {
    const int y = y1 + i * (k.lh + k.m);
    labels_[i]->setGeometry(k.gap, y, k.lw, k.lh);
    fields[i]->setGeometry(k.lw + k.gap, y, width - 2 * k.gap - k.lw, k.lh);
  }
  update();
}

void SearchDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Layout(width(), height());
}

void SearchDialog::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QStringLiteral("&About Trovix"), this, &SearchDialog::aboutRequested);
  menu.exec(event->globalPos());
}

void SearchDialog::reject() { done(2); }

void SearchDialog::SetQueryText(const QString& text) { SetBoxText(text_, text); }

void SearchDialog::ClickSearch() { search_button()->click(); }

// The Text box shows the notice and, with the Search button, refuses input
// until the compaction ends; the rest of the dialog stays usable. The text
// typed before is kept as the saved text. Entering again while the display
// shows changes nothing, so a second entry never saves the notice over the
// typed text.
void SearchDialog::EnterMaintenance() {
  maintenance_ = true;
  if (!text_->isEnabled()) return;
  saved_text_ = text_->text();
  SetQueryText(QStringLiteral("Down for maintenance, please wait ..."));
  text_->setEnabled(false);
  search_button()->setEnabled(false);
}

void SearchDialog::LeaveMaintenance() {
  maintenance_ = false;
  if (text_->isEnabled()) return;
  if (saved_text_) SetQueryText(*saved_text_);
  search_button()->setEnabled(true);
  text_->setEnabled(true);
}

// Every write marks its box changed, also when the text stays the same.
void SearchDialog::SetBoxText(QLineEdit* box, const QString& text) {
  box->setText(text);
  if (box == text_) text_changed_ = true;
  if (box == include_) include_changed_ = true;
  if (box == exclude_) exclude_changed_ = true;
}

void SearchDialog::SetTitleCount(int count) {
  const char* const format =
      unsearchable_text_ ? "Vistrel - (%d files) no searchable words" : "Vistrel - (%d files)";
  setWindowTitle(QString::asprintf(format, count).left(63));
}

void SearchDialog::CaretToEnd(QLineEdit* box) {
  box->end(/*mark=*/false);
  box->update();
}

void SearchDialog::Clear() {
  saved_text_.reset();
  unsearchable_text_ = false;
  searched_ = false;
  SetBoxText(text_, QString());
  SetBoxText(include_, QStringLiteral("*"));
  SetBoxText(exclude_, QString());
  SetTitleCount(0);
  list_->ClearResultRows();
}

void SearchDialog::RunSearch() {
  searched_ = true;
  const WaitCursor wait;
  const ComInit com;
  const ComPtr<ITrovixDB> store = CreateStore();
  if (!store) return;
  if (store->IsCompacting() == S_OK) {
    EnterMaintenance();
    return;
  }
  // Taken before anything is read, so that a commit during the evaluations
  // shows as a change at the next search rather than being missed. The panel
  // never moves the store off its default database.
  const IndexStamp stamp = IndexStamp::Take(DefaultDatabaseLocation().path);
  const bool index_changed = !held_stamp_.UnchangedAt(stamp);
  if (index_changed) {
    // Each box shows the cleaned forms that made its held result (or what
    // was typed since): evaluating it again brings its result up to date.
    include_changed_ = true;
    exclude_changed_ = true;
  }
  const bool any_changed =
      text_changed_ || include_changed_ || exclude_changed_ || filters_changed_;
  bool word_current = !index_changed;
  if (text_changed_ && RunWordSearch()) word_current = true;
  if (!word_current) word_current = RefreshWordResult();
  EvaluateChangedLists();
  // A result that could not be made again leaves the stamp unknown, so the
  // next search tries again.
  held_stamp_ = word_current && !include_changed_ && !exclude_changed_ ? stamp : IndexStamp();
  std::optional<HeldResult> result = Combine(store.get());
  // Nothing changed: the list keeps what it shows.
  if (result && any_changed) ReadResult(store.get(), result->get());
  // Rows the list kept (nothing changed, or a large result declined) may
  // stand under a new word query.
  UpdatePreview();
}

// The combined result's size, the question for a large one, and the rows.
void SearchDialog::ReadResult(ITrovixDB* store, UINT result) {
  static_cast<void>(store->Init());
  UINT count = kNoSize;
  static_cast<void>(store->SearchGetSize(result, &count));
  if (count == kNoSize) return;
  if (count > kLargeResult && !ask_large(static_cast<int>(count))) {
    text_changed_ = true;  // so that the next Search asks again
    return;
  }
  SetTitleCount(ReadRows(store, result, static_cast<int>(count)));
}

// An empty Text box keeps the last word result; a failed word search keeps
// it too, with the flag still set. True when a new word result was made.
//
// The text is searched as typed, by the same analysis that made the index,
// and stays in the box as typed: what counts as a word is the analysis's
// business, and a box rewritten to the old word rules would show words the
// search does not use. A text without a searchable word is searched as the
// word rules always had it (separators alone select every file, the way to
// list files by pattern) and shows what those rules left of it; the title
// says that nothing in it was searchable.
bool SearchDialog::RunWordSearch() {
  const ComPtr<ITrovixDB> store = CreateStore();
  if (!store) return false;
  saved_text_ = text_->text();
  unsearchable_text_ = false;
  if (saved_text_->isEmpty()) return false;
  WString query = saved_text_->toStdU16String();
  static_cast<void>(store->Init());
  SetTitleCount(0);
  std::optional<HeldResult> held = EvaluateWords(store.get(), query);
  if (unsearchable_text_) {
    WString cleaned;
    if (FAILED(query::CleanQuery(store.get(), query, &cleaned))) return false;
    saved_text_ = QString::fromStdU16String(cleaned);
    SetBoxText(text_, *saved_text_);
    CaretToEnd(text_);
  }
  if (!held) return false;
  held_word_ = std::move(*held);
  word_query_ = std::move(query);
  text_changed_ = false;
  return true;
}

// Makes the held word result again from the query that made it, whatever
// the Text box holds now (after Clear it is empty and the result is still
// used). True when the held word result is current, also when there is none.
bool SearchDialog::RefreshWordResult() {
  if (!word_query_) return true;
  const ComPtr<ITrovixDB> store = CreateStore();
  if (!store) return false;
  static_cast<void>(store->Init());
  std::optional<HeldResult> held = EvaluateWords(store.get(), *word_query_);
  if (!held) return false;
  held_word_ = std::move(*held);
  return true;
}

// The files holding every word of `query`, by the term search with the
// user's accent setting; for a query without a searchable word (noted in
// unsearchable_text_), by the word rules on what QueryCleanup leaves of it.
// None on failure, or when the store finds no word in the query.
std::optional<HeldResult> SearchDialog::EvaluateWords(ITrovixDB* store, const WString& query) {
  ++evaluations_;
  HeldResult held;
  HRESULT status = query::OpenTerms(store, QuotesAsSeparators(query), query::SettingsTermFlags(),
                                    /*to_read_whole=*/false, &held);
  if (status == S_FALSE) {
    unsearchable_text_ = true;
    WString cleaned;
    status = query::CleanQuery(store, query, &cleaned);
    if (SUCCEEDED(status)) status = query::OpenWords(store, cleaned, &held);
  }
  if (status != S_OK) return std::nullopt;
  return held;
}

void SearchDialog::EvaluateChangedLists() {
  if (include_changed_) {
    held_include_.reset();
    if (std::optional<HeldResult> made = EvaluatePatternList(include_)) {
      held_include_ = std::move(*made);
      include_changed_ = false;
    }
  }
  if (exclude_changed_) {
    held_exclude_.reset();
    if (std::optional<HeldResult> made = EvaluatePatternList(exclude_)) {
      held_exclude_ = std::move(*made);
      exclude_changed_ = false;
    }
  }
}

// The union of the files every pattern of the box selects; none when any
// index store call fails (sets opened so far are closed on the way).
std::optional<HeldResult> SearchDialog::EvaluatePatternList(QLineEdit* box) {
  ++evaluations_;
  const QString text = box->text();
  if (text.isEmpty()) return query::MakeResult({});
  const ComInit com;
  const ComPtr<ITrovixDB> store = CreateStore();
  if (!store) return std::nullopt;
  const std::vector<WString> patterns = query::SplitPatterns(text.toStdU16String());
  static_cast<void>(store->Init());
  HeldResult held;
  std::vector<WString> cleaned;
  if (FAILED(query::OpenPatternUnion(store.get(), patterns, &held, &cleaned))) return std::nullopt;
  // The box shows what was searched for: variables expanded, forms cleaned.
  QStringList shown;
  for (const WString& clean : cleaned) shown.push_back(QString::fromStdU16String(clean));
  SetBoxText(box, shown.join(u';'));
  CaretToEnd(box);
  return held;
}

// (word ∩ include) − exclude. A missing held result is passed as 0, which
// the index store reads as the empty set.
std::optional<HeldResult> SearchDialog::Combine(ITrovixDB* store) {
  HeldResult result;
  if (FAILED(query::Combine(store, held_word_.get(), held_include_.get(), held_exclude_.get(),
                            &result))) {
    return std::nullopt;
  }
  return result;
}

// All rows are read before the list paints again; a row the store cannot
// read any more (its file left the catalogue) ends the reading there. Without
// a filter the count is the result's size, as the store reported it.
int SearchDialog::ReadRows(ITrovixDB* store, UINT result, int count) {
  const std::vector<query::QueryNode> filters = filters_->Filters(std::time(nullptr));
  filters_changed_ = false;
  list_->ClearResultRows();
  list_->setUpdatesEnabled(false);
  list_->BeginReading(count);
  for (;;) {
    auto record = std::make_unique<SearchResultRecord>();
    const HRESULT hr = store->SearchNext(result, reinterpret_cast<UINT_PTR>(record.get()));
    if (FAILED(hr) || hr == DB_S_ENDOFROWSET) break;
    WString path;
    if (RecordPath(store, *record, &path) != S_OK) break;  // as SearchNext's own failure
    if (!filters.empty() && !RecordPasses(filters, *record, path)) continue;
    static_cast<void>(list_->AddResultRow(std::move(record), path));
  }
  list_->EndReading();
  if (count > 0) list_->FitColumns();
  list_->SortRows(kNameColumn, /*ascending=*/true);
  list_->setUpdatesEnabled(true);
  list_->viewport()->update();
  return filters.empty() ? count : list_->row_count();
}

// While the maintenance display shows, the change waits for the next Search.
void SearchDialog::OnFiltersChanged() {
  filters_changed_ = true;
  if (searched_ && !maintenance_) RunSearch();
}

// The query that made the held word result, read as the Text box reads it.
void SearchDialog::UpdatePreview() {
  const QString path = list_->selected_path();
  if (path.isEmpty()) {
    preview_->ShowNothingSelected();
    return;
  }
  preview_->ShowFile(path, word_query_ ? QuotesAsSeparators(*word_query_) : WString(),
                     query::SettingsTermFlags());
}

}  // namespace trovix::panel
