// The search panel's dialog: a query text, Include and Exclude path-pattern
// lists, filter menus (kind, period written, least size), the result list,
// and the preview of the selected file's passages.
//
// Invariants:
//  - A box's change flag is set by every change of its text, the panel's own
//    writes included, and cleared only when that box's result was made. The
//    flags start set, so the first search evaluates all three boxes.
//  - The held results are the panel's own result sets, registered in the
//    process-wide table of shared/search_result.h so that the index store
//    reads them like its own. They live until their box changes and is
//    evaluated again, until the index changes, or until the dialog goes.
//  - The held stamp vouches that every held result reflects the index as it
//    is: it is recorded only by a search after which no held result is older
//    than the stamp. A search whose stamp is not unchanged from the held one
//    evaluates the boxes and the held word query again, so a Search always
//    shows the files that match now; with no change (and no box changed) it
//    evaluates nothing.
//  - The filters narrow the rows read, not the held results: changing one
//    evaluates nothing again, it only marks the rows to be read again. A
//    change re-runs the search once a search has run since the dialog was
//    made or cleared.
//  - The Text box's words are ANDed with double quotes as separators, the
//    way the box always read them; the store's phrase syntax is not offered
//    here.
//  - The preview follows the selected row and the held word query.
//  - The component library is initialised only for the length of one
//    operation (a search, or one preview reading): while the panel is idle
//    no index store module is loaded and no database connection is open.
// Everything runs on the dialog's thread, synchronously.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>

#include "panel/index_stamp.h"
#include "platform/types.h"
#include "query/query_steps.h"

class QLabel;
class QLineEdit;
class QPushButton;
struct ITrovixDB;

namespace trovix::panel {

class FilterRow;
class PreviewPane;
class ResultList;

// A result set of the panel's own, closed on destruction; 0 means none.
using HeldResult = trovix::query::ResultHandle;

class SearchDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SearchDialog(QWidget* parent = nullptr);
  ~SearchDialog() override;

  // Sets the Text box (which marks it changed).
  void SetQueryText(const QString& text);
  // A click of the Search button, handled like a real one.
  void ClickSearch();
  // The Search command: evaluates the changed boxes, combines the held
  // results and reads the rows. Silent on every failure.
  void RunSearch();
  // The Clear command: empties Text and Exclude, Include back to "*", title
  // to 0 files, no rows. The held results and the filters stay.
  void Clear();
  // The maintenance display while the index is compacted.
  void EnterMaintenance();
  void LeaveMaintenance();

  [[nodiscard]] bool in_maintenance() const { return maintenance_; }
  [[nodiscard]] const std::optional<QString>& saved_text() const { return saved_text_; }
  void set_saved_text(std::optional<QString> text) { saved_text_ = std::move(text); }

  // The controls and state, for the lifecycle code and for tests.
  [[nodiscard]] QLineEdit* text_box() const { return text_; }
  [[nodiscard]] QLineEdit* include_box() const { return include_; }
  [[nodiscard]] QLineEdit* exclude_box() const { return exclude_; }
  [[nodiscard]] ResultList* result_list() const { return list_; }
  [[nodiscard]] PreviewPane* preview_pane() const { return preview_; }
  [[nodiscard]] FilterRow* filter_row() const { return filters_; }
  [[nodiscard]] QPushButton* search_button() const { return buttons_[0]; }
  [[nodiscard]] QPushButton* button(int index) const { return buttons_[index]; }
  [[nodiscard]] QLabel* label(int index) const { return labels_[index]; }
  [[nodiscard]] bool text_changed() const { return text_changed_; }
  [[nodiscard]] bool include_changed() const { return include_changed_; }
  [[nodiscard]] bool exclude_changed() const { return exclude_changed_; }
  [[nodiscard]] bool filters_changed() const { return filters_changed_; }
  [[nodiscard]] UINT held_word() const { return held_word_.get(); }
  [[nodiscard]] UINT held_include() const { return held_include_.get(); }
  [[nodiscard]] UINT held_exclude() const { return held_exclude_.get(); }
  // How many times a word query or a pattern list has been evaluated.
  [[nodiscard]] int evaluation_count() const { return evaluations_; }

  // The question asked before reading more than 1500 rows: true to go on.
  // Tests replace it; the default is a Yes/No message box owned by the dialog.
  std::function<bool(int rows)> ask_large;

 signals:
  void helpRequested();
  void aboutRequested();

 public slots:
  void reject() override;  // Escape, Exit and the close box end with 2

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  struct Metrics {
    int bw, bh, gap, m, lw, lh;
  };

  void BuildControls();
  void Layout(int width, int height);
  [[nodiscard]] bool RunWordSearch();
  [[nodiscard]] bool RefreshWordResult();
  [[nodiscard]] std::optional<HeldResult> EvaluateWords(ITrovixDB* store, const WString& query);
  [[nodiscard]] std::optional<HeldResult> EvaluatePatternList(QLineEdit* box);
  void EvaluateChangedLists();
  void ReadResult(ITrovixDB* store, UINT result);
  [[nodiscard]] std::optional<HeldResult> Combine(ITrovixDB* store);
  // The rows shown: those of the result that pass the filters.
  int ReadRows(ITrovixDB* store, UINT result, int count);
  void OnFiltersChanged();
  void UpdatePreview();
  void SetBoxText(QLineEdit* box, const QString& text);
  void SetTitleCount(int count);
  void CaretToEnd(QLineEdit* box);

  ResultList* list_ = nullptr;
  QLineEdit* text_ = nullptr;
  QLineEdit* include_ = nullptr;
  QLineEdit* exclude_ = nullptr;
  PreviewPane* preview_ = nullptr;
  FilterRow* filters_ = nullptr;
  QLabel* labels_[4] = {};        // Text, Include, Exclude, Filter
  QPushButton* buttons_[4] = {};  // Search, Clear, Exit, Help
  Metrics metrics_{};

  HeldResult held_word_;
  HeldResult held_include_;
  HeldResult held_exclude_;
  // The query text that made held_word_; none while there is no word result.
  std::optional<WString> word_query_;
  // The last text searched held no searchable word: the title says so
  // instead of a count.
  bool unsearchable_text_ = false;
  IndexStamp held_stamp_;
  int evaluations_ = 0;
  bool text_changed_ = true;
  bool include_changed_ = true;
  bool exclude_changed_ = true;
  // Set by a filter change, cleared when rows are read under the filters.
  bool filters_changed_ = false;
  // A search has run since the dialog was made or cleared.
  bool searched_ = false;
  std::optional<QString> saved_text_;
  bool maintenance_ = false;
};

}  // namespace trovix::panel
