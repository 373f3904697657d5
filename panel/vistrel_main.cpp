// vistrel: the search panel. One runs per user; starting another brings the
// running one to the front and ends. The command line carries nothing for
// the panel (Qt's own options aside).
#include <QApplication>
#include <memory>

#include "panel/about_help.h"
#include "panel/panel_instance.h"
#include "panel/panel_port.h"
#include "panel/search_dialog.h"
#include "platform/com.h"
#include "platform/version_info.h"
#include "shared/itrovixdb.h"
#include "ui/app_icon.h"

TROVIX_VERSION_BLOCK(TROVIX_VERSION_MAJOR, TROVIX_VERSION_MINOR, TROVIX_VERSION_PATCH, 0, VFT_APP);

namespace {

using namespace trovix::panel;

// True when another panel was found and asked to come to the front. A lock
// held by a process whose window never shows within the search's bound (a
// panel stuck in start-up) is not waited for: this panel then runs, without
// the lock.
bool DeferToRunningPanel(PanelLock* lock) {
  if (lock->Acquire()) return false;
  PortInfo running;
  if (!FindPanelWindow({}, &running)) return false;
  static_cast<void>(BringPanelToFront(running));
  return true;
}

// The saved position goes with a working index store: a panel that cannot
// create one opens at its default place, as it does when nothing is saved.
bool StoreCanBeCreated() {
  ComInit com;
  ComPtr<ITrovixDB> store;
  return SUCCEEDED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                                    store.put_void()));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  trovix::ui::SetApplicationIcon("org.trovix.Vistrel");
  PanelLock lock;
  if (DeferToRunningPanel(&lock)) return 0;

  SearchDialog dialog(QApplication::activeWindow());
  AboutText about;
  ConnectAboutAndHelp(&dialog, &about);
  if (StoreCanBeCreated()) RestoreSavedPosition(&dialog);
  // Without a port the panel still works; it just cannot be reached.
  std::unique_ptr<PanelPort> port = PanelPort::Open(&dialog, HandlersFor(&dialog));
  dialog.exec();
  port.reset();
  SaveWindowPosition(&dialog);
  return 0;
}
