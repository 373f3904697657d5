#include "panel/panel_port.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <utility>

#include "panel/search_dialog.h"
#include "shared/messages.h"

namespace trovix::panel {
namespace {

// The answer to a query taken (the Windows TRUE that senders test for).
constexpr INT_PTR kQueryTaken = 1;

}  // namespace

std::unique_ptr<PanelPort> PanelPort::Open(QWidget* window, PanelHandlers handlers) {
  std::unique_ptr<MessagePort> port;
  if (FAILED(MessagePort::Open(window->windowTitle().toStdU16String(), {}, &port))) return nullptr;
  return std::unique_ptr<PanelPort>(new PanelPort(window, std::move(handlers), std::move(port)));
}

PanelPort::PanelPort(QWidget* window, PanelHandlers handlers, std::unique_ptr<MessagePort> port)
    : window_(window),
      handlers_(std::move(handlers)),
      port_(std::move(port)),
      notifier_(new QSocketNotifier(port_->fd(), QSocketNotifier::Read, this)) {
  connect(notifier_, &QSocketNotifier::activated, this, &PanelPort::ReadMessages);
  connect(window_, &QWidget::windowTitleChanged, this, &PanelPort::FollowTitle);
}

PanelPort::~PanelPort() {
  // The notifier must stop watching before the port closes its descriptor.
  notifier_->setEnabled(false);
}

void PanelPort::ReadMessages() {
  Message message;
  while (port_->ReceiveOne(&message) == S_OK) {
    const INT_PTR answer = Dispatch(message);
    if (message.needs_reply()) port_->Reply(answer);
  }
}

INT_PTR PanelPort::Dispatch(const Message& message) {
  switch (message.message) {
    case WM_COPYDATA:
      return TakeQuery(message);
    case WM_TROVIX_ACTIVATE:
      BringToFront(window_);
      return 0;
    case WM_COMPACTION_BEGIN:
      handlers_.enter_maintenance();
      return 0;
    case WM_COMPACTION_END:
      handlers_.leave_maintenance();
      return 0;
    default:
      return 0;
  }
}

INT_PTR PanelPort::TakeQuery(const Message& message) {
  if (message.kind != MessageKind::kCopyData) return 0;
  const std::u16string text = QueryFromCopyData(message.data);
  event_.Set();
  handlers_.set_query_text(QString::fromStdU16String(text));
  BringToFront(window_);
  // The search runs after the sender has its answer: it may take long and
  // may open a message box, and the sender waits meanwhile.
  QTimer::singleShot(0, this, [this] { handlers_.click_search(); });
  return kQueryTaken;
}

void PanelPort::FollowTitle(const QString& title) {
  // A failure keeps the old title, which still starts with "Vistrel".
  static_cast<void>(port_->SetTitle(title.toStdU16String()));
}

PanelHandlers HandlersFor(SearchDialog* dialog) {
  PanelHandlers handlers;
  handlers.set_query_text = [dialog](const QString& text) {
    dialog->set_saved_text(text);
    dialog->SetQueryText(text);
    dialog->include_box()->setText(QStringLiteral("*"));
    dialog->exclude_box()->clear();
  };
  handlers.click_search = [dialog] { dialog->ClickSearch(); };
  handlers.enter_maintenance = [dialog] { dialog->EnterMaintenance(); };
  handlers.leave_maintenance = [dialog] { dialog->LeaveMaintenance(); };
  return handlers;
}

void BringToFront(QWidget* window) {
  if (window->isMinimized()) {
    window->showNormal();
  } else {
    window->show();
  }
  window->raise();
  window->activateWindow();
}

void RestoreSavedPosition(QWidget* window) {
  PanelRect rect;
  if (!ReadSavedPosition(&rect)) return;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return;  // a damaged value: keep the default
  window->move(rect.left, rect.top);
  window->resize(width, height);
}

void SaveWindowPosition(const QWidget* window) {
  const QPoint corner = window->frameGeometry().topLeft();
  WriteSavedPosition(PanelRect{corner.x(), corner.y(), corner.x() + window->width(),
                               corner.y() + window->height()});
}

}  // namespace trovix::panel
