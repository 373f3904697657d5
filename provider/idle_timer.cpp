#include "provider/idle_timer.h"

#include <QCoreApplication>

namespace trovix::provider {

IdleTimer::IdleTimer(QObject* parent) : QObject(parent) {
  bool ok = false;
  const int chosen = qEnvironmentVariableIntValue("TROVIX_PROVIDER_IDLE_MS", &ok);
  timer_.setInterval(ok && chosen > 0 ? chosen : kDefaultIdleMs);
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, QCoreApplication::instance(), &QCoreApplication::quit);
  timer_.start();
}

void IdleTimer::Touch() { timer_.start(); }

}  // namespace trovix::provider
