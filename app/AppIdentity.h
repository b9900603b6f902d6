#pragma once
// How the desktop knows the program: its name, the window class the menu entry
// matches (StartupWMClass), the desktop entry's id, and its icon.
#include <QIcon>
#include <QString>

#include <string>

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

// The Qt plug-in folder this program adds: "plugins/" beside the executable, so a
// portable copy can carry its own, never a folder relative to the working directory
// (whoever controls that folder would run code in the program). Empty for a program
// installed in the system's program hierarchies (kit/LogLocation.h), which uses the
// system's Qt plug-ins only. exeDirectory ends with "/".
QString PluginFolderFor(const std::string &exeDirectory);
// Adds PluginFolderFor(the running executable's folder), if any; before the
// QApplication exists.
void AddPluginFolder();
