#include "app/WindowLayout.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

#include <algorithm>

namespace {

// The version of the layout's keys; a file of another version is not read.
constexpr int kLayoutVersion = 1;

// Addresses typed into the batch window's fields are at most this long (dotted IPv4).
constexpr int kMaxFieldLength = 15;

bool ReadRect(const QVariant &value, QRect &rect)
{
    if (!value.isValid())
        return true; // not saved
    if (!value.canConvert<QRect>())
        return false;
    rect = value.toRect();
    return rect.isValid();
}

bool ReadInt(const QVariant &value, int low, int high, int &out)
{
    if (!value.isValid())
        return true;
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number < low || number > high)
        return false;
    out = number;
    return true;
}

} // namespace

QString WindowLayoutPath()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("BrenuSearchTools"),
                     QStringLiteral("BrenuSearchTools"))
        .fileName();
}

WindowLayout ReadWindowLayout(QSettings &settings, int columns, QString &problem)
{
    problem.clear();
    WindowLayout layout;
    if (settings.status() != QSettings::NoError) {
        problem = settings.status() == QSettings::AccessError ? QStringLiteral("cannot be read")
                                                               : QStringLiteral("is not a settings file");
        return {};
    }
    if (settings.allKeys().isEmpty())
        return layout;
    int version = 0;
    const auto bad = [&problem](const char *what) {
        problem = QStringLiteral("has a bad ") + QLatin1String(what);
        return WindowLayout{};
    };
    // Every layout written has its version: keys without one are not a layout (random
    // bytes read as INI give keys of their own).
    if (!settings.contains(QStringLiteral("version"))) {
        problem = QStringLiteral("is not a layout file (no version)");
        return {};
    }
    if (!ReadInt(settings.value(QStringLiteral("version")), kLayoutVersion, kLayoutVersion, version))
        return bad("version");
    if (!ReadRect(settings.value(QStringLiteral("window/geometry")), layout.geometry))
        return bad("window geometry");
    layout.maximized = settings.value(QStringLiteral("window/maximized")).toBool();
    const QVariant widths = settings.value(QStringLiteral("table/columnWidths"));
    if (widths.isValid()) {
        const QStringList list = widths.toStringList();
        if (list.size() != columns)
            return bad("list of column widths");
        for (const QString &text : list) {
            int width = 0;
            if (!ReadInt(text, 1, kMaxColumnWidth, width))
                return bad("column width");
            layout.columnWidths.append(qBound(kMinShownColumnWidth, width, kMaxShownColumnWidth));
        }
    }
    if (!ReadInt(settings.value(QStringLiteral("table/sortColumn")), -1, columns - 1, layout.sortColumn))
        return bad("sort column");
    int order = 0;
    if (!ReadInt(settings.value(QStringLiteral("table/sortOrder")), 0, 1, order))
        return bad("sort order");
    layout.sortOrder = order == 1 ? Qt::DescendingOrder : Qt::AscendingOrder;
    if (!ReadRect(settings.value(QStringLiteral("batch/geometry")), layout.batchGeometry))
        return bad("batch window geometry");
    settings.beginGroup(QStringLiteral("batch"));
    layout.hasBatchFields = settings.contains(QStringLiteral("start"));
    QString *fields[] = {&layout.batchFields.start, &layout.batchFields.mask, &layout.batchFields.gateway,
                         &layout.batchFields.dns};
    const char *names[] = {"start", "mask", "gateway", "dns"};
    for (int i = 0; i < 4; ++i) {
        *fields[i] = settings.value(QLatin1String(names[i])).toString();
        if (fields[i]->size() > kMaxFieldLength)
            *fields[i] = QString(); // only what the field itself could hold
    }
    settings.endGroup();
    return layout;
}

bool WriteWindowLayout(QSettings &settings, const WindowLayout &layout)
{
    settings.clear();
    settings.setValue(QStringLiteral("version"), kLayoutVersion);
    if (layout.geometry.isValid())
        settings.setValue(QStringLiteral("window/geometry"), layout.geometry);
    settings.setValue(QStringLiteral("window/maximized"), layout.maximized);
    QStringList widths;
    for (int width : layout.columnWidths)
        widths << QString::number(width);
    if (!widths.isEmpty())
        settings.setValue(QStringLiteral("table/columnWidths"), widths);
    settings.setValue(QStringLiteral("table/sortColumn"), layout.sortColumn);
    settings.setValue(QStringLiteral("table/sortOrder"), layout.sortOrder == Qt::DescendingOrder ? 1 : 0);
    if (layout.batchGeometry.isValid())
        settings.setValue(QStringLiteral("batch/geometry"), layout.batchGeometry);
    if (layout.hasBatchFields) {
        settings.setValue(QStringLiteral("batch/start"), layout.batchFields.start);
        settings.setValue(QStringLiteral("batch/mask"), layout.batchFields.mask);
        settings.setValue(QStringLiteral("batch/gateway"), layout.batchFields.gateway);
        settings.setValue(QStringLiteral("batch/dns"), layout.batchFields.dns);
    }
    settings.sync();
    if (settings.status() == QSettings::AccessError)
        return false;
    // The status keeps the first problem met, also one of reading the old file (a
    // damaged file is written over all the same): what is now in the file decides.
    const QSettings written(settings.fileName(), settings.format());
    return written.status() == QSettings::NoError &&
           written.value(QStringLiteral("version")).toInt() == kLayoutVersion;
}

bool FitsScreens(const QRect &rect, const QList<QRect> &screens)
{
    for (const QRect &screen : screens)
        if (screen.contains(rect))
            return true;
    return false;
}

QSize FitWindowSize(const QSize &wanted, const QRect &available)
{
    const QSize room(std::max(1, available.width() - 2 * kScreenMargin),
                     std::max(1, available.height() - 2 * kScreenMargin));
    return QSize(std::max(std::min(kMinWindowWidth, room.width()), std::min(wanted.width(), room.width())),
                 std::max(std::min(kMinWindowHeight, room.height()), std::min(wanted.height(), room.height())));
}

QRect ClampToScreens(const QRect &rect, const QList<QRect> &screens)
{
    for (const QRect &screen : screens) {
        if (!screen.contains(rect.center()))
            continue;
        QRect fitted(rect.topLeft(), FitWindowSize(rect.size(), screen));
        // A geometry within the screen stays where it is.
        const QRect &room = screen;
        if (fitted.right() > room.right())
            fitted.moveRight(room.right());
        if (fitted.bottom() > room.bottom())
            fitted.moveBottom(room.bottom());
        if (fitted.left() < room.left())
            fitted.moveLeft(room.left());
        if (fitted.top() < room.top())
            fitted.moveTop(room.top());
        return fitted;
    }
    return QRect();
}

QList<QRect> ScreenGeometries()
{
    QList<QRect> geometries;
    for (const QScreen *screen : QGuiApplication::screens())
        geometries << screen->availableGeometry();
    return geometries;
}
