// The indexer's status window: how many files the index store has processed
// and indexed, and the file it indexed last. Modal, on the main thread; the
// figures change only on Refresh (or when the window is shown).
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace trovix::indexer {

class StatusWindow : public QDialog {
  Q_OBJECT

 public:
  explicit StatusWindow(QWidget* owner = nullptr);
  ~StatusWindow() override;

  // The three fields, for tests.
  [[nodiscard]] QString processed_text() const;
  [[nodiscard]] QString indexed_text() const;
  [[nodiscard]] QString last_file_text() const;

 public slots:
  // Reads the figures from a fresh index store object.
  void Refresh();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void RestorePosition();
  void SavePosition();

  QLineEdit* processed_ = nullptr;
  QLineEdit* indexed_ = nullptr;
  QLineEdit* last_file_ = nullptr;
  QPushButton* refresh_ = nullptr;
};

}  // namespace trovix::indexer
