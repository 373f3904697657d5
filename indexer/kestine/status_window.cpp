#include "indexer/kestine/status_window.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <array>
#include <cstring>

#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"
#include "shared/itrovixdb.h"
#include "shared/registry_keys.h"
#include "ui/dialog_units.h"

namespace trovix::indexer {
namespace {

const QString kCompacting = QStringLiteral("Compacting, try again later");
const QString kError = QStringLiteral("Error");
const QString kNoFiles = QStringLiteral("No files returned");
constexpr std::u16string_view kStatusPosition = u"Status Position";

QString CountText(HRESULT hr, UINT count) {
  if (SUCCEEDED(hr)) return QString::number(count);
  return hr == E_UNEXPECTED ? kCompacting : kError;
}

QString LastFileText(ITrovixDB* store) {
  WCHAR buffer[260] = {};
  UINT size = 259;
  HRESULT hr = store->GetLastIndexedFile(buffer, &size);
  if (hr == E_UNEXPECTED) {
    // The database is not open in this process yet: open it and ask again.
    static_cast<void>(store->Init());
    std::memset(buffer, 0, sizeof buffer);
    size = 259;
    hr = store->GetLastIndexedFile(buffer, &size);
    if (hr == E_UNEXPECTED) return kCompacting;
    return QString::fromStdU16String(buffer);
  }
  if (hr == S_FALSE || hr == DB_S_ENDOFROWSET) return kNoFiles;
  if (FAILED(hr)) return kError;
  return QString::fromStdU16String(buffer);
}

QLineEdit* ReadOnlyField(QWidget* parent) {
  auto* field = new QLineEdit(parent);
  field->setReadOnly(true);
  return field;
}

}  // namespace

StatusWindow::StatusWindow(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Trovix Indexing Status"));
  setModal(true);
  BuildControls();
  RestorePosition();
}

StatusWindow::~StatusWindow() { SavePosition(); }

// The template's controls, placed in dialog units of the window's font.
void StatusWindow::BuildControls() {
  const trovix::ui::DialogUnits du(font());
  setFixedSize(du.X(265), du.Y(124));
  auto* group = new QGroupBox(QStringLiteral("File Processing Statistics"), this);
  group->setGeometry(du.Rect(6, 7, 243, 84));
  const auto label = [&](const char* text, QRect where) {
    (new QLabel(QString::fromLatin1(text), this))->setGeometry(where);
  };
  label("Processed:", du.Rect(19, 23, 36, 8));
  label("Indexed:", du.Rect(19, 42, 27, 8));
  label("Most Recently Indexed:", du.Rect(19, 60, 71, 8));
  processed_ = ReadOnlyField(this);
  processed_->setGeometry(du.Rect(55, 19, 80, 14));
  indexed_ = ReadOnlyField(this);
  indexed_->setGeometry(du.Rect(55, 40, 80, 14));
  last_file_ = ReadOnlyField(this);
  last_file_->setGeometry(du.Rect(31, 69, 210, 14));
  refresh_ = new QPushButton(QStringLiteral("&Refresh"), this);
  refresh_->setGeometry(du.Rect(74, 101, 50, 16));
  refresh_->setDefault(true);  // Enter refreshes
  auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
  cancel->setGeometry(du.Rect(140, 101, 50, 16));
  connect(refresh_, &QPushButton::clicked, this, &StatusWindow::Refresh);
  connect(cancel, &QPushButton::clicked, this, [this] { done(2); });  // Escape too (QDialog)
}

QString StatusWindow::processed_text() const { return processed_->text(); }
QString StatusWindow::indexed_text() const { return indexed_->text(); }
QString StatusWindow::last_file_text() const { return last_file_->text(); }

void StatusWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The first figures appear through the same path as a click.
  QTimer::singleShot(0, refresh_, &QPushButton::click);
}

void StatusWindow::Refresh() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ComInit com;
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    processed_->setText(kError);
    indexed_->setText(kError);
    last_file_->setText(kError);
  } else if (store->IsCompacting() == S_OK) {
    processed_->setText(kCompacting);
    indexed_->setText(kCompacting);
    last_file_->setText(kCompacting);
  } else {
    UINT processed = 0;
    UINT indexed = 0;
    const HRESULT processed_hr = store->GetProcessedFileCount(&processed);
    const HRESULT indexed_hr = store->GetIndexedFileCount(&indexed);
    processed_->setText(CountText(processed_hr, processed));
    indexed_->setText(CountText(indexed_hr, indexed));
    last_file_->setText(LastFileText(store.get()));
  }
  QApplication::restoreOverrideCursor();
}

// The saved rectangle: left, top, right, bottom as 32-bit integers.
void StatusWindow::RestorePosition() {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kKestine, &key) != ERROR_SUCCESS) return;
  std::array<INT, 4> rect{};
  DWORD type = 0;
  DWORD size = sizeof rect;
  if (RegQueryValueExW(key.get(), kStatusPosition.data(), nullptr, &type,
                       reinterpret_cast<BYTE*>(rect.data()), &size) != ERROR_SUCCESS ||
      type != REG_BINARY || size != sizeof rect) {
    return;
  }
  move(rect[0], rect[1]);
}

void StatusWindow::SavePosition() {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kKestine, &key) != ERROR_SUCCESS) return;
  const QRect frame = frameGeometry();
  const std::array<INT, 4> rect{frame.left(), frame.top(), frame.right() + 1, frame.bottom() + 1};
  static_cast<void>(RegSetValueExW(key.get(), kStatusPosition.data(), 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(rect.data()), sizeof rect));
}

}  // namespace trovix::indexer
