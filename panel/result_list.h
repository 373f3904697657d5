// The search panel's result list: one row per file of the last search, in
// five columns (Name, Directory, Created, Written, Size).
//
// Invariants:
//  - Every row owns exactly one SearchResultRecord; it is freed when the row
//    is removed (ClearResultRows) or when the list is destroyed. The row's
//    path is the file's whole path, which a record holds cut when it is
//    longer than MAX_PATH units.
//  - selectedFileChanged is emitted once for each change of the selected
//    file's path (empty for none), whatever moved it: keyboard, mouse, a
//    program, or rows cleared. Sorting keeps the selected row selected and
//    announces nothing.
//  - A row's texts and time values are fixed when the row is added, so
//    sorting and painting need no further index store calls.
//  - sort_ascending() is the direction of the next header click, shared by
//    all columns; every click inverts it, whatever the column.
// Only the dialog's thread touches the list.
#pragma once

#include <QTreeView>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "shared/search_result.h"

namespace trovix::panel {

enum ResultColumn { kNameColumn, kDirectoryColumn, kCreatedColumn, kWrittenColumn, kSizeColumn };
inline constexpr int kResultColumnCount = 5;

// One row: the record it owns and what is shown and sorted of it.
struct ResultRow {
  std::unique_ptr<SearchResultRecord> record;
  QString path;       // whole: opened and announced
  QString name;       // the last path component
  QString directory;  // everything before it, with the trailing "/"
  QString created;
  QString written;
  std::int64_t created_value = 0;  // seconds since 1970 UTC
  std::int64_t written_value = 0;
};

// Seconds since 1970 of a stored file time read as local calendar time; 0
// for a year before 1900. Times the C library cannot represent also give 0.
std::int64_t TimeValue(FILETIME time);
// The row text of a time value: local date and time in the short format of
// the default locale, which is the user's (QLocale::system()) unless the
// program sets another; "05.12.26 20:24" in German.
QString TimeText(std::int64_t value);
// The row text of a size: "1 byte", "512 bytes", then one decimal of KB, MB
// or GB (units of 1024) in the default locale's digits, "1.5 KB". The
// catalogue keeps the low 32 bits, read unsigned: never negative.
QString SizeText(UINT size);
// Negative puts `a` first. Name and directory fold only A-Z and answer the
// difference of the first unequal units; times and size (unsigned) answer 1
// or -1 with equal values answering -1 ascending. Columns outside 0..4
// answer 0.
int CompareRows(const ResultRow& a, const ResultRow& b, int column, bool ascending);

class ResultModel;

class ResultList : public QTreeView {
  Q_OBJECT

 public:
  explicit ResultList(QWidget* parent = nullptr);
  ~ResultList() override;

  // Adds a row at index 0 owning `record`, of the file at `path` (whole);
  // 0, or -1 when the path has no name part (the record is then freed here).
  int AddResultRow(std::unique_ptr<SearchResultRecord> record, std::u16string_view path);
  // The same with the record's own path.
  int AddResultRow(std::unique_ptr<SearchResultRecord> record);
  // Frees every row's record and removes all rows.
  void ClearResultRows();
  // Brackets the reading of a search: the model is told the row count in
  // advance and announces the rows once, at EndReading.
  void BeginReading(int expected_rows);
  void EndReading();
  // Column widths after a search: Name, Created, Written and Size fit their
  // contents, Directory is 250 pixels.
  void FitColumns();
  // The header click: sorts by `column` in the current direction, then
  // inverts the direction.
  void SortByColumnClick(int column);
  // Sorts without touching the shared direction (after every search). The
  // selected row stays selected, wherever it moves.
  void SortRows(int column, bool ascending);
  // Opens the row's file with the desktop's default application.
  void OpenRow(int row);

  [[nodiscard]] int row_count() const;
  [[nodiscard]] QString text(int row, int column) const;
  [[nodiscard]] const ResultRow& row(int index) const;
  [[nodiscard]] bool sort_ascending() const { return sort_ascending_; }
  // The path of the selected row's file; empty with no row selected.
  [[nodiscard]] QString selected_path() const { return announced_; }

  // How a file is opened; tests replace it. Default: xdg-open through
  // QDesktopServices. Its answer is ignored, as a failed open shows nothing.
  std::function<void(const QString& path)> open_file;

 signals:
  void selectedFileChanged(const QString& path);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

 private:
  [[nodiscard]] const ResultRow* SelectedRow() const;
  void AnnounceSelection();

  ResultModel* model_;
  bool sort_ascending_ = true;
  bool sorting_ = false;  // the selection moves with its row: nothing to announce
  QString announced_;     // the path last announced
};

}  // namespace trovix::panel
