#include "panel/result_list.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QDesktopServices>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QUrl>
#include <algorithm>
#include <ctime>
#include <deque>
#include <string_view>

#include "platform/filetime.h"

namespace trovix::panel {
namespace {

// Only A-Z fold: accented letters and every other unit compare by code, so
// the order does not depend on the user's locale.
int CompareFolded(const QString& a, const QString& b) {
  const auto fold = [](char16_t c) -> int { return c >= u'A' && c <= u'Z' ? c + 32 : c; };
  const qsizetype n = std::min(a.size(), b.size());
  for (qsizetype i = 0; i < n; ++i) {
    const int d = fold(a[i].unicode()) - fold(b[i].unicode());
    if (d != 0) return d;
  }
  // The shorter text ends first, as its terminating zero would.
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -fold(b[n].unicode()) : fold(a[n].unicode());
}

// Equal values answer -1 ascending and 1 descending: the two rows keep no
// defined order, which the list accepts.
template <typename T>
int CompareValues(T a, T b, bool ascending) {
  const int c = a > b ? 1 : -1;
  return ascending ? c : -c;
}

std::u16string_view PathOf(const SearchResultRecord& record) {
  const std::u16string_view all(record.path, std::size(record.path));
  return all.substr(0, std::min(all.find(u'\0'), all.size()));
}

}  // namespace

std::int64_t TimeValue(FILETIME time) {
  const std::time_t utc = FileTimeToTimespec(time).tv_sec;
  std::tm fields{};
  if (localtime_r(&utc, &fields) == nullptr || fields.tm_year < 0) return 0;
  fields.tm_isdst = -1;  // the library decides whether daylight saving applies
  const std::time_t local = std::mktime(&fields);
  return local == static_cast<std::time_t>(-1) ? 0 : local;
}

QString TimeText(std::int64_t value) {
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(value), QLocale::ShortFormat);
}

QString SizeText(UINT size) {
  // A count below 1024 has no group separator: "1.023 bytes" would read as
  // a fraction beside "1,0 KB".
  QLocale locale;
  locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
  if (size == 1) return QStringLiteral("1 byte");
  if (size < 1024) return locale.toString(size) + QStringLiteral(" bytes");
  static const char* const kUnits[] = {"KB", "MB", "GB"};
  double value = size / 1024.0;
  std::size_t unit = 0;
  // A value that one decimal would round up to 1024 is shown in the next unit.
  while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  return locale.toString(value, 'f', 1) + u' ' + QLatin1String(kUnits[unit]);
}

int CompareRows(const ResultRow& a, const ResultRow& b, int column, bool ascending) {
  switch (column) {
    case kNameColumn: {
      const int c = CompareFolded(a.name, b.name);
      return ascending ? c : -c;
    }
    case kDirectoryColumn: {
      const int c = CompareFolded(a.directory, b.directory);
      return ascending ? c : -c;
    }
    case kCreatedColumn:
      return CompareValues(a.created_value, b.created_value, ascending);
    case kWrittenColumn:
      return CompareValues(a.written_value, b.written_value, ascending);
    case kSizeColumn:
      return CompareValues(a.record->SizeLo32, b.record->SizeLo32, ascending);
    default:
      return 0;
  }
}

// Rows in display order. During a reading the rows are collected silently
// and announced once by a model reset: announcing thousands of single
// insertions would make the view lay itself out again for each.
class ResultModel : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : kResultColumnCount;
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid()) return {};
    if (role == Qt::TextAlignmentRole && index.column() == kSizeColumn) {
      return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole) return {};
    return Text(index.row(), index.column());
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    static const char* const kTitles[] = {"Name", "Directory", "Created", "Written", "Size"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kResultColumnCount) {
      return {};
    }
    return QString::fromLatin1(kTitles[section]);
  }

  QString Text(int row, int column) const {
    const ResultRow& r = *rows_.at(static_cast<std::size_t>(row));
    switch (column) {
      case kNameColumn:
        return r.name;
      case kDirectoryColumn:
        return r.directory;
      case kCreatedColumn:
        return r.created;
      case kWrittenColumn:
        return r.written;
      case kSizeColumn:
        return SizeText(r.record->SizeLo32);
      default:
        return {};
    }
  }
  const ResultRow& Row(int row) const { return *rows_.at(static_cast<std::size_t>(row)); }
  // The display index of `row`, or -1 when it is no row of the model.
  int IndexOf(const ResultRow* row) const {
    const auto at = std::find_if(rows_.begin(), rows_.end(),
                                 [row](const auto& held) { return held.get() == row; });
    return at == rows_.end() ? -1 : static_cast<int>(at - rows_.begin());
  }

  void AddFront(std::unique_ptr<ResultRow> row) {
    if (!reading_) beginInsertRows(QModelIndex(), 0, 0);
    rows_.push_front(std::move(row));
    if (!reading_) endInsertRows();
  }
  void Clear() {
    beginResetModel();
    rows_.clear();  // frees every record
    endResetModel();
  }
  void BeginReading() {
    beginResetModel();
    reading_ = true;
  }
  void EndReading() {
    if (!reading_) return;
    reading_ = false;
    endResetModel();
  }
  // The comparison answers -1 both ways for equal times, so it is no strict
  // ordering by itself; a row goes first only when the comparison agrees from
  // both sides.
  void Sort(int column, bool ascending) {
    beginResetModel();
    std::stable_sort(rows_.begin(), rows_.end(), [&](const auto& a, const auto& b) {
      return CompareRows(*a, *b, column, ascending) < 0 &&
             CompareRows(*b, *a, column, ascending) > 0;
    });
    endResetModel();
  }

 private:
  std::deque<std::unique_ptr<ResultRow>> rows_;  // push_front keeps adding O(1)
  bool reading_ = false;
};

