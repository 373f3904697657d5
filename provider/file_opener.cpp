#include "provider/file_opener.h"

#include <QProcess>

namespace trovix::provider {

QString OpenerProgram() {
  const QString chosen = qEnvironmentVariable("TROVIX_OPENER");
  return chosen.isEmpty() ? QStringLiteral("xdg-open") : chosen;
}

bool OpenPath(const QString& path) {
  // "--" is not passed: xdg-open takes one argument and a path from the
  // catalogue is absolute, so it never reads as an option.
  return QProcess::startDetached(OpenerProgram(), {path});
}

}  // namespace trovix::provider
