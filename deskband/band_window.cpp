#include "deskband/band_window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSocketNotifier>

#include "deskband/launch_panel.h"
#include "shared/messages.h"

namespace brimwick {
namespace {

// Colour value 0xC00000 of the band's class brush: blue 192, red and green 0.
constexpr QColor kBandColour(0, 0, 192);

BeepFn g_beep = nullptr;

void Beep() {
  if (g_beep != nullptr) {
    g_beep();
  } else {
    QApplication::beep();
  }
}

// A message queued for the band window. The event type is fixed per message
// so that nothing is registered with Qt's process-wide tables: the module
// must leave no trace behind when it is unloaded.
class BandMessageEvent final : public QEvent {
 public:
  BandMessageEvent(UINT message, UINT_PTR wParam, INT_PTR lParam)
      : QEvent(kType), message_(message), wParam_(wParam), lParam_(lParam) {}
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 1279);
  UINT message_;
  UINT_PTR wParam_;
  INT_PTR lParam_;
};

}  // namespace

void SetBeepForTesting(BeepFn beep) { g_beep = beep; }

BandEdit::BandEdit(QWidget* band_window) : QLineEdit(band_window) {
  // Every change, typed or set by the band, beeps once.
  connect(this, &QLineEdit::textChanged, this, [] { Beep(); });
}

void BandEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // Posted, not handled here: the hand-over may block for long and must
    // not run inside the key handling.
    static_cast<BandWindow*>(parentWidget())->Post(WM_BAND_ENTER, 13, 0);
  }
  QLineEdit::keyPressEvent(event);
}

BandWindow::BandWindow(QWidget* parent, std::function<void(bool)> on_focus,
                       const std::string& host_port_id)
    : QWidget(parent), edit_(new BandEdit(this)), on_focus_(std::move(on_focus)) {
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, kBandColour);
  setPalette(colours);
  setFocusProxy(edit_);
  edit_->installEventFilter(this);
  hide();
  setGeometry(parent->rect());
  // Created inside the band with a one-pixel margin; the first resize makes
  // it fill the band.
  edit_->setGeometry(1, 1, std::max(0, width() - 2), std::max(0, height() - 2));
  OpenPort(host_port_id);
}

BandWindow::~BandWindow() {
  // The notifier must stop watching before the port closes its descriptor.
  if (notifier_ != nullptr) notifier_->setEnabled(false);
  edit_->removeEventFilter(this);
}

void BandWindow::OpenPort(const std::string& host_port_id) {
  if (FAILED(MessagePort::Open(kBandPortTitle, host_port_id, &port_)) &&
      (host_port_id.empty() || FAILED(MessagePort::Open(kBandPortTitle, {}, &port_)))) {
    return;  // the band works without a port; only notices miss it
  }
  notifier_ = new QSocketNotifier(port_->fd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadPort(); });
}

void BandWindow::ReadPort() {
  Message message;
  while (port_->ReceiveOne(&message) == S_OK) {
    // A copy-data or send gets the default answer 0 from ReceiveOne.
    if (message.kind == MessageKind::kPost) {
      HandleMessage(message.message, message.wParam, message.lParam);
    }
  }
}

void BandWindow::Post(UINT message, UINT_PTR wParam, INT_PTR lParam) {
  QCoreApplication::postEvent(this, new BandMessageEvent(message, wParam, lParam));
}

void BandWindow::customEvent(QEvent* event) {
  if (event->type() != BandMessageEvent::kType) return QWidget::customEvent(event);
  const auto* m = static_cast<BandMessageEvent*>(event);
  HandleMessage(m->message_, m->wParam_, m->lParam_);
}

void BandWindow::HandleMessage(UINT message, UINT_PTR /*wParam*/, INT_PTR /*lParam*/) {
  switch (message) {
    case WM_COMPACTION_BEGIN:
      EnterMaintenance();
      break;
    case WM_COMPACTION_END:
      LeaveMaintenance();
      break;
    case WM_BAND_ENTER:
      static_cast<void>(LaunchOrFeedPanel(edit_->text().toStdU16String()));
      break;
    default:
      break;
  }
}

void BandWindow::EnterMaintenance() {
  saved_text_ = edit_->text();
  edit_->setText(QString::fromStdU16String(std::u16string(kMaintenanceText)));
  edit_->update();
  edit_->setEnabled(false);
}

void BandWindow::LeaveMaintenance() {
  edit_->setText(saved_text_.value_or(QString()));
  edit_->update();
  edit_->setEnabled(true);
}

void BandWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  edit_->setGeometry(rect());
}

bool BandWindow::eventFilter(QObject* watched, QEvent* event) {
  // The edit box holds the band's keyboard focus (it is the focus proxy).
  if (watched == edit_ && on_focus_) {
    if (event->type() == QEvent::FocusIn) on_focus_(true);
    if (event->type() == QEvent::FocusOut) on_focus_(false);
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace brimwick
