#include "app/AppIdentity.h"

#include <QGuiApplication>
#include <QPixmap>

#include "kit/FileUtil.h"
#include "kit/LogLocation.h"

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

QString PluginFolderFor(const std::string &exeDirectory)
{
    if (exeDirectory.empty() || exeDirectory.front() != '/' || Vant::InSystemProgramHierarchy(exeDirectory))
        return QString();
    return QString::fromStdString(Vant::AddBackslash(exeDirectory) + "plugins");
}

void AddPluginFolder()
{
    const QString folder = PluginFolderFor(Vant::GetModuleDirectory());
    if (!folder.isEmpty())
        QCoreApplication::addLibraryPath(folder);
}
