// What `kestine -RegServer` writes and `kestine -UnregServer` removes: the
// program's AppID under the classes root and the indexer's default settings.
#pragma once

#include "platform/types.h"

namespace trovix::indexer {

// Writes AppID\{779BA293-F2B4-4E45-AADA-927E5CF41A78} ("Kestine"),
// AppID\kestine (value AppID = that identifier) and, under the user's
// Software\Quillon\Trovix\Kestine, "Scan Interval" = 4320 and "Suppress
// Startup Scan" = 0 when they are missing (values the user set are kept).
// Answers the first registry error.
[[nodiscard]] LONG RegisterKestine();
// Removes the two AppID keys (the AppID key itself stays); the user's
// settings stay.
[[nodiscard]] LONG UnregisterKestine();

}  // namespace trovix::indexer
