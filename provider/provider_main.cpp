// trovix-search-provider: answers the desktop's own search box (GNOME Shell,
// KRunner) from the index. D-Bus starts it on the first call through its
// .service file; it ends by itself after a minute without calls, and at once
// when the session bus goes away.
//
// It serves the user's session bus only and owns the name
// org.trovix.SearchProvider; a second copy finds the name taken and ends.
#include <sqlite3.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <cstdio>

#include "provider/bus_watch.h"
#include "provider/desktop_search.h"
#include "provider/gnome_search_provider.h"
#include "provider/idle_timer.h"
#include "provider/krunner_runner.h"

namespace {

constexpr const char* kServiceName = "org.trovix.SearchProvider";
// The index store's connection keeps a page cache larger than this whole
// service needs: a keystroke reads a few hundred rows. Past this many bytes
// SQLite (one library for the whole process, the store's module included)
// reuses cached pages instead of growing, so the service stays small while it
// waits for the next call. A soft limit: no allocation ever fails for it.
constexpr sqlite3_int64 kSqliteMemoryBytes = 6 * 1024 * 1024;

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  sqlite3_soft_heap_limit64(kSqliteMemoryBytes);
  using namespace trovix::provider;
  qDBusRegisterMetaType<QList<QVariantMap>>();
  RegisterRunnerTypes();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "trovix-search-provider: no session bus\n");
    return 1;
  }
  BusWatch watch;
  if (!watch.Watch(bus)) {
    std::fprintf(stderr, "trovix-search-provider: cannot watch the session bus\n");
    return 1;
  }
  DesktopSearch search;
  if (FAILED(search.status())) {
    // Still served: every search answers nothing until the index exists.
    std::fprintf(stderr, "trovix-search-provider: the index cannot be opened (0x%08x)\n",
                 static_cast<unsigned>(search.status()));
  }
  IdleTimer idle;
  GnomeSearchProvider gnome(&search, &idle);
  KRunnerRunner runner(&search, &idle);
  if (!bus.registerObject(QString::fromLatin1(kGnomeObjectPath), &gnome,
                          QDBusConnection::ExportAllSlots) ||
      !bus.registerObject(QString::fromLatin1(kRunnerObjectPath), &runner,
                          QDBusConnection::ExportAllSlots) ||
      !bus.registerService(QString::fromLatin1(kServiceName))) {
    std::fprintf(stderr, "trovix-search-provider: %s is taken\n", kServiceName);
    return 1;
  }
  return QCoreApplication::exec();
}
