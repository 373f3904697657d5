#include "panel/result_list.h"

#include <QAbstractTableModel>
#include <QDesktopServices>
#include <QHeaderView>
#include <QKeyEvent>
#include <QUrl>
#include <algorithm>
#include <ctime>
#include <deque>
#include <iomanip>
#include <locale>
#include <sstream>
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
  const auto seconds = static_cast<std::time_t>(value);
  std::tm fields{};
  if (localtime_r(&seconds, &fields) == nullptr) return {};
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::put_time(&fields, "%x %X");
  return QString::fromStdString(out.str().substr(0, 63));
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
      return CompareValues(static_cast<INT>(a.record->SizeLo32),
                           static_cast<INT>(b.record->SizeLo32), ascending);
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
    if (role != Qt::DisplayRole || !index.isValid()) return {};
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
        return QString::number(static_cast<INT>(r.record->SizeLo32));
      default:
        return {};
    }
  }
  const ResultRow& Row(int row) const { return *rows_.at(static_cast<std::size_t>(row)); }

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
}

ResultList::~ResultList() = default;

int ResultList::AddResultRow(std::unique_ptr<SearchResultRecord> record) {
  const std::u16string_view path = PathOf(*record);
  const std::size_t slash = path.rfind(u'/');
  const std::size_t name_start = slash == std::u16string_view::npos ? 0 : slash + 1;
  if (name_start >= path.size()) return -1;
  auto row = std::make_unique<ResultRow>();
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
  setColumnWidth(kSizeColumn, header()->sectionSizeHint(kSizeColumn));
}

void ResultList::SortByColumnClick(int column) {
  if (column >= 0 && column < kResultColumnCount) SortRows(column, sort_ascending_);
  sort_ascending_ = !sort_ascending_;
}

void ResultList::SortRows(int column, bool ascending) { model_->Sort(column, ascending); }

void ResultList::OpenRow(int row) {
  if (row < 0 || row >= row_count()) return;
  const ResultRow& r = model_->Row(row);
  if (r.record == nullptr || !open_file) return;
  open_file(QString::fromUtf16(PathOf(*r.record).data(),
                               static_cast<qsizetype>(PathOf(*r.record).size())));
}

int ResultList::row_count() const { return model_->rowCount(QModelIndex()); }
QString ResultList::text(int row, int column) const { return model_->Text(row, column); }
const ResultRow& ResultList::row(int index) const { return model_->Row(index); }

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