ResultList::ResultList(QWidget* parent) : QTreeView(parent), model_(new ResultModel(this)) {
  setModel(model_);
  setRootIsDecorated(false);
  setUniformRowHeights(true);  // lets the view skip measuring every row
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSortingEnabled(false);  // sorting follows the shared direction, not Qt's
  header()->setSectionsClickable(true);
  header()->setStretchLastSection(false);
  for (int column = 0; column < kResultColumnCount; ++column) {
    setColumnWidth(column, header()->sectionSizeHint(column));
  }
  open_file = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
  connect(header(), &QHeaderView::sectionClicked, this, &ResultList::SortByColumnClick);
  connect(this, &QTreeView::doubleClicked, this,
          [this](const QModelIndex& index) { OpenRow(index.row()); });
  // Connected after setModel, so the selection model has dropped its rows
  // when this runs.
  connect(model_, &QAbstractItemModel::modelReset, this, &ResultList::AnnounceSelection);
}

ResultList::~ResultList() = default;

int ResultList::AddResultRow(std::unique_ptr<SearchResultRecord> record) {
  const WString path(PathOf(*record));
  return AddResultRow(std::move(record), path);
}

int ResultList::AddResultRow(std::unique_ptr<SearchResultRecord> record, std::u16string_view path) {
  const std::size_t slash = path.rfind(u'/');
  const std::size_t name_start = slash == std::u16string_view::npos ? 0 : slash + 1;
  if (name_start >= path.size()) return -1;
  auto row = std::make_unique<ResultRow>();
  row->path = QString::fromUtf16(path.data(), static_cast<qsizetype>(path.size()));
  row->name = QString::fromUtf16(path.data() + name_start,
                                 static_cast<qsizetype>(path.size() - name_start));
  row->directory = QString::fromUtf16(path.data(), static_cast<qsizetype>(name_start));
  row->created_value = TimeValue(record->CreationDateTime);
  row->written_value = TimeValue(record->ModificationDateTime);
  row->created = TimeText(row->created_value);
  row->written = TimeText(row->written_value);
  row->record = std::move(record);
  model_->AddFront(std::move(row));
  return 0;
}

void ResultList::ClearResultRows() { model_->Clear(); }
void ResultList::BeginReading(int /*expected_rows*/) { model_->BeginReading(); }
void ResultList::EndReading() { model_->EndReading(); }

void ResultList::FitColumns() {
  resizeColumnToContents(kNameColumn);
  setColumnWidth(kDirectoryColumn, 250);
  resizeColumnToContents(kCreatedColumn);
  resizeColumnToContents(kWrittenColumn);
  resizeColumnToContents(kSizeColumn);
}

void ResultList::SortByColumnClick(int column) {
  if (column >= 0 && column < kResultColumnCount) SortRows(column, sort_ascending_);
  sort_ascending_ = !sort_ascending_;
}

void ResultList::SortRows(int column, bool ascending) {
  const ResultRow* const kept = SelectedRow();
  sorting_ = true;
  model_->Sort(column, ascending);
  if (kept != nullptr) setCurrentIndex(model_->index(model_->IndexOf(kept), 0));
  sorting_ = false;
  AnnounceSelection();
}

void ResultList::OpenRow(int row) {
  if (row < 0 || row >= row_count()) return;
  const ResultRow& r = model_->Row(row);
  if (r.record == nullptr || !open_file) return;
  open_file(r.path);
}

int ResultList::row_count() const { return model_->rowCount(QModelIndex()); }
QString ResultList::text(int row, int column) const { return model_->Text(row, column); }
const ResultRow& ResultList::row(int index) const { return model_->Row(index); }

const ResultRow* ResultList::SelectedRow() const {
  const QModelIndexList rows = selectionModel()->selectedRows();
  if (rows.size() != 1 || rows.front().row() >= row_count()) return nullptr;
  return &model_->Row(rows.front().row());
}

void ResultList::AnnounceSelection() {
  if (sorting_) return;
  const ResultRow* const selected = SelectedRow();
  QString path = selected != nullptr && selected->record ? selected->path : QString();
  if (path == announced_) return;
  announced_ = std::move(path);
  emit selectedFileChanged(announced_);
}

void ResultList::selectionChanged(const QItemSelection& selected,
                                  const QItemSelection& deselected) {
  QTreeView::selectionChanged(selected, deselected);
  AnnounceSelection();
}

// Enter opens the selected row instead of pressing the dialog's default
// button; with no row selected it goes on to the dialog.
void ResultList::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && currentIndex().isValid()) {
    OpenRow(currentIndex().row());
    event->accept();
    return;
  }
  QTreeView::keyPressEvent(event);
}

}  // namespace trovix::panel
