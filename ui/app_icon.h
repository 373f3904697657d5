// The suite's application icon, org.trovix.Trovix: a page under a magnifying
// glass, for the windows, the tray and the band.
#pragma once

#include <QIcon>

namespace trovix::ui {

// The icon theme's org.trovix.Trovix when the theme has it (an installed
// suite puts it in the hicolor theme, which every theme falls back on), else
// the copy built into the program, so that a build tree or a prefix whose
// share folder the desktop does not search still shows it.
[[nodiscard]] QIcon AppIcon();

// The copy built into the program, at every size the hicolor theme holds.
[[nodiscard]] QIcon BundledAppIcon();

// Gives every window of `desktop_id`'s program the icon, and names the
// program's desktop entry (org.trovix.Vistrel, without ".desktop"): Wayland
// compositors find the icon and the name of a window by that entry.
void SetApplicationIcon(const char* desktop_id);

}  // namespace trovix::ui
