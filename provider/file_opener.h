// Opening a file or folder with the user's default application.
#pragma once

#include <QString>

namespace trovix::provider {

// The program that opens paths: $TROVIX_OPENER when set and not empty (tests
// name a stand-in that records its arguments), else xdg-open.
[[nodiscard]] QString OpenerProgram();

// Starts the opener for `path`, detached, without waiting for it. False when
// it could not be started.
bool OpenPath(const QString& path);

}  // namespace trovix::provider
