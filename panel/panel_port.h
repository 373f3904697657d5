// The panel dialog as other programs see it: a message port titled like the
// dialog, and the dialog's rectangle saved between runs.
//
// Messages the port answers:
//   WM_COPYDATA          a query handed over: shown in the dialog and searched
//                        once the message is answered; answer TRUE.
//   WM_TROVIX_ACTIVATE   restore, raise and activate the dialog.
//   WM_COMPACTION_BEGIN  the maintenance display (the index store is being
//   WM_COMPACTION_END    compacted), and back.
// Everything runs on the dialog's thread, from its event loop.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "panel/panel_instance.h"
#include "platform/message_port.h"

class QSocketNotifier;
class QWidget;

namespace trovix::panel {

class SearchDialog;

// What the port asks of the dialog it serves. Every member must be set.
struct PanelHandlers {
  // Puts the text into the Text box, "*" into Include, "" into Exclude.
  std::function<void(const QString&)> set_query_text;
  // Runs the search as a click on the Search button would.
  std::function<void()> click_search;
  std::function<void()> enter_maintenance;
  std::function<void()> leave_maintenance;
};

class PanelPort : public QObject {
  Q_OBJECT

 public:
  // Opens the port for `window`, titled with its current title and following
  // every later change of it. Null when the port cannot be opened.
  static std::unique_ptr<PanelPort> Open(QWidget* window, PanelHandlers handlers);
  ~PanelPort() override;

  [[nodiscard]] PortInfo info() const { return port_->info(); }

 private:
  PanelPort(QWidget* window, PanelHandlers handlers, std::unique_ptr<MessagePort> port);
  void ReadMessages();
  // The answer to a message that needs one.
  INT_PTR Dispatch(const Message& message);
  INT_PTR TakeQuery(const Message& message);
  void FollowTitle(const QString& title);

  QWidget* window_;
  PanelHandlers handlers_;
  std::unique_ptr<MessagePort> port_;
  QSocketNotifier* notifier_;  // child of this object
  PanelEvent event_;           // set each time a query is taken
};

// The handlers that act on the search dialog. A query handed over replaces
// the saved text (the text the maintenance display puts back) and resets
// Include to "*" and Exclude to "", so it searches everywhere.
[[nodiscard]] PanelHandlers HandlersFor(SearchDialog* dialog);

// Shows the window un-minimized, raised and active.
void BringToFront(QWidget* window);

// The rectangle saved at the last close: the window frame's top-left corner
// and, as right and bottom, that corner plus the size of the window's
// contents. Storing the contents' size (not the frame's) makes a restore
// exact whatever the window manager's decorations, so a panel does not grow
// by its frame at every start.
void RestoreSavedPosition(QWidget* window);
void SaveWindowPosition(const QWidget* window);

}  // namespace trovix::panel
