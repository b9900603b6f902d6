#pragma once
// How the desktop knows the program: its name, the window class the menu entry
// matches (StartupWMClass), the desktop entry's id, and its icon.
#include <QIcon>

// The executable's name; also Qt's application name, which the X11 platform uses as
// the window's WM_CLASS class, so it stays the same when the program is renamed.
inline constexpr char kProgramName[] = "BrenuSearchTools";
// The desktop entry "<id>.desktop" and AppStream component id (Wayland's app id).
inline constexpr char kDesktopId[] = "com.brenu.BrenuSearchTools";

// Application name and desktop file name; call before the QApplication exists.
void SetApplicationIdentity();
// "./BrenuSearchTools.ico" in the working directory when it can be read (an
// operator's own icon wins), otherwise the icon built into the program.
QIcon ApplicationIcon();
