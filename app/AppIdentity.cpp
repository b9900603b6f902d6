#include "app/AppIdentity.h"

#include <QGuiApplication>
#include <QPixmap>

void SetApplicationIdentity()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopId));
}

QIcon ApplicationIcon()
{
    QPixmap pixmap(QStringLiteral("./BrenuSearchTools.ico"));
    if (pixmap.isNull())
        pixmap.load(QStringLiteral(":/BrenuSearchTools.ico"));
    return QIcon(pixmap);
}
