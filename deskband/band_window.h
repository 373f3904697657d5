// The band's windows: BandWindow, a blue child of the host's window, and
// BandEdit, the edit box that fills it.
//
// Messages reach BandWindow two ways, both handled by HandleMessage on the
// widget's thread: posted to its message port by other programs (the
// indexer's compaction notices), or posted by the band itself (Enter in the
// edit box). The port is titled "Trovix Desk Band" and opened under the
// host's port, so notices addressed to the host's windows reach the band.
#pragma once

#include <QLineEdit>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/message_port.h"
#include "platform/types.h"

class QSocketNotifier;

namespace brimwick {

// Sent to BandWindow when Enter is pressed in the edit box.
inline constexpr UINT WM_BAND_ENTER = 0x0400 + 255;
static_assert(WM_BAND_ENTER == 1279);

inline constexpr std::u16string_view kBandPortTitle = u"Trovix Desk Band";
inline constexpr std::u16string_view kMaintenanceText = u"Doing maintenance ...";

// The default beep. Tests count beeps by replacing it; null restores the
// system beep. Not thread-safe: set it before any band exists.
using BeepFn = void (*)();
void SetBeepForTesting(BeepFn beep);

class BandEdit : public QLineEdit {
 public:
  explicit BandEdit(QWidget* band_window);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

class BandWindow : public QWidget {
 public:
  // `on_focus` hears every gain (true) and loss (false) of the keyboard focus
  // by the band. `host_port_id` may be empty: the port is then top-level.
  BandWindow(QWidget* parent, std::function<void(bool)> on_focus, const std::string& host_port_id);
  ~BandWindow() override;

  [[nodiscard]] BandEdit* edit() const { return edit_; }
  // This window's port; null when none could be opened.
  [[nodiscard]] const MessagePort* port() const { return port_.get(); }
  // Queues a message for HandleMessage, as a window's message queue would.
  void Post(UINT message, UINT_PTR wParam, INT_PTR lParam);
  void HandleMessage(UINT message, UINT_PTR wParam, INT_PTR lParam);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void customEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OpenPort(const std::string& host_port_id);
  void ReadPort();
  void EnterMaintenance();
  void LeaveMaintenance();

  BandEdit* edit_;  // child of this window
  std::function<void(bool)> on_focus_;
  std::unique_ptr<MessagePort> port_;
  QSocketNotifier* notifier_ = nullptr;  // child of this window
  // The edit's text while the maintenance display covers it.
  std::optional<QString> saved_text_;
};

}  // namespace brimwick
