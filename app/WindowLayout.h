#pragma once
// What the window remembers between runs: its geometry, the device table's column
// widths and sort, the batch window's geometry and its last start address, mask,
// gateway and DNS server. Kept with QSettings as an INI file in the user's
// configuration folder ($XDG_CONFIG_HOME/BrenuSearchTools/BrenuSearchTools.ini, by
// default under ~/.config), written when the window closes and read when it opens;
// never touched by --help or --version (main() returns before).
//
// What is read is checked before it is used: a file that cannot be read or parsed, or
// any value out of its bounds, gives the defaults for the whole layout (one log line
// says why), and a geometry that fits no screen of this session is left out (the
// window opens where the desktop puts it, never off-screen).
#include <QList>
#include <QRect>
#include <QString>
#include <QVector>
#include <Qt>

class QSettings;

struct BatchFields {
    QString start, mask, gateway, dns;
};

struct WindowLayout {
    // The main window when not maximized; null: the desktop decides.
    QRect geometry;
    bool maximized = false;
    // The table's column widths in column order; empty: the defaults.
    QVector<int> columnWidths;
    // -1: not sorted.
    int sortColumn = -1;
    Qt::SortOrder sortOrder = Qt::AscendingOrder;
    // The batch window; null: its default size.
    QRect batchGeometry;
    // The batch window's fields; nothing saved yet when not set.
    bool hasBatchFields = false;
    BatchFields batchFields;
};

// The widest a remembered column may be, in pixels: wider than any screen, so a
// larger value is not a width the operator dragged but a damaged file.
constexpr int kMaxColumnWidth = 10000;
// The widths a remembered column is brought within. Below 24 pixels a column shows
// nothing and its edge is hard to find to widen it again; above 1200 pixels it holds
// more than the longest serial number or description the window shows on one line
// and pushes every column after it off a screen. Values between these and
// kMaxColumnWidth are taken as widths the operator may have dragged, and clamped.
constexpr int kMinShownColumnWidth = 24;
constexpr int kMaxShownColumnWidth = 1200;
// The smallest a remembered window may be: the button row with the filter box and a
// few table rows (a 1 x 1 window is a damaged file or an accident, not a choice).
constexpr int kMinWindowWidth = 480;
constexpr int kMinWindowHeight = 240;
// What a window leaves free on each side of its screen's available area: room for its
// frame and title bar, which the geometry does not include.
constexpr int kScreenMargin = 24;

// The settings file of this user (see above).
QString WindowLayoutPath();
// Reads the layout for a table of `columns` columns; on any problem the defaults,
// with `problem` saying what was wrong (empty when all was well or nothing saved).
WindowLayout ReadWindowLayout(QSettings &settings, int columns, QString &problem);
// Writes the layout; false when the file could not be written.
bool WriteWindowLayout(QSettings &settings, const WindowLayout &layout);
// Whether `rect` lies whole within one of `screens` (their geometries).
bool FitsScreens(const QRect &rect, const QList<QRect> &screens);
// `wanted` made to fit `available` (a screen's available area, less kScreenMargin on
// each side), but never below kMinWindowWidth x kMinWindowHeight where the screen has room.
QSize FitWindowSize(const QSize &wanted, const QRect &available);
// A remembered window geometry brought onto the screen that holds its centre: its size
// by FitWindowSize, moved inside that screen's area (one already inside stays as it is). Null when its centre is on no
// screen (a screen no longer there): the desktop then places the window.
QRect ClampToScreens(const QRect &rect, const QList<QRect> &screens);
// The areas of the screens of this session that windows may take (the available
// geometries: without panels and docks).
QList<QRect> ScreenGeometries();
